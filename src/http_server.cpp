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
constexpr std::string_view BAD_REQUEST_BODY = "Bad Request";

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
    standing current_standing() const { return standing_of(m_phase); }
    steady_clock::time_point standing_since() const { return m_standing_since; }

private:
    // Where a request stands on this connection, and the phases each may go to; any may go to
    // closed. enter() is the one way to change it, and each phase owns its deadline (arm_deadline).
    // An answer may go out while its body still comes in, or while a read watches for the client
    // leaving, hence the phases that pair the two.
    enum class phase {
        awaiting_request,        // no byte of a request yet:  reading_head, handing_over, answering (malformed)
        reading_head,            // part of a head is in:  handing_over, answering (malformed)
        handing_over,            // its handler has the head; nothing is read:  reading_body,
                                 // sending_continue, awaiting_answer, answering
        sending_continue,        // "100 Continue" going out, the body after it:  reading_body,
                                 // continue_then_answer
        continue_then_answer,    // as above, the answer waiting to go out after it:  answering_mid_body
        reading_body,            // the body coming in, to the handler or, once answered, dropped:
                                 // answering_mid_body, awaiting_answer, awaiting_request, answering (malformed)
        answering_mid_body,      // the answer going out while the body comes in:  reading_body, answering
        awaiting_answer,         // the body is in; a read watches for the client leaving:
                                 // read_ahead_full, answering_and_watching
        read_ahead_full,         // as above, no read until the answer is out:  answering
        answering,               // the answer going out; nothing is read:  awaiting_request,
                                 // answering_mid_body (answered before its body)
        answering_and_watching,  // the answer going out, the watching read still out:  answering,
                                 // ending_watch
        ending_watch,            // the answer is out, the watching read called off:  awaiting_request
        closed,
    };
    static standing standing_of(phase p);
    static bool is_writing(phase p);

    void enter(phase next);
    void arm_deadline();
    void begin_request();
    void read_header_some();
    void on_header();
    void send_continue();
    void read_body();
    void on_body(beast::error_code ec);
    void body_done();
    void reject_malformed();
    static void answer_not_found(response& res);
    void watch_for_close();
    void on_watch(beast::error_code ec, std::size_t n);
    void serialize_head(std::string_view status_line, std::string_view header_lines, std::uint64_t length);
    void answer_ready();
    void write_output();
    void on_head_written(beast::error_code ec);
    void send_file_chunk();
    void finish_write(beast::error_code ec);
    void next_request();
    void set_deadline(std::chrono::milliseconds after) { set_deadline_at(steady_clock::now() + after); }
    void set_deadline_at(steady_clock::time_point deadline);
    void clear_deadline() { m_deadline = steady_clock::time_point::max(); }
    void wait_for_deadline();

    unix_socket m_socket;
    asio::steady_timer m_timer;
    steady_clock::time_point m_deadline = steady_clock::time_point::max();
    bool m_timer_waiting = false;
    app::impl& m_server;
    session_list::iterator m_entry;
    phase m_phase = phase::awaiting_request;
    steady_clock::time_point m_standing_since = steady_clock::now();
    steady_clock::time_point m_body_ends = steady_clock::time_point::max();
    beast::flat_buffer m_buffer{MAX_INPUT_BYTES};
    std::optional<bhttp::request_parser<bhttp::buffer_body>> m_parser;
    std::unique_ptr<char[]> m_body_chunk;  // only while a body is read
    std::string m_output;                  // the answer's head, and its body unless it is a file
    std::unique_ptr<file_stream> m_file;
    response_ptr m_response;
    bool m_head_request = false;
    bool m_keep_alive = true;
    // The request asked for "100 Continue" before its body.
    bool m_continue_expected = false;
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
    begin_request();
}

session::standing session::standing_of(phase p) {
    switch (p) {
    case phase::awaiting_request:
    case phase::reading_head: return standing::waiting;
    case phase::continue_then_answer:
    case phase::reading_body:
    case phase::answering_mid_body:
    case phase::answering:
    case phase::answering_and_watching:
    case phase::ending_watch: return standing::transferring;
    case phase::handing_over:
    case phase::sending_continue:
    case phase::awaiting_answer:
    case phase::read_ahead_full:
    case phase::closed: return standing::handled;
    }
    return standing::handled;
}

// The phases of one answer's write; they share its deadline.
bool session::is_writing(phase p) {
    return p == phase::answering || p == phase::answering_mid_body || p == phase::answering_and_watching;
}

void session::enter(phase next) {
    const phase previous = std::exchange(m_phase, next);
    if (standing_of(previous) != standing_of(next)) m_standing_since = steady_clock::now();
    if (!is_writing(previous) || !is_writing(next)) arm_deadline();
}

