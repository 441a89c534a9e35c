// The answers of a well-behaved device, shared by the end-to-end tests.
#include "support/standard_device.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

const std::string WakeUp = "AT^QESCAT^QESC=1\n\r";
const std::string WakeUpGot = "Got \"AT^QESC=1, OK\"\n";
const std::string OkReply = "\r\nOK\r\n";
const std::string ErrorReply = "\r\nERROR\r\n";
const std::string CsqReply = "\r\n+CSQ: 23,99\r\n\r\nOK\r\n";

static bool BeginsWithAt(const std::string& line)
{
    return line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') && (line[1] == 'T' || line[1] == 't');
}

LineHandler StandardDevice(std::vector<Rule> first)
{
    auto rules = std::make_shared<std::vector<Rule>>(std::move(first));
    return [rules](PtyDevice& device, const std::string& line) {
        if (ApplyRules(*rules, device, line)) {
            return;
        }
        if (line == "AT^QESCAT^QESC=1") {
            device.Send(OkReply);
        } else if (line == "AT+CSQ") {
            device.Send(CsqReply);
        } else if (line == "AT+FAIL") {
            device.Send(ErrorReply);
        } else if (BeginsWithAt(line)) {
            device.Send(OkReply);
        } else {
            device.Send(ErrorReply);
        }
    };
}

LineHandler LineTimes::Wrap(LineHandler inner)
{
    std::shared_ptr<Seen> seen = seen_;
    return [seen, inner](PtyDevice& device, const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(seen->mutex);
            seen->lines.emplace_back(line, Clock::now());
        }
        inner(device, line);
    };
}

bool LineTimes::When(const std::string& line, Clock::time_point* at, int n) const
{
    std::lock_guard<std::mutex> lock(seen_->mutex);
    for (const auto& entry : seen_->lines) {
        if (entry.first == line && n-- == 0) {
            *at = entry.second;
            return true;
        }
    }
    return false;
}

double SecondsBetween(LineTimes::Clock::time_point a, LineTimes::Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

std::string SettledWire(const PtyDevice& device)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(device.Exclusive()) << "the program left the port set for exclusive use";
    return device.Wire();
}

RunResult RunOnScript(const PtyDevice& device, const std::string& content, const std::vector<std::string>& more,
                      const RunOptions& options)
{
    std::vector<std::string> args = {ScriptArg(WriteScript(content)), PortArg(device)};
    args.insert(args.end(), more.begin(), more.end());
    return RunTorvex(args, options);
}
