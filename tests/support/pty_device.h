// A pseudo-terminal standing in for the device. The program under test opens
// SlavePath() as its serial port; a thread here plays the device on the master
// side: it records every byte written to the line, echoes if asked, and hands
// each command line to a behaviour that answers it.
#pragma once

#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

class PtyDevice;

// Called on the device thread for each command line received (without its
// line end). May Send, sleep, or HangUp.
using LineHandler = std::function<void(PtyDevice& device, const std::string& line)>;

// One answer of a rule-driven device.
struct Rule {
    std::string command;  // the whole line, exactly; "*" matches any line
    std::string reply;    // bytes sent back, e.g. "\r\nOK\r\n"
    int delayMs = 0;      // wait before replying
    int times = -1;       // how often the rule may be used; -1 for ever
    bool hangUp = false;  // close the line after the reply
};

// A behaviour that answers each line with the first usable rule that matches,
// or with otherwise when none does.
LineHandler Rules(std::vector<Rule> rules, std::string otherwise = "\r\nERROR\r\n");
// Answers the line with the first usable rule that matches; false when none does.
bool ApplyRules(std::vector<Rule>& rules, PtyDevice& device, const std::string& line);

class PtyDevice {
public:
    explicit PtyDevice(bool echo = true);
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    // Installs the behaviour; before this, lines are only recorded (and echoed).
    void SetHandler(LineHandler handler);
    void SetEcho(bool echo) { echo_ = echo; }
    // A line also ends when this long passes without a byte after part of a
    // line has come, so a command sent with no line end is still answered.
    void SetQuietLineEnd(int ms) { quietMs_ = ms; }

    // Device to program. Safe from any thread.
    void Send(const std::string& bytes);
    // Send that gives up after timeoutMs when the program does not read;
    // answers how many bytes went.
    size_t SendWithin(const std::string& bytes, int timeoutMs);
    // Closes the device's end: the program sees a hang-up.
    void HangUp();
    bool HungUp() const { return hungUp_; }

    // Stops (and resumes) taking the program's bytes off the line. While
    // stopped nothing is recorded or echoed, and the program's writes block
    // once the line's buffers are full.
    void SetReading(bool reading) { reading_ = reading; }
    // Bytes sent by the device that the program has not read yet.
    int PendingToProgram() const;
    // Throws away what the device has sent and the program has not read.
    void DiscardPendingToProgram();

    // Everything the program has written to the line so far.
    std::string Wire() const;
    // The command lines received so far, in order.
    std::vector<std::string> Lines() const;
    // Waits until the wire holds text; false after timeoutMs.
    bool WaitForWire(const std::string& text, int timeoutMs) const;
    // Whether the port is still set for exclusive use (TIOCEXCL), which root
    // would not notice when opening it.
    bool Exclusive() const;
    // The line settings the program left on the port.
    struct termios Settings() const;
    // The output speed in bits per second, also for speeds outside the termios table.
    uint32_t Speed() const;

private:
    void Run();
    void HandleBytes(const char* data, size_t n);
    void EndLine();

    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    std::string slavePath_;
    std::atomic<bool> echo_;
    std::atomic<int> quietMs_{200};
    std::atomic<bool> hungUp_{false};
    std::atomic<bool> reading_{true};
    LineHandler handler_;
    std::string partial_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string wire_;
    std::vector<std::string> lines_;
    std::mutex writeMutex_;
    std::thread thread_;
};

// Bytes drawn from rng, none of them in excluded.
std::string RandomBytes(std::mt19937& rng, size_t n, const std::string& excluded = "");

// Sends chunks to the program on a thread of its own, one every periodMs (so
// the line never rests for a second), for durationMs or until stopped. A chunk
// the program does not take within a second is dropped, so a flood never
// blocks once the program has gone.
class Flood {
public:
    using Source = std::function<std::string()>;
    explicit Flood(PtyDevice& device) : device_(device) {}
    ~Flood() { Stop(); }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    // then is sent once the flood has ended by itself, thenAfterMs later.
    void Start(Source next, int durationMs, int periodMs, std::string then = "", int thenAfterMs = 0);
    void Stop();
    bool Finished() const { return finished_; }
    // Every byte that reached the line, then included.
    std::string Sent() const;

private:
    PtyDevice& device_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::string sent_;
};
