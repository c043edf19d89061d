// Load generator for an HTTP/1.1 server on a Unix socket: N keep-alive connections, each sending
// its next request only when the previous answer is complete (no pipelining), for a fixed time.
// One thread and epoll, so the generator costs one core at most and leaves the other to the server.
//
//   ovra_load --socket PATH [--connections N] [--seconds S] [--warmup S] [--label NAME]
//             [--cpu-of PID] (--get PATH | --post PATH BODY)...
//   ovra_load --socket PATH --print (--get PATH | --post PATH BODY)
//
// Each connection cycles through the requests in the order given, starting at its own offset so
// that a mix is spread evenly. The result is one tab-separated line:
//   label requests errors requests_per_s p50_us p99_us p99.9_us body_bytes cpu_us_per_request
//   first_p99_us
// where the last column is the p99 latency of the answers to the first request given alone (in a
// mix, what the most frequent request meets among the others).
// Answers during the warm-up are not counted. Errors are answers other than 2xx, malformed
// answers and lost connections (which are reopened). The last column is the CPU time (user and
// system, children left out) that process --cpu-of used per counted answer, "-" without it: unlike
// the other figures it hardly depends on what else the machine runs.
// --print sends one request and prints the answer's body, for staging a reference document.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;
constexpr int MAX_EVENTS = 256;

struct options {
    std::string socket_path;
    int connections = 64;
    double seconds = 10;
    double warmup = 1;
    std::string label = "load";
    pid_t cpu_of = 0;
    bool print = false;
    std::vector<std::string> requests;  // complete request texts
};

std::string make_request(std::string_view method, std::string_view path, std::string_view body) {
    std::string text = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: localhost\r\n";
    if (method == "POST")
        text += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n";
    text += "\r\n";
    text += body;
    return text;
}

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "ovra_load: %s\nusage: ovra_load --socket PATH [--connections N] [--seconds S] [--warmup S] "
                 "[--label NAME] [--cpu-of PID] [--print] (--get PATH | --post PATH BODY)...\n",
                 problem);
    std::exit(2);
}

options parse_options(int argc, char** argv) {
    options opts;
    const auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc) usage("missing value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--socket") opts.socket_path = value(i);
        else if (flag == "--connections") opts.connections = std::stoi(value(i));
        else if (flag == "--seconds") opts.seconds = std::stod(value(i));
        else if (flag == "--warmup") opts.warmup = std::stod(value(i));
        else if (flag == "--label") opts.label = value(i);
        else if (flag == "--cpu-of") opts.cpu_of = std::stoi(value(i));
        else if (flag == "--print") opts.print = true;
        else if (flag == "--get") opts.requests.push_back(make_request("GET", value(i), ""));
        else if (flag == "--post") {
            const std::string path = value(i);
            opts.requests.push_back(make_request("POST", path, value(i)));
        } else usage("unknown option");
    }
    if (opts.socket_path.empty() || opts.requests.empty()) usage("--socket and a request are required");
    if (opts.connections < 1 || opts.seconds <= 0 || opts.warmup < 0) usage("bad number");
    return opts;
}

int connect_unix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error("connect " + path + ": " + std::strerror(error));
    }
    return fd;
}

// A peer that has gone makes this fail rather than raise SIGPIPE.
bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x | 0x20) == (y | 0x20);
           });
}

// A complete answer at the start of a buffer.
struct answer {
    int status = 0;
    std::size_t header_bytes = 0;
    std::size_t body_bytes = 0;
    bool closes = false;
    std::size_t total() const { return header_bytes + body_bytes; }
};

enum class parse_state { incomplete, complete, malformed };

// The value of a header in an answer's head without its leading blanks; nothing when absent.
std::optional<std::string_view> header_value(std::string_view head, std::string_view name) {
    for (auto line_end = head.find("\r\n"); line_end != std::string_view::npos;) {
        const auto line_start = line_end + 2;
        line_end = head.find("\r\n", line_start);
        const std::string_view line = head.substr(line_start, line_end - line_start);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || !equals_ignoring_case(line.substr(0, colon), name)) continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        return value;
    }
    return std::nullopt;
}

