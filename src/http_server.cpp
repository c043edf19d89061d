#include <utility>  // before Asio: Boost 1.74 under C++20 needs it

#include "http_server.hpp"

#include "text_utils.hpp"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <list>
#include <malloc.h>
#include <map>
#include <optional>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace http_server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using unix_socket = asio::local::stream_protocol::socket;
using steady_clock = std::chrono::steady_clock;

namespace {

// Bytes read ahead of a request whose answer is pending (a pipelining client); past this reading
// pauses until the answer is out. Meanwhile a client that hangs up goes unnoticed until the write.
constexpr std::size_t MAX_READ_AHEAD_BYTES = 16 * 1024;
constexpr std::size_t READ_BYTES = 4096;
// The largest request head; a body's bytes pass through the input buffer in chunks.
constexpr std::uint32_t MAX_HEAD_BYTES = 8 * 1024;
// What a connection's input buffer may hold: a read beyond a full read-ahead. A chunk line or a
// trailer that does not end within it makes the request malformed instead of growing memory.
constexpr std::size_t MAX_INPUT_BYTES = MAX_READ_AHEAD_BYTES + READ_BYTES;
static_assert(MAX_INPUT_BYTES > MAX_HEAD_BYTES + READ_BYTES);
constexpr std::size_t BODY_CHUNK_BYTES = 16 * 1024;
// What a file answer holds in memory at a time, whatever the file's size.
constexpr std::size_t FILE_CHUNK_BYTES = 64 * 1024;
// A connection keeps its answer and input buffers for the next requests up to these sizes; larger
// ones (a long status document, a pipelining burst) are given back once used.
constexpr std::size_t KEPT_OUTPUT_BYTES = 8 * 1024;
constexpr std::size_t KEPT_INPUT_BYTES = 16 * 1024;
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(100);
// Descriptors kept for everything but connections (files, pipes, children) when the descriptor
// limit sets the connection cap.
constexpr rlim_t DESCRIPTOR_RESERVE = 64;
// After a burst of at least this many connections, memory freed by their end goes back to the
// system once three quarters of them have gone: the heap keeps freed blocks otherwise.
constexpr std::size_t TRIM_AFTER_CONNECTIONS = 64;

constexpr std::string_view CONTINUE_ANSWER = "HTTP/1.1 100 Continue\r\n\r\n";

// The catch-all answer of a path no handler serves.
constexpr std::string_view NOT_FOUND_STATUS_LINE = "404 File Not Found";
const char NOT_FOUND_BODY[] =
    "<html><body><h1>File Not Found</h1><hr><i>ovra_vpn</i></body></html>";

// The status line after "HTTP/1.1 ". A value outside the enumeration is a programming error and
// answers as an internal failure.
std::string_view status_text(status code) {
    switch (code) {
    case status::ok: return "200 OK";
    case status::bad_request: return "400 Bad Request";
    case status::not_found: return "404 Not Found";
    case status::payload_too_large: return "413 Payload Too Large";
    case status::internal_server_error: return "500 Internal Server Error";
    case status::service_unavailable: return "503 Service Unavailable";
    }
    return "500 Internal Server Error";
}

// An error in the request's own bytes, as opposed to a client that hung up or a failed socket.
bool is_malformed(const beast::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
}

bool is_out_of_descriptors(const beast::error_code& ec) {
    return ec == beast::errc::too_many_files_open || ec == beast::errc::too_many_files_open_in_system;
}

// The connection cap, lowered where the descriptor limit would run out first. Read on every
// admission: a supervisor may change the limit of a running daemon.
std::size_t connection_cap(std::size_t configured) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return configured;
    const rlim_t room = limit.rlim_cur > DESCRIPTOR_RESERVE ? limit.rlim_cur - DESCRIPTOR_RESERVE : 1;
    return static_cast<std::size_t>(std::min<rlim_t>(configured, room));
}

}  // namespace

