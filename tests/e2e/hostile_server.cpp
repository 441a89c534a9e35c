// A network serial server that misbehaves on purpose; see hostile_server.h.
#include "hostile_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>

namespace {

const unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253, COMPORT = 44;

// Bytes that can make no answer the program waits for, and no telnet command.
std::string FloodChunk()
{
    std::mt19937 rng(29);
    std::string chunk;
    while (chunk.size() < 65536) {
        const char c = static_cast<char>(rng() & 0xFF);
        if (c != '\xff' && c != 'O' && c != 'K' && c != 'R') {
            chunk += c;
        }
    }
    return chunk;
}

}  // namespace

HostileServer::HostileServer(Kind kind, bool telnet, int limitMs) : kind_(kind), telnet_(telnet), limitMs_(limitMs)
{
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 1) != 0 || getsockname(listener_, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        return;
    }
    port_ = ntohs(addr.sin_port);
    // The client is waited for as long as the program takes to start (Wine's
    // start-up on a busy machine); the server's time counts from the accept.
    thread_ = std::thread([this] {
        struct pollfd pfd = {listener_, POLLIN, 0};
        int ready = 0;
        while (!stop_ && (ready = poll(&pfd, 1, 100)) == 0) {
        }
        if (ready == 1) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client >= 0) {
                Serve(client);
                close(client);
            }
        }
    });
}

HostileServer::~HostileServer()
{
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        close(listener_);
    }
}

std::string HostileServer::Name(const std::string& scheme) const
{
    return scheme + "://127.0.0.1:" + std::to_string(port_);
}

bool HostileServer::Take(const char* in, size_t n)
{
    bool flood = false;
    for (size_t i = 0; i < n; i++) {
        const unsigned char b = static_cast<unsigned char>(in[i]);
        if (telnet_ && state_ == 0 && b == IAC) {
            state_ = 1;
        } else if (state_ == 1) {
            state_ = b == SB ? 3 : b >= WILL ? 2 : 0;
            sub_.clear();
        } else if (state_ == 2) {
            if (b == COMPORT) {
                answer_ += std::string{static_cast<char>(IAC), static_cast<char>(DO), static_cast<char>(COMPORT)};
            }
            state_ = 0;
        } else if (state_ == 3) {
            state_ = b == IAC ? 4 : 3;
            if (b != IAC) {
                sub_ += static_cast<char>(b);
            }
        } else if (state_ == 4) {
            if (b == IAC) {
                sub_ += static_cast<char>(b);
                state_ = 3;
                continue;
            }
            // A COM port command: confirmed with the same value, command + 100.
            if (sub_.size() >= 2 && static_cast<unsigned char>(sub_[0]) == COMPORT) {
                std::string value;
                for (size_t k = 2; k < sub_.size(); k++) {
                    value += sub_[k];
                    if (static_cast<unsigned char>(sub_[k]) == IAC) {
                        value += sub_[k];
                    }
                }
                answer_ += std::string{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COMPORT),
                                       static_cast<char>(sub_[1] + 100)} +
                           value + std::string{static_cast<char>(IAC), static_cast<char>(SE)};
            }
            state_ = 0;
        } else if (b == '\r') {
            // The first line is the wake-up; each line is answered, until a flood is due.
            // A flood from accept answers none: no "OK" among its bytes ends a wait by chance.
            lines_++;
            if (kind_ == Kind::FloodAfterConfigure && lines_ >= 2) {
                flood = true;
            } else if (kind_ != Kind::FloodFromAccept) {
                answer_ += "\r\nOK\r\n";
            }
        }
    }
    return flood;
}

void HostileServer::Serve(int client)
{
    static const std::string chunk = FloodChunk();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs_);
    bool due = kind_ == Kind::FloodFromAccept;
    if (kind_ == Kind::TelnetOnSocket) {
        // WILL SUPPRESS-GO-AHEAD, DO COM-PORT-OPTION: a telnet server's first words.
        answer_ = std::string{static_cast<char>(IAC), static_cast<char>(WILL), 3, static_cast<char>(IAC),
                              static_cast<char>(DO), static_cast<char>(COMPORT)};
    }
    size_t at = 0;
    while (!stop_ && std::chrono::steady_clock::now() < end) {
        struct pollfd pfd = {client, static_cast<short>(POLLIN | (due || !answer_.empty() ? POLLOUT : 0)), 0};
        if (poll(&pfd, 1, 50) < 0) {
            return;
        }
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            char in[4096];
            const ssize_t k = recv(client, in, sizeof in, 0);
            if (k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR)) {
                return;  // the client has gone
            }
            if (k > 0 && Take(in, static_cast<size_t>(k))) {
                due = true;
            }
        }
        if (!(pfd.revents & POLLOUT)) {
            continue;
        }
        if (!answer_.empty()) {
            const ssize_t k = send(client, answer_.data(), answer_.size(), MSG_NOSIGNAL);
            if (k < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
            answer_.erase(0, k > 0 ? static_cast<size_t>(k) : 0);
        } else if (due) {
            const ssize_t k = send(client, chunk.data() + at, chunk.size() - at, MSG_NOSIGNAL);
            if (k < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
            if (k > 0) {
                flooded_ += static_cast<size_t>(k);
                at = (at + static_cast<size_t>(k)) % chunk.size();
            }
        }
    }
}
