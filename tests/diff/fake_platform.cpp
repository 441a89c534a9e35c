// The platform as the differential test plays it: a virtual clock, a device
// that answers from a table, keys from a list, and the run's progress events
// kept as its trace. No operating system call but the script file's own.
#include <cstring>
#include <string>

#include "diff/differential.h"
#include "platform/platform.h"

FakeWorld World;

struct CommPort {
    int Unused;
};

static CommPort ThePort;

bool PortOpen(const char* /*name*/, CommPort** port, long* /*err*/)
{
    *port = &ThePort;
    return true;
}

bool PortGetState(CommPort* /*port*/, long* /*err*/)
{
    return true;
}

bool PortSetState(CommPort* /*port*/, uint32_t /*baud*/, long* /*err*/)
{
    return true;
}

bool PortSetTimeouts(CommPort* /*port*/, const CommTimeouts& /*timeouts*/, long* /*err*/)
{
    return true;
}

// A read returns what the device has said once it has been quiet for a
// second, or nothing after the total time-out.
bool PortRead(CommPort* /*port*/, void* buf, uint32_t n, uint32_t* got, long* /*err*/)
{
    if (World.Pending.empty()) {
        World.Clock += 5000 + 10 * static_cast<uint64_t>(n);
        *got = 0;
        return true;
    }
    const size_t count = World.Pending.size() < n ? World.Pending.size() : n;
    memcpy(buf, World.Pending.data(), count);
    World.Pending.erase(0, count);
    World.Clock += 1000;
    *got = static_cast<uint32_t>(count);
    return true;
}

bool PortWrite(CommPort* /*port*/, const void* buf, uint32_t n, uint32_t* sent, long* /*err*/)
{
    const std::string bytes(static_cast<const char*>(buf), n);
    if (World.LineSeen) {
        World.Events.push_back(TraceEvent{TraceEvent::Write, World.LastOffset, bytes});
    }
    World.Pending += bytes;
    const size_t end = bytes.find('\r');
    if (end != std::string::npos) {  // the device takes a command at its carriage return
        const std::string answer = DeviceAnswer(bytes.substr(0, end));
        if (!answer.empty()) {
            World.Pending += "\r\n" + answer + "\r\n";
        }
    }
    *sent = n;
    return true;
}

void PortClose(CommPort* /*port*/) {}

// The played port is no network port.
bool PortSpeaksTelnet(const CommPort* /*port*/)
{
    return false;
}

uint64_t PortDropped(const CommPort* /*port*/)
{
    return 0;
}

OpenError ClassifyOpenError(long /*err*/)
{
    return OpenError::Other;
}

uint64_t TickCount()
{
    return World.Clock;
}

void UtcNow(SystemTime* now)
{
    *now = World.Now;
}

void Pause(int64_t ms)
{
    if (ms > 0) {
        World.Clock += static_cast<uint64_t>(ms);
    }
}

void FlushConsole() {}

int ReadKey(bool /*lineOpen*/)
{
    World.Events.push_back(TraceEvent{TraceEvent::Key, World.LastOffset, ""});
    if (World.NextKey < World.Keys.size()) {
        return static_cast<unsigned char>(World.Keys[World.NextKey++]);
    }
    return 0;  // end of input
}

void KeysApartFrom(FILE* /*script*/) {}

void PrepareConsole() {}

FILE* FileOpenRead(const char* path)
{
    World.Script = fopen(path, "rb");
    return World.Script;
}

bool FileSeekable(FILE* /*file*/)
{
    return true;
}

const char* TempDir()
{
    return "/tmp";
}

FILE* TempFile()
{
    return tmpfile();
}

int64_t FileTell(FILE* file)
{
    return static_cast<int64_t>(ftell(file));
}

bool FileSeek(FILE* file, int64_t offset)
{
    return fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
}

void PipeRoom(FILE* /*file*/) {}

bool ProgressOpen()
{
    return true;
}

// "line OFFSET": the run is about to carry out the line there.
bool ProgressWrite(const char* line, size_t n)
{
    if (n > 5 && strncmp(line, "line ", 5) == 0) {
        World.LineSeen = true;
        World.LastOffset = std::stoll(std::string(line + 5, n - 6));
        World.Events.push_back(TraceEvent{TraceEvent::Line, World.LastOffset, ""});
        if (++World.Steps > World.StepBound) {
            throw RunPastBound{};
        }
    }
    return true;
}