// The deadline of the phase the connection is in, from now: entering a phase arms it, and so does
// each read of a body and each chunk of an answer written. While a handler is at work its own pace
// is its business.
void session::arm_deadline() {
    const auto& limits = m_server.limits_;
    switch (m_phase) {
    case phase::awaiting_request:
    case phase::answering:
    case phase::answering_mid_body:
    case phase::answering_and_watching: return set_deadline(limits.idle_timeout);
    case phase::reading_head: return set_deadline(limits.head_deadline);
    // Each read of a body may stall for the idle time, and the body as a whole has its own deadline.
    case phase::reading_body: return set_deadline_at(std::min(steady_clock::now() + limits.idle_timeout, m_body_ends));
    default: return clear_deadline();
    }
}

// The connection closes at its deadline. Most requests only move the deadline later: the timer in
// flight then finds it not yet reached and waits again, so a request costs no timer operation of
// its own.
void session::set_deadline_at(steady_clock::time_point deadline) {
    m_deadline = deadline;
    if (!m_timer_waiting || m_timer.expiry() > m_deadline) wait_for_deadline();
}

void session::wait_for_deadline() {
    m_timer.expires_at(m_deadline);  // cancels a wait in flight, which then leaves all as it is
    m_timer_waiting = true;
    m_timer.async_wait([weak = weak_from_this()](beast::error_code ec) {
        const auto self = weak.lock();
        if (ec == asio::error::operation_aborted || !self || self->m_phase == phase::closed) return;
        self->m_timer_waiting = false;
        if (self->m_deadline == steady_clock::time_point::max()) return;
        if (self->m_deadline > steady_clock::now()) return self->wait_for_deadline();
        self->close();
    });
}

void session::begin_request() {
    m_parser.emplace();
    m_parser->header_limit(MAX_HEAD_BYTES);
    // Oversized bodies are refused by the handlers and then drained. (No boost::none here: Beast
    // 1.74 compares the length against an empty limit as if it were exceeded.)
    m_parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    enter(phase::awaiting_request);
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
        if (m_phase == phase::awaiting_request) enter(phase::reading_head);
    }
    m_socket.async_read_some(m_buffer.prepare(READ_BYTES), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        if (self->m_phase == phase::closed) return;
        if (ec) return self->close();  // gone, also in the middle of a head
        self->m_buffer.commit(n);
        self->read_header_some();
    });
}

void session::on_header() {
    enter(phase::handing_over);
    m_body_ends = steady_clock::now() + m_server.limits_.body_deadline;
    const auto& head = m_parser->get();
    m_keep_alive = head.keep_alive();
    m_head_request = head.method() == bhttp::verb::head;
    m_continue_expected = !m_parser->is_done() && head.version() >= 11 &&
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
    } else if (m_continue_expected && res->ended()) {
        // Refused before the client sent its body: it may send it or not, so the connection ends
        // with this answer (which said so) and the body is never read.
    } else if (m_continue_expected) {
        send_continue();
    } else {
        read_body();
    }
}

// A final answer given meanwhile waits for the interim one and goes out after it.
void session::send_continue() {
    enter(phase::sending_continue);
    asio::async_write(m_socket, asio::buffer(CONTINUE_ANSWER.data(), CONTINUE_ANSWER.size()),
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                          if (self->m_phase == phase::closed) return;
                          if (ec) return self->close();
                          if (self->m_phase == phase::continue_then_answer) {
                              self->enter(phase::answering_mid_body);
                              self->write_output();
                          }
                          self->read_body();
                      });
}

// Alongside an answer being written the write's deadline stands; otherwise each read arms the
// body's.
void session::read_body() {
    enter(is_writing(m_phase) ? phase::answering_mid_body : phase::reading_body);
    if (!m_body_chunk) m_body_chunk = std::make_unique<char[]>(BODY_CHUNK_BYTES);
    auto& body = m_parser->get().body();
    body.data = m_body_chunk.get();
    body.size = BODY_CHUNK_BYTES;
    bhttp::async_read_some(m_socket, m_buffer, *m_parser,
                           [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_body(ec); });
}

void session::on_body(beast::error_code ec) {
    // A read that completed just before the connection closed has no request left to feed.
    if (m_phase == phase::closed) return;
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
    if (m_phase == phase::closed) return;
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
    serialize_head(status_text(status::bad_request), "Content-Type: text/plain\r\n", BAD_REQUEST_BODY.size());
    m_output.append(BAD_REQUEST_BODY);
    enter(phase::answering);  // nothing more of the request is read
    write_output();
}

// The page for a method and path no handler serves; its reason text is not the standard one.
void session::answer_not_found(response& res) {
    res.m_status_line = NOT_FOUND_STATUS_LINE;
    res.write_header("Content-Type", "text/html; charset=utf-8");
    res.end(NOT_FOUND_BODY);
}

