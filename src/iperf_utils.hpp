#pragma once
// The iperf3 server's command line, the fields of its start request and the ranges they may take.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace iperf_utils {

constexpr int MIN_PORT = 1024;
constexpr int MAX_PORT = 65535;
constexpr int MIN_IDLE_TIMEOUT_SECONDS = 5;
constexpr int MAX_IDLE_TIMEOUT_SECONDS = 3600;
constexpr int DEFAULT_PORT = 5201;
constexpr int DEFAULT_IDLE_TIMEOUT_SECONDS = 60;

// The arguments after the executable. "--forceflush" makes iperf3 flush every line, so the
// status shows output while a test runs.
inline std::vector<std::string> iperf_server_args(int port, int idle_timeout, bool one_shot) {
    std::vector<std::string> args{"--server", "--port", std::to_string(port),
                                  "--idle-timeout", std::to_string(idle_timeout)};
    if (one_shot) args.emplace_back("--one-off");
    args.emplace_back("--forceflush");
    return args;
}

inline bool is_valid_iperf_port(int port) { return port >= MIN_PORT && port <= MAX_PORT; }

inline bool is_valid_iperf_idle_timeout(int seconds) {
    return seconds >= MIN_IDLE_TIMEOUT_SECONDS && seconds <= MAX_IDLE_TIMEOUT_SECONDS;
}

// Reads like std::stoi (leading blanks and a sign accepted, anything after the digits ignored),
// but a text without digits or beyond the int range reads as 0, which no range accepts.
inline int leading_int_or_zero(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value < INT_MIN || value > INT_MAX) return 0;
    return static_cast<int>(value);
}

struct server_request {
    int port = DEFAULT_PORT;
    int idle_timeout = DEFAULT_IDLE_TIMEOUT_SECONDS;
    bool one_shot = true;
};

// An absent or empty number takes its default. A one-off server is the default too, but a
// one_shot field that is present must say so.
inline server_request read_server_request(const std::map<std::string, std::string>& form) {
    server_request request;
    const auto number = [&form](const char* name, int fallback) {
        const auto field = form.find(name);
        return field == form.end() || field->second.empty() ? fallback : leading_int_or_zero(field->second);
    };
    request.port = number("port", DEFAULT_PORT);
    request.idle_timeout = number("idle_timeout", DEFAULT_IDLE_TIMEOUT_SECONDS);
    if (const auto field = form.find("one_shot"); field != form.end())
        request.one_shot = field->second == "true" || field->second == "1" || field->second == "on";
    return request;
}

}  // namespace iperf_utils
