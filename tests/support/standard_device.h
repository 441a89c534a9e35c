// The answers of a well-behaved device, shared by the end-to-end tests of
// whole script runs, and a record of when each command line reached it.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/pty_device.h"
#include "support/usage.h"
#include "support/run_program.h"

// The 18 bytes the program sends to wake the device.
extern const std::string WakeUp;
// The console line for the wake-up's answer from a device that echoes.
extern const std::string WakeUpGot;

// The device's answer bursts, each after the echo.
extern const std::string OkReply;     // "\r\nOK\r\n"
extern const std::string ErrorReply;  // "\r\nERROR\r\n"
extern const std::string CsqReply;    // "+CSQ: 23,99", an empty line, "OK"

// OK to the wake-up; "+CSQ: 23,99" and OK to AT+CSQ; ERROR to AT+FAIL; OK to
// any other line that begins with AT (letter case ignored); ERROR to the rest.
// The given rules are tried first.
LineHandler StandardDevice(std::vector<Rule> first = {});

// Wraps a behaviour and keeps the time each command line arrived. The
// wrapped behaviour shares the record, so it may outlive this object.
class LineTimes {
public:
    using Clock = std::chrono::steady_clock;
    LineHandler Wrap(LineHandler inner);
    // When the n-th line equal to line arrived (counting from 0); false if it has not.
    bool When(const std::string& line, Clock::time_point* at, int n = 0) const;

private:
    struct Seen {
        std::mutex mutex;
        std::vector<std::pair<std::string, Clock::time_point>> lines;
    };
    std::shared_ptr<Seen> seen_ = std::make_shared<Seen>();
};

// Seconds from a to b.
double SecondsBetween(LineTimes::Clock::time_point a, LineTimes::Clock::time_point b);

// Runs the program on a script of the given content with the device as its
// port; more arguments follow those two.
RunResult RunOnScript(const PtyDevice& device, const std::string& content,
                      const std::vector<std::string>& more = {}, const RunOptions& options = {});

// What the program wrote to the line, once bytes still on their way have come
// in. Also checks that the program, now ended, left no exclusive use behind.
std::string SettledWire(const PtyDevice& device);
