// A real ser2net 4 serving a test's pseudo-terminal on 127.0.0.1 only: one TCP
// port with telnet and the COM port option (rfc2217://), one plain (socket://).
// Started by the constructor with a YAML configuration of its own, stopped by
// the destructor.
#pragma once

#include <sys/types.h>

#include <string>

class Ser2net {
public:
    // chardelay: ser2net's wait for more device bytes before sending them on.
    explicit Ser2net(const std::string& device, bool chardelay = true);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    bool Running() const { return pid_ > 0; }
    std::string Rfc2217() const;  // "rfc2217://127.0.0.1:PORT"
    std::string Socket() const;   // "socket://127.0.0.1:PORT"
    void Kill();                  // at once, as a server that dies

private:
    pid_t pid_ = -1;
    int telnetPort_ = 0;
    int rawPort_ = 0;
    std::string dir_;
};

// A TCP port on 127.0.0.1 that nothing listens on just now.
int FreeTcpPort();
// Whether something listens on 127.0.0.1:port (IPv4).
bool Listening(int port);