// Reads the status line and the headers this generator needs; the body is framed by
// Content-Length, which both servers under test always send.
parse_state parse_answer(std::string_view buffer, answer& out) {
    const auto head_end = buffer.find("\r\n\r\n");
    if (head_end == std::string_view::npos) return parse_state::incomplete;
    const std::string_view head = buffer.substr(0, head_end);
    if (head.size() < 12 || !head.starts_with("HTTP/1.")) return parse_state::malformed;
    if (std::from_chars(head.data() + 9, head.data() + 12, out.status).ec != std::errc{}) return parse_state::malformed;
    const auto length = header_value(head, "content-length");
    if (!length || std::from_chars(length->data(), length->data() + length->size(), out.body_bytes).ec != std::errc{})
        return parse_state::malformed;
    const auto connection = header_value(head, "connection");
    out.closes = connection && equals_ignoring_case(*connection, "close");
    out.header_bytes = head_end + 4;
    return buffer.size() >= out.total() ? parse_state::complete : parse_state::incomplete;
}

struct connection {
    int fd = -1;
    std::size_t next_request = 0;
    std::size_t sent_request = 0;
    std::string input;
    steady::time_point sent_at;
};

// CPU time (user and system) that a process has used so far, its children left out.
std::optional<std::chrono::microseconds> process_cpu_time(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(file, text);
    const auto name_end = text.rfind(')');  // the command name may hold blanks and parentheses
    if (name_end == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(name_end + 1));
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;  // state .. cmajflt
    unsigned long long user_ticks = 0, system_ticks = 0;
    if (!(fields >> user_ticks >> system_ticks)) return std::nullopt;
    const auto ticks_per_second = static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK));
    return std::chrono::microseconds((user_ticks + system_ticks) * 1000000 / ticks_per_second);
}

struct results {
    std::vector<std::uint32_t> latencies_ns;  // a latency beyond 4 s counts as 4 s
    std::vector<std::uint32_t> first_request_latencies_ns;  // answers to a request like the first
    std::uint64_t errors = 0;
    std::size_t body_bytes = 0;
    std::optional<std::chrono::microseconds> server_cpu;
};

class load_run {
public:
    explicit load_run(const options& opts) : m_opts(opts), m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {
        if (m_epoll < 0) throw std::runtime_error("epoll_create1 failed");
        m_connections.resize(static_cast<std::size_t>(opts.connections));
    }
    ~load_run() {
        for (connection& c : m_connections)
            if (c.fd >= 0) ::close(c.fd);
        ::close(m_epoll);
    }
    load_run(const load_run&) = delete;
    load_run& operator=(const load_run&) = delete;

    results run() {
        const auto started = steady::now();
        m_measure_from = started + to_duration(m_opts.warmup);
        const auto deadline = m_measure_from + to_duration(m_opts.seconds);
        for (std::size_t i = 0; i < m_connections.size(); ++i) {
            m_connections[i].next_request = i % m_opts.requests.size();
            open(i);
        }
        epoll_event events[MAX_EVENTS];
        std::optional<std::chrono::microseconds> cpu_at_start;
        for (auto now = steady::now(); now < deadline; now = steady::now()) {
            if (!cpu_at_start && now >= m_measure_from) cpu_at_start = server_cpu_time();
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            const int ready = ::epoll_wait(m_epoll, events, MAX_EVENTS, static_cast<int>(left));
            if (ready < 0 && errno != EINTR) throw std::runtime_error("epoll_wait failed");
            for (int e = 0; e < ready; ++e) on_readable(events[e].data.u64);
        }
        const auto cpu_at_end = server_cpu_time();
        if (cpu_at_start && cpu_at_end) m_results.server_cpu = *cpu_at_end - *cpu_at_start;
        return std::move(m_results);
    }

private:
    static steady::duration to_duration(double seconds) {
        return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
    }

    std::optional<std::chrono::microseconds> server_cpu_time() const {
        return m_opts.cpu_of > 0 ? process_cpu_time(m_opts.cpu_of) : std::nullopt;
    }