request::request(std::string method, std::string target)
    : m_method(std::move(method)), m_target(std::move(target)), m_path_end(std::min(m_target.find('?'), m_target.size())) {}

std::string_view request::query() const {
    return m_path_end < m_target.size() ? std::string_view(m_target).substr(m_path_end + 1) : std::string_view{};
}

std::string request::query_value(std::string_view key) const {
    std::string_view rest = query();
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        const auto eq = piece.find('=');
        if (text_utils::percent_decode(piece.substr(0, eq), false) != key) continue;
        return eq == std::string_view::npos ? std::string{}
                                            : text_utils::percent_decode(piece.substr(eq + 1), false);
    }
    return {};
}

class session;
using session_list = std::list<std::shared_ptr<session>>;

struct app::impl : event_loop {
    explicit impl(limits connection_limits) : limits_(connection_limits) {}
    ~impl();

    asio::io_context io;
    const limits limits_;
    std::optional<asio::local::stream_protocol::acceptor> acceptor;
    asio::steady_timer accept_pause{io};
    bool accept_failing = false;
    bool refusing = false;
    bool evicting_for_descriptors = false;
    // By method, then by path; both looked up by view, without a copy of the request's text.
    std::map<std::string, std::map<std::string, handler, std::less<>>, std::less<>> routes;
    // Every open connection; a connection lives here, not in its pending operations, so that one
    // that waits for nothing (its answer pending, its read-ahead full) stays open.
    session_list sessions;
    std::size_t peak_sessions = 0;

    void defer(std::function<void()> task) override { asio::post(io, std::move(task)); }
    void accept_next();
    void admit(unix_socket socket);
    bool make_room();
    void forget(session_list::iterator entry);
    // False when no handler serves the request's method and path.
    bool dispatch(const response_ptr& res, const request& req) const;
};

// An open file being sent as an answer's body, one chunk in memory at a time.
struct file_stream {
    file_stream(int descriptor, std::uint64_t length)
        : fd(descriptor), remaining(length),
          chunk_size(static_cast<std::size_t>(std::min<std::uint64_t>(length, FILE_CHUNK_BYTES))),
          chunk(std::make_unique<char[]>(chunk_size)) {}
    ~file_stream() { ::close(fd); }
    file_stream(const file_stream&) = delete;
    file_stream& operator=(const file_stream&) = delete;

    int fd;
    std::uint64_t offset = 0;
    std::uint64_t remaining;
    std::size_t chunk_size;
    std::unique_ptr<char[]> chunk;
};

// One client connection: read a request's header, hand it to its route, feed the body to the
// route's data handler, write the answer, then the next request. Requests on one connection are
// answered strictly in order; bytes of a pipelined request wait in the buffer meanwhile.
class session : public std::enable_shared_from_this<session> {
public:
    session(unix_socket socket, app::impl& server) : m_socket(std::move(socket)), m_timer(server.io), m_server(server) {}

    void start(session_list::iterator entry);
    void write_answer(std::string_view status_line, std::string_view header_lines, std::string_view body);
    void write_file_answer(std::string_view status_line, std::string_view header_lines, int fd, std::uint64_t length);
    void close();

    // What a connection is doing, as far as making room for a newcomer goes: one that waits for a
    // request (or has only part of its head) goes first, then one stuck in a transfer with its
    // client (a body coming in, an answer going out), longest first; one whose handler is at work
    // stays.
    enum class standing { waiting, transferring, handled };
    standing current_standing() const { return m_standing; }
    steady_clock::time_point standing_since() const { return m_standing_since; }

private:
    void read_header();
    void read_header_some();
    void on_header();
    void send_continue();
    void read_body();
    void set_body_deadline();
    void on_body(beast::error_code ec);
    void body_done();
    void reject_malformed();
    static void answer_not_found(response& res);
    void watch_for_close();
    void serialize_head(std::string_view status_line, std::string_view header_lines, std::uint64_t length);
    void start_write();
    void on_head_written(beast::error_code ec);
    void send_file_chunk();
    void finish_write(beast::error_code ec);
    void next_request();
    void close_unless(beast::error_code ec);
    void set_deadline(std::chrono::milliseconds after) { set_deadline_at(steady_clock::now() + after); }
    void set_deadline_at(steady_clock::time_point deadline);
    void enter(standing now_standing);
    void clear_deadline() { m_deadline = steady_clock::time_point::max(); }
    void wait_for_deadline();

