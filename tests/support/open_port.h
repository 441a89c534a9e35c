// A fixture for in-process tests: a pseudo-terminal device, and torvex's own
// port setup run on its other end, so tests call the port and the response
// wait directly.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "run/settings.h"
#include "serial/port.h"
#include "support/capture.h"
#include "support/process_state.h"
#include "support/pty_device.h"

class OpenPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProcessState();
        device_ = std::make_unique<PtyDevice>();
        PortName = device_->SlavePath().c_str();
        bool ok = false;
        const std::string out = CaptureStdout([&] { ok = SetupCommPort(&port_); });
        ASSERT_TRUE(ok) << out;
        ASSERT_EQ(out, "");
    }

    void TearDown() override
    {
        PortClose(port_);
        port_ = nullptr;
        device_.reset();
        ResetProcessState();
    }

    static long long MillisecondsSince(std::chrono::steady_clock::time_point start)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    }

    // Runs fn with standard output captured; answers the output and sets *ms to how long fn took.
    static std::string Timed(const std::function<void()>& fn, long long* ms)
    {
        std::string out;
        const auto start = std::chrono::steady_clock::now();
        out = CaptureStdout(fn);
        *ms = MillisecondsSince(start);
        return out;
    }

    std::unique_ptr<PtyDevice> device_;
    CommPort* port_ = nullptr;
};