    void open(std::size_t index) {
        connection& c = m_connections[index];
        c.fd = connect_unix(m_opts.socket_path);
        c.input.clear();
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = index;
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, c.fd, &event) != 0) throw std::runtime_error("epoll_ctl failed");
        send_next(index);
    }

    void reopen(std::size_t index) {
        ::close(m_connections[index].fd);  // also leaves the epoll set
        m_connections[index].fd = -1;
        open(index);
    }

    void send_next(std::size_t index) {
        connection& c = m_connections[index];
        const std::string& request = m_opts.requests[c.next_request];
        c.sent_request = c.next_request;
        c.next_request = (c.next_request + 1) % m_opts.requests.size();
        c.sent_at = steady::now();
        if (!write_all(c.fd, request)) fail(index);
    }

    void fail(std::size_t index) {
        ++m_results.errors;
        reopen(index);
    }

    void on_readable(std::size_t index) {
        connection& c = m_connections[index];
        char chunk[READ_CHUNK_BYTES];
        const ssize_t got = ::read(c.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) return;
        if (got <= 0) return fail(index);
        c.input.append(chunk, static_cast<std::size_t>(got));
        answer a;
        switch (parse_answer(c.input, a)) {
        case parse_state::incomplete: return;
        case parse_state::malformed: return fail(index);
        case parse_state::complete: break;
        }
        record(c, a);
        if (c.input.size() != a.total()) return fail(index);  // bytes nobody asked for
        c.input.clear();
        if (a.closes)
            reopen(index);
        else
            send_next(index);
    }

    void record(const connection& c, const answer& a) {
        const auto now = steady::now();
        if (now < m_measure_from) return;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.sent_at).count();
        const auto latency = static_cast<std::uint32_t>(std::min<std::int64_t>(ns, UINT32_MAX));
        m_results.latencies_ns.push_back(latency);
        if (m_opts.requests[c.sent_request] == m_opts.requests.front())
            m_results.first_request_latencies_ns.push_back(latency);
        if (a.status < 200 || a.status > 299) ++m_results.errors;
        m_results.body_bytes = a.body_bytes;
    }

    const options& m_opts;
    int m_epoll;
    std::vector<connection> m_connections;
    steady::time_point m_measure_from;
    results m_results;
};

// The latency that `fraction` of the answers did not exceed, in microseconds.
double percentile_us(const std::vector<std::uint32_t>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()));
    return sorted[std::min(rank, sorted.size() - 1)] / 1000.0;
}

std::string cpu_per_request_us(const results& r) {
    if (!r.server_cpu || r.latencies_ns.empty()) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f",
                  static_cast<double>(r.server_cpu->count()) / static_cast<double>(r.latencies_ns.size()));
    return text;
}

void print_results(const options& opts, results r) {
    std::sort(r.latencies_ns.begin(), r.latencies_ns.end());
    std::sort(r.first_request_latencies_ns.begin(), r.first_request_latencies_ns.end());
    const auto count = r.latencies_ns.size();
    std::printf("%s\t%zu\t%llu\t%.0f\t%.1f\t%.1f\t%.1f\t%zu\t%s\t%.1f\n", opts.label.c_str(), count,
                static_cast<unsigned long long>(r.errors), static_cast<double>(count) / opts.seconds,
                percentile_us(r.latencies_ns, 0.50), percentile_us(r.latencies_ns, 0.99),
                percentile_us(r.latencies_ns, 0.999), r.body_bytes, cpu_per_request_us(r).c_str(),
                percentile_us(r.first_request_latencies_ns, 0.99));
}

// One request, its body on standard output; fails unless the answer is 2xx.
int print_one(const options& opts) {
    const int fd = connect_unix(opts.socket_path);
    if (!write_all(fd, opts.requests.front())) throw std::runtime_error("write failed");
    std::string input;
    answer a;
    for (parse_state state = parse_state::incomplete; state != parse_state::complete;) {
        char chunk[READ_CHUNK_BYTES];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) throw std::runtime_error("connection closed before the answer was complete");
        input.append(chunk, static_cast<std::size_t>(got));
        state = parse_answer(input, a);
        if (state == parse_state::malformed) throw std::runtime_error("malformed answer");
    }
    ::close(fd);
    std::fwrite(input.data() + a.header_bytes, 1, a.body_bytes, stdout);
    return a.status >= 200 && a.status <= 299 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const options opts = parse_options(argc, argv);
        if (opts.print) return print_one(opts);
        print_results(opts, load_run(opts).run());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ovra_load: %s\n", e.what());
        return 1;
    }
}