    unix_socket m_socket;
    asio::steady_timer m_timer;
    steady_clock::time_point m_deadline = steady_clock::time_point::max();
    bool m_timer_waiting = false;
    app::impl& m_server;
    session_list::iterator m_entry;
    steady_clock::time_point m_body_ends = steady_clock::time_point::max();
    beast::flat_buffer m_buffer{MAX_INPUT_BYTES};
    std::optional<bhttp::request_parser<bhttp::buffer_body>> m_parser;
    std::unique_ptr<char[]> m_body_chunk;  // only while a body is read
    std::string m_output;                  // the answer's head, and its body unless it is a file
    std::unique_ptr<file_stream> m_file;
    response_ptr m_response;
    standing m_standing = standing::handled;
    steady_clock::time_point m_standing_since;
    bool m_head_started = false;
    bool m_head_request = false;
    bool m_keep_alive = true;
    // The client waits for "100 Continue" before it sends the body.
    bool m_continue_pending = false;
    bool m_writing_continue = false;
    bool m_body_done = false;
    bool m_writing = false;
    bool m_watching = false;
    bool m_closed = false;
};

response::response(std::weak_ptr<session> owner)
    : m_owner(std::move(owner)), m_status_line(status_text(status::ok)) {}

response& response::write_status(status code) {
    m_status_line = status_text(code);
    return *this;
}

response& response::write_header(std::string_view name, std::string_view value) {
    m_header_lines.append(name).append(": ").append(value).append("\r\n");
    return *this;
}

void response::end(std::string_view body) {
    if (m_ended) return;
    m_ended = true;
    if (const auto owner = m_owner.lock()) owner->write_answer(m_status_line, m_header_lines, body);
}

bool response::end_with_file(int fd) {
    struct stat file_status {};
    if (::fstat(fd, &file_status) != 0 || !S_ISREG(file_status.st_mode)) {
        ::close(fd);
        m_status_line = status_text(status::ok);
        m_header_lines.clear();
        return false;
    }
    const auto owner = m_owner.lock();
    if (m_ended || !owner) {
        ::close(fd);
        return true;
    }
    m_ended = true;
    owner->write_file_answer(m_status_line, m_header_lines, fd, static_cast<std::uint64_t>(file_status.st_size));
    return true;
}

void response::deliver_data(std::string_view chunk, bool last) {
    if (!last) {
        if (m_on_data) m_on_data(chunk, last);
        return;
    }
    // Handlers often hold their own response: letting go of them here breaks that cycle.
    if (auto callback = std::exchange(m_on_data, nullptr)) callback(chunk, last);
}

void response::release_handlers() {
    m_on_data = nullptr;
    m_on_aborted = nullptr;
}

void response::abort() {
    m_owner.reset();
    auto callback = std::exchange(m_on_aborted, nullptr);
    release_handlers();
    if (callback) callback();
}

void session::start(session_list::iterator entry) {
    m_entry = entry;
    read_header();
}

// The connection closes at its deadline, set for the phase it is in. Most requests only move the
// deadline later: the timer in flight then finds it not yet reached and waits again, so a request
// costs no timer operation of its own.
void session::set_deadline_at(steady_clock::time_point deadline) {
    m_deadline = deadline;
    if (!m_timer_waiting || m_timer.expiry() > m_deadline) wait_for_deadline();
}

