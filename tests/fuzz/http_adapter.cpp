// Raw client bytes through the HTTP adapter on a Unix socket, one fresh server per input. The
// client writes the input, ends its side, and reads until the server closes. Properties: the
// exchange ends promptly, no request a route saw is left unanswered with its handlers still
// attached, and the bytes on the wire are complete HTTP/1.1 answers (bodiless for HEAD), no more
// of them than the input holds requests besides interim "100 Continue" ones, and none after one
// that closes.
// SIGPIPE keeps its default action, as in the daemon: a write to a gone client must not raise it.

#include <utility>  // before Asio: Boost 1.74 under C++20 needs it

#include "api_helpers.hpp"
#include "fuzz_support.hpp"
#include "http_server.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace bhttp = boost::beast::http;

namespace {

using fuzz_support::require;
using response_ptr = http_server::response_ptr;

constexpr auto EXCHANGE_LIMIT = std::chrono::seconds(2);
const std::string PREFIX = "/local/ovra_vpn/api/vpn";

const fuzz_support::scratch_dir& scratch() {
    static const fuzz_support::scratch_dir dir;
    return dir;
}

// Every response a route was handed.
using route_log = std::vector<response_ptr>;

void answer_json(const response_ptr& res, const nlohmann::json& body) {
    api_helpers::write_json(res, api_helpers::dump_json(body), http_server::status::ok, true);
}

// The four ways the daemon's routes answer: at once, after a form body, on a later loop step,
// and not before the client goes away.
void add_routes(http_server::app& server, route_log& log) {
    server.get(PREFIX + "/status", [&log](const response_ptr& res, const http_server::request& req) {
        log.push_back(res);
        answer_json(res, {{"name", req.query_value("name")}});
    });
    server.post(PREFIX + "/config", [&log](const response_ptr& res, const http_server::request&) {
        log.push_back(res);
        api_helpers::read_form(res, [res](api_helpers::form fields) { answer_json(res, fields); });
    });
    server.post(PREFIX + "/up", [&log, &server](const response_ptr& res, const http_server::request&) {
        log.push_back(res);
        api_helpers::read_form(res, [res, &server](api_helpers::form fields) {
            server.loop().defer([res, fields = std::move(fields)] { answer_json(res, fields); });
        });
    });
    server.get(PREFIX + "/logs/tail", [&log](const response_ptr& res, const http_server::request&) {
        log.push_back(res);
        api_helpers::make_abort_guard(res);
    });
}

int connect_client(const fs::path& socket_path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    require(fd >= 0, "a client socket can be made");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    require(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
            "the client connects to the listening socket");
    return fd;
}

// The client's side, run as repeated steps of the server's own loop so that one thread drives
// both ends in a fixed order.
class client {
public:
    client(int fd, std::string_view request) : m_fd(fd), m_unsent(request) {}
    ~client() { ::close(m_fd); }
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    void step(http_server::app& server) {
        send_some();
        if (receive_until_closed()) return server.stop();
        require(std::chrono::steady_clock::now() < m_deadline, "the exchange ends within the time limit");
        server.loop().defer([this, &server] { step(server); });
    }

    const std::string& received() const { return m_received; }

private:
    void send_some() {
        if (m_write_shut) return;
        const ssize_t sent = ::send(m_fd, m_unsent.data(), m_unsent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) m_unsent.remove_prefix(static_cast<std::size_t>(sent));
        // A server that closed early refuses the rest; it still has to be read to the end.
        if (m_unsent.empty() || (sent < 0 && errno != EAGAIN)) {
            ::shutdown(m_fd, SHUT_WR);
            m_write_shut = true;
        }
    }

    bool receive_until_closed() {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                m_received.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            return got == 0 || errno == ECONNRESET;
        }
    }

    int m_fd;
    std::string_view m_unsent;
    std::string m_received;
    bool m_write_shut = false;
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::now() + EXCHANGE_LIMIT;
};

// An abort releases the handlers; handlers still attached to an unanswered request after the
// connection is gone would wait for ever and keep the response alive.
void check_routes(const route_log& log) {
    for (const response_ptr& res : log)
        require(res->ended() || !res->has_abort_handler(), "no unanswered request keeps its handlers");
}

// The requests in the client's bytes, read with the server's own parser and body limit: each
// complete one may get an answer, and so may a trailing partial or malformed one (a 400, or the
// answer of a route that had its header already). Bodies go to a buffer as large as the input,
// not to one sized by a Content-Length that may claim anything. For each, whether it is a HEAD,
// whose answer has no body.
std::vector<bool> requests_in(std::string_view input) {
    std::string body_space(input.size(), '\0');
    std::vector<bool> heads;
    while (!input.empty()) {
        bhttp::request_parser<bhttp::buffer_body> parser;
        parser.eager(true);
        parser.body_limit(std::numeric_limits<std::uint64_t>::max());
        parser.get().body().data = body_space.data();
        parser.get().body().size = body_space.size();
        boost::beast::error_code ec;
        const std::size_t used = parser.put(boost::asio::buffer(input.data(), input.size()), ec);
        heads.push_back(parser.is_header_done() && parser.get().method() == bhttp::verb::head);
        if (ec || !parser.is_done()) break;
        input.remove_prefix(used);
    }
    return heads;
}

struct answer {
    std::size_t length;  // on the wire
    unsigned status;
    bool keep_alive;
};

answer next_answer(std::string_view wire, bool without_body) {
    bhttp::response_parser<bhttp::string_body> parser;
    parser.eager(true);
    parser.skip(without_body);
    boost::beast::error_code ec;
    const std::size_t used = parser.put(boost::asio::buffer(wire.data(), wire.size()), ec);
    require(!ec && parser.is_done(), "the server writes complete HTTP/1.1 answers");
    require(parser.get().version() == 11, "answers are HTTP/1.1");
    return {used, parser.get().result_int(), parser.get().keep_alive()};
}

// "100 Continue" is an interim answer: the request's own answer follows it.
void check_wire(std::string_view wire, const std::vector<bool>& heads) {
    std::size_t answers = 0;
    while (!wire.empty()) {
        const bool head = answers < heads.size() && heads[answers];
        answer next = next_answer(wire, head);
        // The 400 for malformed bytes carries its body whatever the request's method.
        if (head && next.status == 400) next = next_answer(wire, false);
        wire.remove_prefix(next.length);
        if (next.status == 100) continue;
        require(++answers <= heads.size(), "no request gets a second answer");
        require(next.keep_alive || wire.empty(), "nothing follows an answer that closes the connection");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::discard_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path socket_path = scratch().path() / "api.sock";
    fs::remove(socket_path);
    route_log log;
    std::string wire;
    {
        http_server::app server;
        add_routes(server, log);
        bool listening = false;
        server.listen(socket_path.string(), [&listening](http_server::listen_socket* socket) {
            listening = socket != nullptr;
        });
        require(listening, "the server listens on its socket");
        client peer(connect_client(socket_path), fuzz_support::as_text(data, size));
        server.loop().defer([&peer, &server] { peer.step(server); });
        server.run();
        wire = peer.received();
    }
    check_routes(log);
    check_wire(wire, requests_in(fuzz_support::as_text(data, size)));
    return 0;
}
