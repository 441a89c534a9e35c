// A pseudo-terminal standing in for the device.
#include "support/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "support/pty_speed.h"

bool ApplyRules(std::vector<Rule>& rules, PtyDevice& device, const std::string& line)
{
    for (Rule& rule : rules) {
        if (rule.times == 0 || (rule.command != "*" && rule.command != line)) {
            continue;
        }
        if (rule.times > 0) {
            rule.times--;
        }
        if (rule.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(rule.delayMs));
        }
        device.Send(rule.reply);
        if (rule.hangUp) {
            device.HangUp();
        }
        return true;
    }
    return false;
}

LineHandler Rules(std::vector<Rule> rules, std::string otherwise)
{
    auto state = std::make_shared<std::vector<Rule>>(std::move(rules));
    return [state, otherwise](PtyDevice& device, const std::string& line) {
        if (!ApplyRules(*state, device, line)) {
            device.Send(otherwise);
        }
    };
}

PtyDevice::PtyDevice(bool echo) : echo_(echo)
{
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    slavePath_ = name;
    // Raw on both sides, so the device sees exactly what the program wrote.
    struct termios tio;
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (pipe(wake_) != 0) {
        throw std::runtime_error("pipe failed");
    }
    fcntl(wake_[0], F_SETFD, FD_CLOEXEC);
    fcntl(wake_[1], F_SETFD, FD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

PtyDevice::~PtyDevice()
{
    char c = 'q';
    (void)!write(wake_[1], &c, 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
    if (!hungUp_) {
        close(master_);
    }
    close(slave_);
}

void PtyDevice::SetHandler(LineHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void PtyDevice::Send(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (hungUp_) {
        return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t k = write(master_, bytes.data() + done, bytes.size() - done);
        if (k > 0) {
            done += static_cast<size_t>(k);
        } else if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd pfd = {master_, POLLOUT, 0};
            poll(&pfd, 1, 100);
        } else {
            return;
        }
    }
}

size_t PtyDevice::SendWithin(const std::string& bytes, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (hungUp_) {
        return 0;
    }
    // The master is a blocking descriptor; only this write must not block.
    const int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t k = write(master_, bytes.data() + done, bytes.size() - done);
        if (k > 0) {
            done += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        struct pollfd pfd = {master_, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    }
    fcntl(master_, F_SETFL, flags);
    return done;
}

int PtyDevice::PendingToProgram() const
{
    int n = 0;
    if (ioctl(slave_, FIONREAD, &n) != 0) {
        return -1;
    }
    return n;
}

void PtyDevice::DiscardPendingToProgram()
{
    tcflush(slave_, TCIFLUSH);
}

void PtyDevice::HangUp()
{
    if (std::this_thread::get_id() != thread_.get_id()) {
        // The device thread may be reading the master: it closes it itself.
        char c = 'h';
        (void)!write(wake_[1], &c, 1);
        while (!hungUp_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return;
    }
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (!hungUp_.exchange(true)) {
        close(master_);
    }
}

std::string PtyDevice::Wire() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return wire_;
}

std::vector<std::string> PtyDevice::Lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool PtyDevice::WaitForWire(const std::string& text, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return wire_.find(text) != std::string::npos; });
}

bool PtyDevice::Exclusive() const
{
    int exclusive = 0;
    return ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

struct termios PtyDevice::Settings() const
{
    struct termios tio;
    memset(&tio, 0, sizeof tio);
    tcgetattr(hungUp_ ? slave_ : master_, &tio);
    return tio;
}

uint32_t PtyDevice::Speed() const
{
    return PtyOutputSpeed(hungUp_ ? slave_ : master_);
}

void PtyDevice::EndLine()
{
    std::string line;
    line.swap(partial_);
    if (line.empty()) {
        return;
    }
    LineHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        handler = handler_;
    }
    changed_.notify_all();
    if (handler) {
        handler(*this, line);
    }
}

void PtyDevice::HandleBytes(const char* data, size_t n)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wire_.append(data, n);
    }
    changed_.notify_all();
    if (echo_) {
        Send(std::string(data, n));
    }
    for (size_t i = 0; i < n; i++) {
        if (data[i] == '\r' || data[i] == '\n') {
            EndLine();
        } else {
            partial_ += data[i];
        }
    }
}

void PtyDevice::Run()
{
    char buf[4096];
    for (;;) {
        struct pollfd pfd[2] = {{wake_[0], POLLIN, 0}, {hungUp_ || !reading_ ? -1 : master_, POLLIN, 0}};
        const int timeout = partial_.empty() ? 100 : quietMs_.load();
        int r = poll(pfd, 2, timeout);
        if (r < 0 && errno != EINTR) {
            return;
        }
        if (pfd[0].revents != 0) {
            char c = 'q';
            if (read(wake_[0], &c, 1) == 1 && c == 'h') {
                HangUp();
                continue;
            }
            return;
        }
        if (r == 0) {
            EndLine();
            continue;
        }
        if (pfd[1].revents & POLLIN) {
            ssize_t k = read(master_, buf, sizeof buf);
            if (k > 0) {
                HandleBytes(buf, static_cast<size_t>(k));
                continue;
            }
        }
        if (pfd[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Nothing left to read: wait only for the end of the test.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

std::string RandomBytes(std::mt19937& rng, size_t n, const std::string& excluded)
{
    std::string bytes;
    bytes.reserve(n);
    while (bytes.size() < n) {
        const char c = static_cast<char>(rng() & 0xFF);
        if (excluded.find(c) == std::string::npos) {
            bytes += c;
        }
    }
    return bytes;
}

void Flood::Start(Source next, int durationMs, int periodMs, std::string then, int thenAfterMs)
{
    Stop();
    stop_ = false;
    finished_ = false;
    thread_ = std::thread([this, next, durationMs, periodMs, then, thenAfterMs] {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::milliseconds(durationMs);
        auto due = Clock::now();
        while (!stop_ && Clock::now() < end) {
            const std::string chunk = next();
            const size_t k = device_.SendWithin(chunk, 1000);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                sent_.append(chunk, 0, k);
            }
            due += std::chrono::milliseconds(periodMs);
            std::this_thread::sleep_until(due);
        }
        if (!stop_ && !then.empty()) {
            const auto at = Clock::now() + std::chrono::milliseconds(thenAfterMs);
            while (!stop_ && Clock::now() < at) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!stop_) {
                const size_t k = device_.SendWithin(then, 1000);
                std::lock_guard<std::mutex> lock(mutex_);
                sent_.append(then, 0, k);
            }
        }
        finished_ = true;
    });
}

void Flood::Stop()
{
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string Flood::Sent() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}