void session::wait_for_deadline() {
    m_timer.expires_at(m_deadline);  // cancels a wait in flight, which then leaves all as it is
    m_timer_waiting = true;
    m_timer.async_wait([weak = weak_from_this()](beast::error_code ec) {
        const auto self = weak.lock();
        if (ec == asio::error::operation_aborted || !self || self->m_closed) return;
        self->m_timer_waiting = false;
        if (self->m_deadline == steady_clock::time_point::max()) return;
        if (self->m_deadline > steady_clock::now()) return self->wait_for_deadline();
        self->close();
    });
}

void session::enter(standing now_standing) {
    if (std::exchange(m_standing, now_standing) != now_standing) m_standing_since = steady_clock::now();
}

void session::read_header() {
    m_parser.emplace();
    m_parser->header_limit(MAX_HEAD_BYTES);
    // Oversized bodies are refused by the handlers and then drained. (No boost::none here: Beast
    // 1.74 compares the length against an empty limit as if it were exceeded.)
    m_parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    m_body_done = false;
    enter(standing::waiting);
    m_head_started = false;
    set_deadline(m_server.limits_.idle_timeout);
    read_header_some();
}

// The head is read here rather than by Beast's read, which returns only once a head is complete:
// the idle wait ends with a head's first byte, and the head then has its own deadline.
void session::read_header_some() {
    if (m_buffer.size() > 0) {
        beast::error_code ec;
        m_buffer.consume(m_parser->put(m_buffer.data(), ec));
        if (ec && ec != bhttp::error::need_more) return is_malformed(ec) ? reject_malformed() : close();
        if (m_parser->is_header_done()) return on_header();
        if (!std::exchange(m_head_started, true)) set_deadline(m_server.limits_.head_deadline);
    }
    m_socket.async_read_some(m_buffer.prepare(READ_BYTES), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        if (self->m_closed) return;
        if (ec) return self->close();  // gone, also in the middle of a head
        self->m_buffer.commit(n);
        self->read_header_some();
    });
}

void session::on_header() {
    enter(standing::handled);
    clear_deadline();  // the handler's own pace is its business
    m_body_ends = steady_clock::now() + m_server.limits_.body_deadline;
    const auto& head = m_parser->get();
    m_keep_alive = head.keep_alive();
    m_head_request = head.method() == bhttp::verb::head;
    m_continue_pending = !m_parser->is_done() && head.version() >= 11 &&
                         beast::iequals(head[bhttp::field::expect], "100-continue");
    const request req(std::string(head.method_string()), std::string(head.target()));
    m_response = std::make_shared<response>(weak_from_this());
    const response_ptr res = m_response;
    if (!m_server.dispatch(res, req)) answer_not_found(*res);
    if (!res->ended() && !res->has_abort_handler()) {
        spdlog::error("Handler for {} {} returned without answering or watching for an abort",
                      req.method(), req.path());
        close();
        return;
    }
    if (m_parser->is_done()) {
        res->deliver_data({}, true);
        body_done();
    } else if (m_continue_pending && res->ended()) {
        // Refused before the client sent its body: it may send it or not, so the connection ends
        // with this answer (which said so) and the body is never read.
        m_body_done = true;
    } else if (m_continue_pending) {
        send_continue();
    } else {
        read_body();
    }
}

// A final answer written meanwhile waits for the interim one and goes out after it.
void session::send_continue() {
    m_continue_pending = false;
    m_writing_continue = true;
    asio::async_write(m_socket, asio::buffer(CONTINUE_ANSWER.data(), CONTINUE_ANSWER.size()),
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                          self->m_writing_continue = false;
                          if (self->m_closed) return;
                          if (ec) return self->close();
                          if (self->m_writing) self->start_write();
                          self->read_body();
                      });
}

