#pragma once
// Process-level test harness: a temporary application directory with the real daemon, the
// VPN-client simulator and iperf3, a small HTTP client over the API's Unix socket, and a reader
// of what the daemon sends to the system log. Runs inside tests/isolate.sh's private namespace.

#include <chrono>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace test_support {

inline const std::string API = "/local/ovra_vpn/api/vpn";
inline const std::string API_SOCKET = "/run/http/ovra_vpn/api.sock";
// A well-formed setup key; tests look for it where it must never show.
inline const std::string SETUP_KEY = "5E7B1C2A-9D44-4F1B-8C3E-FA17C0DE5EED";
inline const std::string UP_WITH_KEY = "setup_key=" + SETUP_KEY;

using namespace std::chrono_literals;

struct http_reply {
    int status = 0;
    std::string status_line;  // such as "200 OK"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Case-insensitive; "" when missing.
    std::string header(std::string_view name) const;
};

// One keep-alive connection; reconnects when the daemon closed it.
class http_client {
public:
    explicit http_client(std::string socket_path = API_SOCKET);
    ~http_client();
    http_client(const http_client&) = delete;
    http_client& operator=(const http_client&) = delete;

    http_reply get(const std::string& target);
    http_reply post(const std::string& target, const std::string& form_body = "");
    http_reply request(const std::string& method, const std::string& target, const std::string& body);
    // Sends a request without waiting for its answer; read_reply() reads it later.
    void send_request(const std::string& method, const std::string& target, const std::string& body = "");

    // Raw access for malformed, chunked and pipelined requests.
    void send_raw(std::string_view bytes);
    http_reply read_reply(std::chrono::milliseconds timeout = 70s);
    // Only the status line and headers, for answers without a body (HEAD, 100 Continue).
    http_reply read_reply_head(std::chrono::milliseconds timeout = 70s);
    // True when the daemon closed the connection (end of file or reset) within the timeout.
    bool closed_by_peer(std::chrono::milliseconds timeout);
    // True when an answer (or the end of the connection) is there to read, without waiting.
    bool has_input();
    void disconnect();

private:
    void ensure_connected();
    bool fill(std::chrono::milliseconds timeout);

    std::string m_socket_path;
    int m_fd = -1;
    std::string m_buffer;
};

// Polls until pred holds or the timeout passes; returns the last result of pred.
bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view content);
// The local date `days_back` days before today as YYYY-MM-DD, as the daily log files carry it.
std::string date_before_today(int days_back);
std::string today();
// `size` letters that vary with their position: a lost, doubled or misplaced piece of a body shows.
std::string pattern_of(std::size_t size);
// The body of a POST to /config or /env that sets one value.
std::string form(const std::string& name, const std::string& value);

class staged_app {
public:
    struct options {
        bool with_netbird = true;
        bool with_iperf3 = true;
        std::vector<std::pair<std::string, std::string>> env;
        // Runs in the forked child just before the daemon's exec, after its standard streams are
        // set: async-signal-safe calls only.
        std::function<void()> before_exec = nullptr;
    };

    staged_app();
    explicit staged_app(options opts);
    ~staged_app();
    staged_app(const staged_app&) = delete;
    staged_app& operator=(const staged_app&) = delete;

    const std::filesystem::path& dir() const { return m_dir; }
    std::filesystem::path netbird() const { return m_dir / "lib" / "netbird"; }
    std::filesystem::path data_dir() const { return m_dir / "localdata"; }
    std::filesystem::path log_dir() const { return data_dir() / "logs"; }

    // Starts the daemon and waits until its API socket answers.
    void start();
    // Starts the daemon without waiting for the socket.
    void launch();
    // Sends a signal and waits for the exit; returns the exit status, or 128 + signal number.
    int stop(int signal_number = SIGTERM);
    int wait_exit(std::chrono::milliseconds timeout = 20s);
    pid_t pid() const { return m_pid; }

    http_client& client() { return m_client; }
    std::string app_log() const;
    std::string netbird_log() const;
    // Everything the daemon wrote to its standard output and error.
    std::string console() const;

private:
    // A report of a sanitizer build, from the daemon or from any of its children, fails the test.
    void expect_no_sanitizer_reports() const;

    options m_options;
    std::filesystem::path m_dir;
    pid_t m_pid = -1;
    http_client m_client;
};

staged_app::options without_netbird();

// Messages sent to /dev/log while the capture is alive ("<priority>... message" each).
class syslog_capture {
public:
    syslog_capture();
    ~syslog_capture();
    std::vector<std::string> lines();
    bool contains(std::string_view text) { return count(text) > 0; }
    // How many lines hold `text`.
    std::size_t count(std::string_view text);

private:
    struct impl;
    std::unique_ptr<impl> m_impl;
};

}  // namespace test_support
