#include <utility>  // before Asio: Boost 1.74 under C++20 needs it

#include "http_server.hpp"

#include "text_utils.hpp"

#include <algorithm>
#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <limits>
#include <map>
#include <optional>
#include <spdlog/spdlog.h>

namespace http_server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using unix_socket = asio::local::stream_protocol::socket;

namespace {

// Bytes kept from a client that sends more while its answer is pending (pipelining); past this
// the connection is no longer watched for a close until the answer is written.
constexpr std::size_t MAX_PIPELINED_BYTES = 64 * 1024;
constexpr std::size_t BODY_CHUNK_BYTES = 16 * 1024;
// A connection keeps its answer buffer for the next answers up to this size; a larger one (a log
// download) is given back as soon as it is written.
constexpr std::size_t KEPT_OUTPUT_BYTES = 8 * 1024;
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(100);

const char NOT_FOUND_BODY[] =
    "<html><body><h1>File Not Found</h1><hr><i>ovra_vpn</i></body></html>";

// "200 OK" -> 200 and "OK"; without a reason the standard one ("404" -> 404 and "Not Found").
// A status text without a number is a programming error.
std::pair<unsigned, std::string_view> split_status(std::string_view status) {
    unsigned code = 0;
    std::size_t i = 0;
    for (; i < status.size() && status[i] >= '0' && status[i] <= '9'; ++i)
        code = code * 10 + static_cast<unsigned>(status[i] - '0');
    if (i < status.size() && status[i] == ' ') ++i;
    if (code == 0) code = 500;
    std::string_view reason = status.substr(i);
    if (reason.empty()) {
        const auto standard = bhttp::obsolete_reason(static_cast<bhttp::status>(code));
        reason = std::string_view(standard.data(), standard.size());
    }
    return {code, reason};
}

// An error in the request's own bytes, as opposed to a client that hung up or a failed socket.
bool is_malformed(const beast::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
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

struct app::impl : event_loop {
    asio::io_context io;
    std::optional<asio::local::stream_protocol::acceptor> acceptor;
    asio::steady_timer accept_pause{io};
    bool accept_failing = false;
    // By method, then by path; both looked up by view, without a copy of the request's text.
    std::map<std::string, std::map<std::string, handler, std::less<>>, std::less<>> routes;

    void defer(std::function<void()> task) override { asio::post(io, std::move(task)); }
    void accept_next();
    void dispatch(const response_ptr& res, const request& req) const;
};

// One client connection: read a request's header, hand it to its route, feed the body to the
// route's data handler, write the answer, then the next request. Requests on one connection are
// answered strictly in order; bytes of a pipelined request wait in the buffer meanwhile.
class session : public std::enable_shared_from_this<session> {
public:
    session(unix_socket socket, const app::impl& server) : m_socket(std::move(socket)), m_server(server) {}

    void start() { read_header(); }
    void write_answer(std::string_view status, std::string_view header_lines, std::string_view body);

private:
    void read_header();
    void on_header(beast::error_code ec);
    void read_body();
    void on_body(beast::error_code ec);
    void body_done();
    void reject_malformed();
    void watch_for_close();
    void on_write(beast::error_code ec, bool keep_alive);
    void next_request();
    void fail();

    unix_socket m_socket;
    const app::impl& m_server;
    beast::flat_buffer m_buffer;
    std::optional<bhttp::request_parser<bhttp::buffer_body>> m_parser;
    std::array<char, BODY_CHUNK_BYTES> m_chunk{};
    std::string m_output;  // the answer being written
    response_ptr m_response;
    bool m_keep_alive = true;
    bool m_body_done = false;
    bool m_writing = false;
    bool m_watching = false;
    bool m_closed = false;
};

response::response(std::weak_ptr<session> owner) : m_owner(std::move(owner)) {}

response& response::write_status(std::string_view status) {
    m_status = status;
    return *this;
}

response& response::write_header(std::string_view name, std::string_view value) {
    m_header_lines.append(name).append(": ").append(value).append("\r\n");
    return *this;
}

void response::end(std::string_view body) {
    if (m_ended) return;
    m_ended = true;
    if (const auto owner = m_owner.lock()) owner->write_answer(m_status, m_header_lines, body);
}

void response::deliver_data(std::string_view chunk, bool last) {
    if (!last) {
        if (m_on_data) m_on_data(chunk, last);
        return;
    }
    // Handlers often hold their own response: letting go of them here breaks that cycle.
    if (auto handler = std::exchange(m_on_data, nullptr)) handler(chunk, last);
}

void response::release_handlers() {
    m_on_data = nullptr;
    m_on_aborted = nullptr;
}

void response::abort() {
    m_owner.reset();
    auto handler = std::exchange(m_on_aborted, nullptr);
    release_handlers();
    if (handler) handler();
}

void session::read_header() {
    m_parser.emplace();
    // Oversized bodies are refused by the handlers and then drained. (No boost::none here: Beast
    // 1.74 compares the length against an empty limit as if it were exceeded.)
    m_parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    m_body_done = false;
    bhttp::async_read_header(m_socket, m_buffer, *m_parser,
                             [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_header(ec); });
}

void session::on_header(beast::error_code ec) {
    if (ec) {
        if (is_malformed(ec))
            reject_malformed();
        else
            fail();
        return;
    }
    const auto& head = m_parser->get();
    m_keep_alive = head.keep_alive();
    const request req(std::string(head.method_string()), std::string(head.target()));
    m_response = std::make_shared<response>(weak_from_this());
    const response_ptr res = m_response;
    m_server.dispatch(res, req);
    if (!res->ended() && !res->has_abort_handler()) {
        spdlog::error("Handler for {} {} returned without answering or watching for an abort",
                      req.method(), req.path());
        fail();
        return;
    }
    if (m_parser->is_done()) {
        res->deliver_data({}, true);
        body_done();
    } else {
        read_body();
    }
}

void session::read_body() {
    auto& body = m_parser->get().body();
    body.data = m_chunk.data();
    body.size = m_chunk.size();
    bhttp::async_read_some(m_socket, m_buffer, *m_parser,
                           [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_body(ec); });
}

void session::on_body(beast::error_code ec) {
    // A read that completed just before the connection closed has no request left to feed.
    if (m_closed) return;
    if (ec == bhttp::error::need_buffer) ec = {};
    if (ec) {
        if (is_malformed(ec) && !m_response->ended())
            reject_malformed();
        else
            fail();
        return;
    }
    const std::size_t length = m_chunk.size() - m_parser->get().body().size;
    const bool last = m_parser->is_done();
    const response_ptr res = m_response;
    if (length > 0 || last) res->deliver_data(std::string_view(m_chunk.data(), length), last);
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
    m_body_done = true;
    write_answer("400 Bad Request", "Content-Type: text/plain\r\n", "Bad Request");
}

void session::body_done() {
    m_body_done = true;
    if (m_response && m_response->ended()) {
        if (!m_writing) next_request();
        return;
    }
    watch_for_close();
}

// While an answer is pending the only read is this one: it notices a client that hangs up and
// keeps whatever a pipelining client sends for the next request.
void session::watch_for_close() {
    if (m_buffer.size() >= MAX_PIPELINED_BYTES) return;
    m_watching = true;
    m_socket.async_read_some(m_buffer.prepare(4096), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->m_watching = false;
        if (self->m_closed) return;
        if (ec == asio::error::operation_aborted) {
            self->next_request();
            return;
        }
        if (ec) {
            self->fail();
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
// "Connection: close", then the body: serialised into one buffer and written in one go.
void session::write_answer(std::string_view status, std::string_view header_lines, std::string_view body) {
    if (m_closed) return;
    const auto [code, reason] = split_status(status);
    m_output.clear();
    m_output.append("HTTP/1.1 ").append(std::to_string(code)).append(" ").append(reason).append("\r\n");
    m_output.append(header_lines);
    m_output.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    if (!m_keep_alive) m_output.append("Connection: close\r\n");
    m_output.append("\r\n").append(body);
    m_writing = true;
    asio::async_write(m_socket, asio::buffer(m_output),
                      [self = shared_from_this(), keep_alive = m_keep_alive](beast::error_code ec, std::size_t) {
                          self->on_write(ec, keep_alive);
                      });
}

void session::on_write(beast::error_code ec, bool keep_alive) {
    m_writing = false;
    if (m_output.capacity() > KEPT_OUTPUT_BYTES) m_output = std::string();
    if (ec || !keep_alive) {
        fail();
        return;
    }
    if (!m_body_done) return;  // the rest of the body is still being read and dropped
    if (m_watching) {
        beast::error_code ignored;
        m_socket.cancel(ignored);  // the watch completes with operation_aborted and moves on
        return;
    }
    next_request();
}

void session::next_request() {
    if (auto res = std::exchange(m_response, nullptr)) res->release_handlers();
    read_header();
}

void session::fail() {
    if (m_closed) return;
    m_closed = true;
    beast::error_code ignored;
    m_socket.shutdown(unix_socket::shutdown_both, ignored);
    m_socket.close(ignored);
    if (auto res = std::exchange(m_response, nullptr)) {
        if (res->ended())
            res->release_handlers();
        else
            res->abort();
    }
}

// A failed accept (out of descriptors, above all) would fail again at once and spin the loop, so
// the next one waits a moment; the failure is logged once until an accept succeeds again.
void app::impl::accept_next() {
    acceptor->async_accept([this](beast::error_code ec, unix_socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
        if (!ec) {
            accept_failing = false;
            std::make_shared<session>(std::move(socket), *this)->start();
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

void app::impl::dispatch(const response_ptr& res, const request& req) const {
    if (const auto method = routes.find(req.method()); method != routes.end()) {
        if (const auto route = method->second.find(req.path()); route != method->second.end()) {
            route->second(res, req);
            return;
        }
    }
    res->write_status("404 File Not Found").write_header("Content-Type", "text/html; charset=utf-8");
    res->end(NOT_FOUND_BODY);
}

app::app() : m_impl(std::make_unique<impl>()) {}
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