void session::read_body() {
    if (!m_body_chunk) m_body_chunk = std::make_unique<char[]>(BODY_CHUNK_BYTES);
    auto& body = m_parser->get().body();
    body.data = m_body_chunk.get();
    body.size = BODY_CHUNK_BYTES;
    if (!m_writing) set_body_deadline();
    enter(standing::transferring);
    bhttp::async_read_some(m_socket, m_buffer, *m_parser,
                           [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_body(ec); });
}

// Each read of a body may stall for the idle time, and the body as a whole has its own deadline.
void session::set_body_deadline() {
    set_deadline_at(std::min(steady_clock::now() + m_server.limits_.idle_timeout, m_body_ends));
}

void session::on_body(beast::error_code ec) {
    // A read that completed just before the connection closed has no request left to feed.
    if (m_closed) return;
    if (ec == bhttp::error::need_buffer) ec = {};
    if (ec) {
        if (is_malformed(ec) && !m_response->ended())
            reject_malformed();
        else
            close();
        return;
    }
    const std::size_t length = BODY_CHUNK_BYTES - m_parser->get().body().size;
    const bool last = m_parser->is_done();
    const response_ptr res = m_response;
    if (length > 0 || last) res->deliver_data(std::string_view(m_body_chunk.get(), length), last);
    if (m_closed) return;
    if (last)
        body_done();
    else
        read_body();
}

// Malformed or oversized request bytes: one "400 Bad Request", then the connection closes. A
// handler that took the request already is cut off as if its client had gone, so that it never
// answers as well.
void session::reject_malformed() {
    if (m_response) m_response->abort();
    m_keep_alive = false;
    m_head_request = false;
    m_body_done = true;
    write_answer(status_text(status::bad_request), "Content-Type: text/plain\r\n", "Bad Request");
}

// The page for a method and path no handler serves; its reason text is not the standard one.
void session::answer_not_found(response& res) {
    res.m_status_line = NOT_FOUND_STATUS_LINE;
    res.write_header("Content-Type", "text/html; charset=utf-8");
    res.end(NOT_FOUND_BODY);
}

void session::body_done() {
    m_body_done = true;
    m_body_chunk.reset();
    if (m_response && m_response->ended()) {
        if (!m_writing) next_request();
        return;
    }
    enter(standing::handled);
    clear_deadline();
    watch_for_close();
}

// While an answer is pending the only read is this one: it notices a client that hangs up and
// keeps what a pipelining client sends for the next requests, up to a bound; past that it waits
// for the answer to be written, and the client's further bytes wait in the socket.
void session::watch_for_close() {
    if (m_buffer.size() >= MAX_READ_AHEAD_BYTES) return;
    m_watching = true;
    m_socket.async_read_some(m_buffer.prepare(READ_BYTES), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->m_watching = false;
        if (self->m_closed) return;
        if (ec == asio::error::operation_aborted) {
            self->next_request();
            return;
        }
        if (ec) {
            self->close();
            return;
        }
        self->m_buffer.commit(n);
        if (self->m_response && self->m_response->ended()) {
            if (!self->m_writing) self->next_request();
            return;
        }
        self->watch_for_close();
    });
}

// The status line, the handler's headers, the length and, when the connection ends here,
// "Connection: close". The answer to HEAD says the length its GET would have and has no body.
void session::serialize_head(std::string_view status_line, std::string_view header_lines, std::uint64_t length) {
    if (m_continue_pending) m_keep_alive = false;
    m_output.clear();
    m_output.append("HTTP/1.1 ").append(status_line).append("\r\n");
    m_output.append(header_lines);
    m_output.append("Content-Length: ").append(std::to_string(length)).append("\r\n");
    if (!m_keep_alive) m_output.append("Connection: close\r\n");
    m_output.append("\r\n");
}

void session::write_answer(std::string_view status_line, std::string_view header_lines, std::string_view body) {
    if (m_closed) return;
    serialize_head(status_line, header_lines, body.size());
    if (!m_head_request) m_output.append(body);
    start_write();
}

