// torvex-rack's console output, written by a thread of its own. What the
// console has not yet taken is held up to a bound; past it, output is dropped,
// and a line says how much once there is room again. A prompt counts as shown
// only once it is written: the writer then discards the keys typed before it.
#include "console.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "os.h"
#include "record.h"

namespace {

// Many screens of the live view, or thousands of event lines.
constexpr size_t HELD_MOST = 1 << 20;

struct Output {
    std::mutex Lock;
    std::condition_variable Changed;
    std::string Held;      // handed over, not yet being written
    bool Writing = false;  // the thread is writing what it took
    bool Started = false;
    size_t Dropped = 0;    // bytes dropped since the console last took some
    uint64_t Handed = 0;   // bytes handed over, in all
    uint64_t Written = 0;  // of them, bytes the console took (or refused)
    uint64_t Prompt = 0;   // Handed when the last prompt was handed over; 0: none
    bool Asked = false;    // that prompt is written, and the keys before it discarded
};

// Never destroyed: the thread may still be in a write that the console never
// finishes when the rack ends.
Output& Out()
{
    static Output* const out = new Output;
    return *out;
}

void Writer()
{
    Output& out = Out();
    std::unique_lock<std::mutex> lock(out.Lock);
    for (;;) {
        out.Changed.wait(lock, [&] { return !out.Held.empty(); });
        std::string text;
        text.swap(out.Held);
        out.Writing = true;
        const uint64_t prompt = out.Prompt;
        const bool ask = prompt != 0 && !out.Asked && out.Written + text.size() >= prompt;
        lock.unlock();
        ConsoleWriteAll(text);
        if (ask) {
            FlushKeys();
        }
        lock.lock();
        out.Written += text.size();
        out.Asked = out.Asked || (ask && out.Prompt == prompt);
        out.Writing = false;
        out.Changed.notify_all();
    }
}

// With the lock held.
bool Hand(Output& out, const std::string& text)
{
    // Stamped as the runs' lines are.
    const std::string note = out.Dropped == 0 ? std::string()
                                              : Timestamp(std::chrono::system_clock::now()) +
                                                    " torvex-rack: the console took no output for a while, and " +
                                                    std::to_string(out.Dropped) + " bytes of it were dropped\n";
    if (out.Held.size() + note.size() + text.size() > HELD_MOST) {
        out.Dropped += text.size();
        return false;
    }
    if (!out.Started) {
        std::thread(Writer).detach();
        out.Started = true;
    }
    out.Held += note + text;
    out.Handed += note.size() + text.size();
    out.Dropped = 0;
    out.Changed.notify_all();
    return true;
}

}  // namespace

bool ConsoleWrite(const std::string& text)
{
    Output& out = Out();
    const std::lock_guard<std::mutex> lock(out.Lock);
    return Hand(out, text);
}

bool ConsoleAsk(const std::string& text)
{
    Output& out = Out();
    const std::lock_guard<std::mutex> lock(out.Lock);
    if (!Hand(out, text)) {
        return false;
    }
    out.Prompt = out.Handed;
    out.Asked = false;
    return true;
}

bool ConsoleAsked()
{
    Output& out = Out();
    const std::lock_guard<std::mutex> lock(out.Lock);
    return out.Asked;
}

bool ConsoleDropped()
{
    Output& out = Out();
    const std::lock_guard<std::mutex> lock(out.Lock);
    return out.Dropped > 0;
}

bool ConsoleSettle(int ms)
{
    Output& out = Out();
    std::unique_lock<std::mutex> lock(out.Lock);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    const auto written = [&] { return out.Held.empty() && !out.Writing; };
    // What was dropped is said, once the console takes text again.
    while (out.Dropped > 0 && out.Changed.wait_until(lock, until, written)) {
        Hand(out, "");
    }
    return out.Changed.wait_until(lock, until, written) && out.Dropped == 0;
}
