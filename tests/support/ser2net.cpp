// Starting and stopping a private ser2net for the network port tests.
#include "support/ser2net.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

int FreeTcpPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

bool Listening(int port)
{
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::string line;
    while (std::getline(table, line)) {
        // "sl local_address rem_address st ...": state 0A is LISTEN.
        char local[64], remote[64], state[8];
        if (sscanf(line.c_str(), "%*s %63s %63s %7s", local, remote, state) == 3 && wanted == std::string(local) &&
            std::string(state) == "0A") {
            return true;
        }
    }
    return false;
}

Ser2net::Ser2net(const std::string& device, bool chardelay)
{
    char dir[] = "/tmp/torvex-ser2net-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return;
    }
    dir_ = dir;
    // Ports picked free can be taken by another test before ser2net binds them: try again.
    for (int attempt = 0; attempt < 5 && pid_ < 0; attempt++) {
        telnetPort_ = FreeTcpPort();
        do {
            rawPort_ = FreeTcpPort();
        } while (rawPort_ == telnetPort_);
        const std::string options = chardelay ? "" : "  options:\n    chardelay: false\n";
        std::ofstream(dir_ + "/ser2net.yaml")
            << "%YAML 1.1\n---\n"
            << "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort_
            << "\n  connector: serialdev," << device << ",9600n81,local\n" << options
            << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort_ << "\n  connector: serialdev," << device
            << ",9600n81,local\n" << options;
        const std::string config = dir_ + "/ser2net.yaml";
        const std::string pidFile = dir_ + "/ser2net.pid";
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            close_range(STDERR_FILENO + 1, ~0U, 0);
            execlp("ser2net", "ser2net", "-n", "-c", config.c_str(), "-P", pidFile.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        pid_ = pid;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(Listening(telnetPort_) && Listening(rawPort_))) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > until) {
                Kill();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

Ser2net::~Ser2net()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        unlink((dir_ + "/ser2net.yaml").c_str());
        unlink((dir_ + "/ser2net.pid").c_str());
        rmdir(dir_.c_str());
    }
}

void Ser2net::Kill()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::string Ser2net::Rfc2217() const
{
    return "rfc2217://127.0.0.1:" + std::to_string(telnetPort_);
}

std::string Ser2net::Socket() const
{
    return "socket://127.0.0.1:" + std::to_string(rawPort_);
}