void session::write_file_answer(std::string_view status_line, std::string_view header_lines, int fd,
                                std::uint64_t length) {
    if (m_closed) {
        ::close(fd);
        return;
    }
    serialize_head(status_line, header_lines, length);
    if (m_head_request || length == 0)
        ::close(fd);
    else
        m_file = std::make_unique<file_stream>(fd, length);
    start_write();
}

void session::start_write() {
    m_writing = true;
    enter(standing::transferring);
    if (m_writing_continue) return;  // goes out after it
    set_deadline(m_server.limits_.idle_timeout);
    asio::async_write(m_socket, asio::buffer(m_output), [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->on_head_written(ec);
    });
}

void session::on_head_written(beast::error_code ec) {
    if (m_closed) return;
    if (!ec && m_file) return send_file_chunk();
    finish_write(ec);
}

// The file is read from the descriptor opened for this answer, so a rename or replacement of its
// path meanwhile changes nothing. Exactly the length announced is sent: bytes appended since are
// left out, and a file that shrank ends the connection, as the answer can no longer be complete.
void session::send_file_chunk() {
    if (m_file->remaining == 0) return finish_write({});
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(m_file->remaining, m_file->chunk_size));
    ssize_t got = 0;
    do {
        got = ::pread(m_file->fd, m_file->chunk.get(), wanted, static_cast<off_t>(m_file->offset));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        spdlog::warn("A file being sent {} after {} bytes; closing the connection",
                     got == 0 ? "became shorter" : "could not be read", m_file->offset);
        return close();
    }
    set_deadline(m_server.limits_.idle_timeout);
    asio::async_write(m_socket, asio::buffer(m_file->chunk.get(), static_cast<std::size_t>(got)),
                      [self = shared_from_this()](beast::error_code ec, std::size_t written) {
                          if (self->m_closed) return;
                          if (ec) return self->finish_write(ec);
                          self->m_file->offset += written;
                          self->m_file->remaining -= written;
                          self->send_file_chunk();
                      });
}

void session::finish_write(beast::error_code ec) {
    m_writing = false;
    m_file.reset();
    if (m_output.capacity() > KEPT_OUTPUT_BYTES) m_output = std::string();
    if (ec || !m_keep_alive) {
        close();
        return;
    }
    if (!m_body_done) {
        // The rest of the body is still being read and dropped.
        set_body_deadline();
        return;
    }
    if (m_watching) {
        beast::error_code ignored;
        m_socket.cancel(ignored);  // the watch completes with operation_aborted and moves on
        return;
    }
    next_request();
}

void session::next_request() {
    if (auto res = std::exchange(m_response, nullptr)) res->release_handlers();
    if (m_buffer.capacity() > KEPT_INPUT_BYTES && m_buffer.size() <= KEPT_INPUT_BYTES) m_buffer.shrink_to_fit();
    read_header();
}

void session::close() {
    if (m_closed) return;
    m_closed = true;
    const auto self = shared_from_this();  // the list below may hold the last reference
    m_timer.cancel();
    beast::error_code ignored;
    m_socket.shutdown(unix_socket::shutdown_both, ignored);
    m_socket.close(ignored);
    if (auto res = std::exchange(m_response, nullptr)) {
        if (res->ended())
            res->release_handlers();
        else
            res->abort();
    }
    m_server.forget(m_entry);
}

// Out of descriptors, a connection makes room as at the cap, so that a new client is not left in
// the backlog. Any other failed accept would fail again at once and spin the loop, so the next one
// waits a moment; the failure is logged once until an accept succeeds again.
void app::impl::accept_next() {
    acceptor->async_accept([this](beast::error_code ec, unix_socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
        if (!ec) {
            accept_failing = false;
            evicting_for_descriptors = false;
            admit(std::move(socket));
            accept_next();
            return;
        }
        if (is_out_of_descriptors(ec) && make_room()) {
            if (!std::exchange(evicting_for_descriptors, true))
                spdlog::warn("Out of descriptors; closing the longest idle connections to accept new ones");
            accept_next();
            return;
        }
        if (!std::exchange(accept_failing, true)) spdlog::warn("Failed to accept a connection: {}", ec.message());
        accept_pause.expires_after(ACCEPT_RETRY_PAUSE);
        accept_pause.async_wait([this](beast::error_code wait_ec) {
            if (!wait_ec) accept_next();
        });
    });
}