void session::body_done() {
    m_body_chunk.reset();
    if (m_phase == phase::answering_mid_body) return enter(phase::answering);
    if (m_phase == phase::answering) return;
    if (m_response && m_response->ended()) return next_request();  // answered and written already
    enter(phase::awaiting_answer);
    watch_for_close();
}

// While an answer is pending the only read is this one: it notices a client that hangs up and
// keeps what a pipelining client sends for the next requests, up to a bound; past that it waits
// for the answer to be written, and the client's further bytes wait in the socket.
void session::watch_for_close() {
    if (m_buffer.size() >= MAX_READ_AHEAD_BYTES) return enter(phase::read_ahead_full);
    m_socket.async_read_some(m_buffer.prepare(READ_BYTES), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->on_watch(ec, n);
    });
}

void session::on_watch(beast::error_code ec, std::size_t n) {
    if (m_phase == phase::closed) return;
    if (ec == asio::error::operation_aborted) return next_request();  // called off in ending_watch
    if (ec) return close();
    m_buffer.commit(n);
    switch (m_phase) {
    case phase::awaiting_answer: return watch_for_close();
    case phase::answering_and_watching: return enter(phase::answering);
    default: return next_request();  // ending_watch: it came back with bytes before the call-off
    }
}

// The status line, the handler's headers, the length and, when the connection ends here,
// "Connection: close". The answer to HEAD says the length its GET would have and has no body.
void session::serialize_head(std::string_view status_line, std::string_view header_lines, std::uint64_t length) {
    if (m_phase == phase::handing_over && m_continue_expected) m_keep_alive = false;
    m_output.clear();
    m_output.append("HTTP/1.1 ").append(status_line).append("\r\n");
    m_output.append(header_lines);
    m_output.append("Content-Length: ").append(std::to_string(length)).append("\r\n");
    if (!m_keep_alive) m_output.append("Connection: close\r\n");
    m_output.append("\r\n");
}

void session::write_answer(std::string_view status_line, std::string_view header_lines, std::string_view body) {
    if (m_phase == phase::closed) return;
    serialize_head(status_line, header_lines, body.size());
    if (!m_head_request) m_output.append(body);
    answer_ready();
}

void session::write_file_answer(std::string_view status_line, std::string_view header_lines, int fd,
                                std::uint64_t length) {
    if (m_phase == phase::closed) {
        ::close(fd);
        return;
    }
    serialize_head(status_line, header_lines, length);
    if (m_head_request || length == 0)
        ::close(fd);
    else
        m_file = std::make_unique<file_stream>(fd, length);
    answer_ready();
}

// The handler's answer, serialized, goes out alongside whatever the connection reads meanwhile.
void session::answer_ready() {
    switch (m_phase) {
    case phase::sending_continue: return enter(phase::continue_then_answer);  // goes out after it
    case phase::reading_body: enter(phase::answering_mid_body); break;
    case phase::awaiting_answer: enter(phase::answering_and_watching); break;
    default: enter(phase::answering); break;
    }
    write_output();
}

void session::write_output() {
    asio::async_write(m_socket, asio::buffer(m_output), [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->on_head_written(ec);
    });
}

void session::on_head_written(beast::error_code ec) {
    if (m_phase == phase::closed) return;
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
    arm_deadline();
    asio::async_write(m_socket, asio::buffer(m_file->chunk.get(), static_cast<std::size_t>(got)),
                      [self = shared_from_this()](beast::error_code ec, std::size_t written) {
                          if (self->m_phase == phase::closed) return;
                          if (ec) return self->finish_write(ec);
                          self->m_file->offset += written;
                          self->m_file->remaining -= written;
                          self->send_file_chunk();
                      });
}

void session::finish_write(beast::error_code ec) {
    m_file.reset();
    if (m_output.capacity() > KEPT_OUTPUT_BYTES) m_output = std::string();
    if (ec || !m_keep_alive) return close();
    switch (m_phase) {
    case phase::answering_mid_body: return enter(phase::reading_body);  // the rest is read and dropped
    case phase::answering_and_watching: {
        enter(phase::ending_watch);
        beast::error_code ignored;
        m_socket.cancel(ignored);  // the watch completes with operation_aborted and moves on
        return;
    }
    default: return next_request();
    }
}

void session::next_request() {
    if (auto res = std::exchange(m_response, nullptr)) res->release_handlers();
    if (m_buffer.capacity() > KEPT_INPUT_BYTES && m_buffer.size() <= KEPT_INPUT_BYTES) m_buffer.shrink_to_fit();
    begin_request();
}

void session::close() {
    if (m_phase == phase::closed) return;
    enter(phase::closed);
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
