#include "harness.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace test_support {

namespace {

int connect_unix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// In sanitizer builds each process of the daemon's tree writes its reports to a file named after
// this prefix: a report of a child would otherwise be lost in a pipe that no test reads.
constexpr const char* SANITIZER_REPORTS = "sanitizer";

void redirect_sanitizer_reports(const fs::path& prefix) {
    for (const char* variable : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* options = std::getenv(variable);
        const std::string redirected = (options ? std::string(options) + ":" : "") + "log_path=" + prefix.string();
        ::setenv(variable, redirected.c_str(), 1);
    }
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string http_reply::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (lower(key) == lower(name)) return value;
    return {};
}

http_client::http_client(std::string socket_path) : m_socket_path(std::move(socket_path)) {}

http_client::~http_client() { disconnect(); }

void http_client::disconnect() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_buffer.clear();
}

void http_client::ensure_connected() {
    if (m_fd >= 0) return;
    m_fd = connect_unix(m_socket_path);
    if (m_fd < 0) throw std::runtime_error("cannot connect to " + m_socket_path);
}

void http_client::send_raw(std::string_view bytes) {
    ensure_connected();
    while (!bytes.empty()) {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed: " + std::string(std::strerror(errno)));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Reads more bytes into the buffer; false on end of file, error or timeout.
bool http_client::fill(std::chrono::milliseconds timeout) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    m_buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

http_reply http_client::read_reply(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    http_reply reply = read_reply_head(timeout);
    const auto length = static_cast<std::size_t>(std::stoull("0" + reply.header("Content-Length")));
    while (m_buffer.size() < length) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!fill(std::max(0ms, remaining))) throw std::runtime_error("short reply body");
    }
    reply.body = m_buffer.substr(0, length);
    m_buffer.erase(0, length);
    return reply;
}

http_reply http_client::read_reply_head(std::chrono::milliseconds timeout) {
    ensure_connected();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto remaining = [&] {
        return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    };
    std::size_t head_end;
    while ((head_end = m_buffer.find("\r\n\r\n")) == std::string::npos)
        if (!fill(remaining())) throw std::runtime_error("no reply head");
    http_reply reply;
    std::istringstream head(m_buffer.substr(0, head_end));
    std::string line;
    std::getline(head, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto space = line.find(' ');
    reply.status_line = line.substr(space + 1);
    reply.status = std::stoi(reply.status_line);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        reply.headers.emplace_back(line.substr(0, colon), value);
    }
    m_buffer.erase(0, head_end + 4);
    return reply;
}

bool http_client::closed_by_peer(std::chrono::milliseconds timeout) {
    if (m_fd < 0) return true;
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char byte;
    const ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK);
    return n == 0 || (n < 0 && errno == ECONNRESET);  // a close with unread input resets
}