// At the cap a connection makes room; when every handler is at work the newcomer is closed at
// once (logged once until one is admitted again).
void app::impl::admit(unix_socket socket) {
    const std::size_t cap = connection_cap(limits_.max_connections);
    while (sessions.size() >= cap) {
        if (make_room()) continue;
        if (!std::exchange(refusing, true))
            spdlog::warn("{} connections open and all busy; refusing new ones", sessions.size());
        return;
    }
    refusing = false;
    const auto entry = sessions.insert(sessions.end(), std::make_shared<session>(std::move(socket), *this));
    peak_sessions = std::max(peak_sessions, sessions.size());
    (*entry)->start(entry);
}

// Closes the connection idle longest, else the one longest in a transfer; false when every
// connection's handler is at work.
bool app::impl::make_room() {
    const auto rank = [](const session& s) { return std::pair(s.current_standing(), s.standing_since()); };
    session* chosen = nullptr;
    for (const auto& s : sessions)
        if (s->current_standing() != session::standing::handled && (chosen == nullptr || rank(*s) < rank(*chosen)))
            chosen = s.get();
    if (chosen == nullptr) return false;
    chosen->close();
    return true;
}

// Connections still open at the end close as at any other time: the handlers of an unfinished
// answer hold their own response, a cycle that only its abort breaks.
app::impl::~impl() {
    const session_list open = sessions;
    for (const auto& s : open) s->close();
}

void app::impl::forget(session_list::iterator entry) {
    sessions.erase(entry);
    if (peak_sessions >= TRIM_AFTER_CONNECTIONS && sessions.size() <= peak_sessions / 4) {
        peak_sessions = sessions.size();
        ::malloc_trim(0);
    }
}

bool app::impl::dispatch(const response_ptr& res, const request& req) const {
    // HEAD is answered as GET would be; the body is left out when the answer is written.
    const std::string_view method = req.method() == "HEAD" ? std::string_view("GET") : req.method();
    if (const auto routes_of_method = routes.find(method); routes_of_method != routes.end()) {
        if (const auto route = routes_of_method->second.find(req.path()); route != routes_of_method->second.end()) {
            route->second(res, req);
            return true;
        }
    }
    return false;
}

app::app(limits connection_limits) : m_impl(std::make_unique<impl>(connection_limits)) {}
app::~app() = default;

app& app::get(std::string path, handler h) {
    m_impl->routes["GET"][std::move(path)] = std::move(h);
    return *this;
}

app& app::post(std::string path, handler h) {
    m_impl->routes["POST"][std::move(path)] = std::move(h);
    return *this;
}

void app::listen(const std::string& socket_path, const std::function<void(listen_socket*)>& on_listen,
                 const std::function<void()>& on_bound) {
    using endpoint = asio::local::stream_protocol::endpoint;
    beast::error_code ec;
    auto& acceptor = m_impl->acceptor.emplace(m_impl->io);
    acceptor.open(endpoint(socket_path).protocol(), ec);
    if (!ec) acceptor.bind(endpoint(socket_path), ec);
    if (!ec && on_bound) on_bound();
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        m_impl->acceptor.reset();
        on_listen(nullptr);
        return;
    }
    m_impl->accept_next();
    on_listen(reinterpret_cast<listen_socket*>(&acceptor));
}

event_loop& app::loop() { return *m_impl; }

void app::run() { m_impl->io.run(); }

void app::stop() { m_impl->io.stop(); }

}  // namespace http_server
