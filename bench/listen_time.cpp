// Starts a server and reports how long after its start its Unix socket first accepted a connection.
//
//   ovra_listen_time SOCKET TIMEOUT_MS COMMAND [ARGS...]
//
// This process becomes the server (it execs COMMAND), so the caller's PID for it stays valid for
// further measurements and for stopping it. A detached helper polls the socket every
// POLL_INTERVAL and prints "listening_ms=<milliseconds>" or "listening_ms=timeout" on standard
// output; redirect that to a file, since the server keeps standard output open.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

constexpr auto POLL_INTERVAL = std::chrono::microseconds(250);

bool accepts_connection(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

[[noreturn]] void poll_until_listening(const char* path, steady::time_point started, std::chrono::milliseconds timeout) {
    while (!accepts_connection(path)) {
        if (steady::now() - started > timeout) {
            std::printf("listening_ms=timeout\n");
            std::exit(1);
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    const std::chrono::duration<double, std::milli> elapsed = steady::now() - started;
    std::printf("listening_ms=%.1f\n", elapsed.count());
    std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: ovra_listen_time SOCKET TIMEOUT_MS COMMAND [ARGS...]\n");
        return 2;
    }
    const auto timeout = std::chrono::milliseconds(std::atoi(argv[2]));
    const auto started = steady::now();
    // Forking twice leaves the poller to init, so the server never sees a child it did not start.
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        if (::fork() == 0) poll_until_listening(argv[1], started, timeout);
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    ::execvp(argv[3], argv + 3);
    std::fprintf(stderr, "ovra_listen_time: cannot run %s: %s\n", argv[3], std::strerror(errno));
    return 127;
}