bool http_client::has_input() {
    if (!m_buffer.empty()) return true;
    if (m_fd < 0) return false;
    pollfd pfd{m_fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
}

namespace {

std::string request_message(const std::string& method, const std::string& target, const std::string& body) {
    std::string message = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n";
    if (method == "POST") {
        message += "Content-Type: application/x-www-form-urlencoded\r\n";
        message += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return message + "\r\n" + body;
}

// With OVRA_API_ANSWERS naming a directory, every answer of the daemon to request() goes there as
// one JSON line (a file per test process), for the check of the answers against the API's contract.
// Only JSON bodies are kept: the contract gives the others no shape beyond their type.
void record_answer(const std::string& method, const std::string& target, const http_reply& reply) {
    static const char* const directory = std::getenv("OVRA_API_ANSWERS");
    if (directory == nullptr || *directory == '\0') return;
    static std::mutex mutex;
    static std::ofstream out;
    const std::string type = reply.header("Content-Type");
    nlohmann::json line{{"method", method},
                        {"target", target},
                        {"status", reply.status},
                        {"content_type", type},
                        {"cache_control", reply.header("Cache-Control")},
                        {"content_disposition", reply.header("Content-Disposition")},
                        {"body", type == "application/json" ? nlohmann::json(reply.body) : nlohmann::json(nullptr)}};
    std::lock_guard lock(mutex);
    if (!out.is_open()) {
        fs::create_directories(directory);
        out.open(fs::path(directory) / ("answers-" + std::to_string(::getpid()) + ".jsonl"), std::ios::app);
    }
    out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n' << std::flush;
}

}  // namespace

http_reply http_client::request(const std::string& method, const std::string& target, const std::string& body) {
    const std::string message = request_message(method, target, body);
    http_reply reply;
    try {
        send_raw(message);
        reply = read_reply();
    } catch (const std::runtime_error&) {
        // The daemon may have closed an idle keep-alive connection: one fresh try.
        disconnect();
        send_raw(message);
        reply = read_reply();
    }
    if (m_socket_path == API_SOCKET) record_answer(method, target, reply);
    return reply;
}

void http_client::send_request(const std::string& method, const std::string& target, const std::string& body) {
    send_raw(request_message(method, target, body));
}

http_reply http_client::get(const std::string& target) { return request("GET", target, ""); }

http_reply http_client::post(const std::string& target, const std::string& form_body) {
    return request("POST", target, form_body);
}

bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return pred();
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, std::string_view content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string date_before_today(int days_back) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    // Noon, so that a day of 23 or 25 hours does not move the date.
    local.tm_hour = 12;
    local.tm_mday -= days_back;
    local.tm_isdst = -1;
    std::mktime(&local);
    char text[11];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

std::string today() { return date_before_today(0); }

std::string pattern_of(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return text;
}

std::string form(const std::string& name, const std::string& value) { return "name=" + name + "&value=" + value; }

staged_app::options without_netbird() {
    staged_app::options options;
    options.with_netbird = false;
    return options;
}

staged_app::staged_app() : staged_app(options{}) {}

staged_app::staged_app(options opts) : m_options(std::move(opts)) {
    char pattern[] = "/tmp/ovra-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
    // A copy, not a link: the daemon finds its directory through /proc/self/exe.
    fs::copy_file(OVRA_VPN_BIN, m_dir / "ovra_vpn");
    fs::create_directories(m_dir / "lib");
    if (m_options.with_netbird) fs::copy_file(NETBIRD_SIM_BIN, m_dir / "lib" / "netbird");
    if (m_options.with_iperf3) fs::create_symlink(IPERF3_BIN, m_dir / "lib" / "iperf3");
}

staged_app::~staged_app() {
    if (m_pid > 0) stop(SIGKILL);
    expect_no_sanitizer_reports();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

void staged_app::expect_no_sanitizer_reports() const {
    std::error_code ec;
    for (fs::directory_iterator it(m_dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (it->path().filename().string().starts_with(std::string(SANITIZER_REPORTS) + "."))
            ADD_FAILURE() << "sanitizer report " << it->path() << ":\n" << read_file(it->path());
    // A daemon out of descriptors cannot open a report file: the report goes to its console then.
    const std::string text = console();
    if (text.find("Sanitizer") != std::string::npos || text.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "sanitizer report on the daemon's console:\n" << text;
}

void staged_app::launch() {
    const std::string exe = (m_dir / "ovra_vpn").string();
    const std::string out = (m_dir / "console.txt").string();
    // The daemon removes the bundle zips it finds left in its children's temporary directory;
    // with a shared one, daemons of parallel tests would remove each other's.
    const std::string temporary = (m_dir / "tmp").string();
    fs::create_directories(temporary);
    m_pid = ::fork();
    if (m_pid == 0) {
        // The simulated client's dial to a missing service gives up after a second, not the real
        // ten, so that the tests without a service stay quick.
        ::setenv("NB_SIM_CONNECT_WAIT_MS", "1000", 1);
        ::setenv("TMPDIR", temporary.c_str(), 1);
        for (const auto& [name, value] : m_options.env) ::setenv(name.c_str(), value.c_str(), 1);
        redirect_sanitizer_reports(m_dir / SANITIZER_REPORTS);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(null_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(out_fd, 2);
        if (m_options.before_exec) m_options.before_exec();
        ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

void staged_app::start() {
    launch();
    const bool listening = wait_for([] {
        const int fd = connect_unix(API_SOCKET);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    });
    if (!listening) throw std::runtime_error("daemon did not listen; console: " + console());
}

int staged_app::wait_exit(std::chrono::milliseconds timeout) {
    int status = 0;
    const bool exited = wait_for([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
    if (!exited) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    m_client.disconnect();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int staged_app::stop(int signal_number) {
    ::kill(m_pid, signal_number);
    return wait_exit();
}

std::string staged_app::app_log() const { return read_file(log_dir() / ("app_" + today() + ".log")); }

std::string staged_app::netbird_log() const { return read_file(log_dir() / ("netbird_" + today() + ".log")); }

std::string staged_app::console() const { return read_file(m_dir / "console.txt"); }

struct syslog_capture::impl {
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread reader;
    std::mutex mutex;
    std::vector<std::string> lines;
};

syslog_capture::syslog_capture() : m_impl(std::make_unique<impl>()) {
    ::unlink("/dev/log");
    m_impl->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    if (::bind(m_impl->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind /dev/log: run the test through tests/isolate.sh");
    m_impl->reader = std::thread([state = m_impl.get()] {
        char message[65536];
        while (!state->stop) {
            pollfd pfd{state->fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) continue;
            const ssize_t n = ::recv(state->fd, message, sizeof message, 0);
            if (n <= 0) continue;
            std::lock_guard lock(state->mutex);
            state->lines.emplace_back(message, static_cast<std::size_t>(n));
        }
    });
}

syslog_capture::~syslog_capture() {
    m_impl->stop = true;
    m_impl->reader.join();
    ::close(m_impl->fd);
    ::unlink("/dev/log");
}

std::vector<std::string> syslog_capture::lines() {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->lines;
}

std::size_t syslog_capture::count(std::string_view text) {
    std::lock_guard lock(m_impl->mutex);
    std::size_t found = 0;
    for (const auto& line : m_impl->lines)
        if (line.find(text) != std::string::npos) ++found;
    return found;
}

}  // namespace test_support
