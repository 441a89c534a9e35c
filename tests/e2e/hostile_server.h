// A network serial server that misbehaves on purpose, for the end-to-end tests
// of network ports: one client, on 127.0.0.1 only, for at most limitMs from its accept.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

class HostileServer {
public:
    enum class Kind {
        FloodFromAccept,      // bytes as fast as the client takes them, from the moment it connects;
                              // no line is answered
        FloodAfterConfigure,  // a well-behaved port (telnet with the COM port option when telnet)
                              // that answers the wake-up, then floods from the next line on
        TelnetOnSocket,       // telnet negotiation first, then "OK" to every line: for socket://
    };
    // telnet: the server reads and answers telnet, with the COM port option.
    HostileServer(Kind kind, bool telnet, int limitMs = 20000);
    ~HostileServer();
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    // scheme://127.0.0.1:PORT, the port this server listens on.
    std::string Name(const std::string& scheme) const;
    // The port it listens on.
    int Port() const { return port_; }
    // Bytes sent in floods so far.
    size_t Flooded() const { return flooded_; }

private:
    void Serve(int client);
    // Takes what the client sent; answers telnet and lines. True once flooding is due.
    bool Take(const char* in, size_t n);
    Kind kind_;
    bool telnet_;
    int limitMs_;
    int listener_ = -1;
    int port_ = 0;
    int lines_ = 0;
    int state_ = 0;       // of the telnet reader: data, IAC, verb, subnegotiation, IAC in it
    std::string sub_;     // the subnegotiation being received
    std::string answer_;  // what goes to the client before any flood
    std::atomic<bool> stop_{false};
    std::atomic<size_t> flooded_{0};
    std::thread thread_;
};
