// The HTTP adapter on a socket of its own: routing, bodies, keep-alive, pipelining, aborts,
// HEAD and 100-continue, files sent as bodies, and the limits on connections.

#include "api_helpers.hpp"
#include "file_utils.hpp"
#include "harness.hpp"
#include "http_server.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using api_helpers::accumulate_body;
using http_status = http_server::status;
using test_support::http_client;
using test_support::pattern_of;
using namespace std::chrono_literals;

namespace {

int connect_to(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether a client could connect to the socket at `path` now.
bool accepts_connections(const std::string& path) {
    const int fd = connect_to(path);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

// A client that reads raw bytes at its own pace, to watch an answer arrive part by part.
class raw_client {
public:
    explicit raw_client(const std::string& path) : m_fd(connect_to(path)) {}
    ~raw_client() { ::close(m_fd); }
    raw_client(const raw_client&) = delete;
    raw_client& operator=(const raw_client&) = delete;

    // False once the server has closed the connection.
    bool send(std::string_view bytes) { return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()); }

    // Reads until `count` bytes have come or the server closed the connection.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout = 20s) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char chunk[65536];
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) continue;
            const ssize_t n = ::recv(m_fd, chunk, std::min(sizeof chunk, count - got.size()), 0);
            if (n <= 0) {
                m_closed = true;
                break;
            }
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

    // The head of an answer, through its blank line.
    std::string receive_head() {
        std::string head;
        while (!head.ends_with("\r\n\r\n") && !m_closed) head += receive(1);
        return head;
    }

    bool closed() const { return m_closed; }

private:
    int m_fd;
    bool m_closed = false;
};

class http_server_test : public ::testing::Test {
protected:
    explicit http_server_test(http_server::limits limits = {}) : m_app(limits) {}

    void SetUp() override {
        char pattern[] = "/tmp/ovra-http-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_socket = (m_dir / "api.sock").string();
        m_file = m_dir / "served";

        m_app.get("/echo", [](const auto& res, const auto& req) {
            res->write_status(http_status::ok).write_header("X-First", "1").write_header("X-Second", "2");
            res->end(req.query_value("q"));
        });
        m_app.post("/body", [this](const auto& res, const auto&) {
            auto body = std::make_shared<std::string>();
            auto rejected = std::make_shared<bool>(false);
            res->on_aborted([this] { ++m_aborts; });
            res->on_data([res, body, rejected](std::string_view chunk, bool last) {
                if (accumulate_body(*body, chunk, *rejected, res) && last) res->end(std::to_string(body->size()));
            });
        });
        // Answers from another thread through the loop, as command completions do.
        m_app.post("/later", [this](const auto& res, const auto&) {
            res->on_aborted([this] { ++m_aborts; });
            ++m_later_started;
            std::thread([this, res] {
                std::this_thread::sleep_for(std::chrono::milliseconds(m_delay_ms));
                m_app.loop().defer([this, res] {
                    res->end("later");
                    ++m_later_answered;
                });
            }).detach();
        });
        // Answers on the loop's next turn, while the server may still be busy with the request.
        m_app.post("/soon", [this](const auto& res, const auto&) {
            res->on_aborted([this] { ++m_aborts; });
            m_app.loop().defer([res] { res->end("soon"); });
        });
        m_app.get("/silent", [](const auto&, const auto&) {});
        m_app.get("/status", [](const auto& res, const auto& req) {
            res->write_status(static_cast<http_status>(std::stoul(req.query_value("code")))).end("");
        });
        // The test's file, or with ?pipe=1 something that is not a file.
        m_app.get("/file", [this](const auto& res, const auto& req) {
            int fd = -1;
            if (req.query_value("pipe") == "1") {
                int ends[2];
                ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
                ::close(ends[1]);
                fd = ends[0];
            } else {
                fd = ::open(m_file.c_str(), O_RDONLY | O_CLOEXEC);
            }
            res->write_status(http_status::ok).write_header("X-Kind", "file");
            if (!res->end_with_file(fd)) res->write_status(http_status::internal_server_error).end("not a file");
        });
        bool listening = false;
        m_app.listen(
            m_socket, [&](http_server::listen_socket* s) { listening = s != nullptr; },
            [this] { m_connectable_when_bound = accepts_connections(m_socket); });
        ASSERT_TRUE(listening);
        m_loop_thread = std::thread([this] { m_app.run(); });
    }

    void TearDown() override {
        m_app.loop().defer([this] { m_app.stop(); });
        m_loop_thread.join();
        std::filesystem::remove_all(m_dir);
    }

    std::filesystem::path m_dir;
    std::string m_socket;
    std::filesystem::path m_file;
    http_server::app m_app;
    std::thread m_loop_thread;
    std::atomic<int> m_aborts{0};
    std::atomic<int> m_later_started{0};
    std::atomic<int> m_later_answered{0};
    int m_delay_ms = 50;
    bool m_connectable_when_bound = true;
};

// What on_bound sets up (the socket file's mode) is in place before the first client arrives.
TEST_F(http_server_test, on_bound_runs_before_any_client_can_connect) {
    EXPECT_FALSE(m_connectable_when_bound);
    EXPECT_TRUE(accepts_connections(m_socket));
}

TEST_F(http_server_test, routes_by_method_and_exact_path_with_a_404_page_for_the_rest) {
    http_client client(m_socket);
    const auto ok = client.get("/echo?q=a%20b%2B+c&x=1");
    EXPECT_EQ(ok.status_line, "200 OK");
    EXPECT_EQ(ok.body, "a b++c");  // query values: percent escapes only
    ASSERT_GE(ok.headers.size(), 2u);
    EXPECT_EQ(ok.headers[0].first, "X-First");
    EXPECT_EQ(ok.headers[1].first, "X-Second");

    for (const auto& [method, path] : {std::pair{"POST", "/echo"}, {"GET", "/body"}, {"GET", "/echo/"}, {"GET", "/nope"}}) {
        const auto missing = client.request(method, path, "");
        EXPECT_EQ(missing.status_line, "404 File Not Found") << method << " " << path;
        EXPECT_NE(missing.body.find("File Not Found"), std::string::npos);
    }
}

// Each status a handler can give has its usual line on the wire; a value outside the set is an
// internal failure rather than a malformed line.
TEST_F(http_server_test, statuses_answer_with_their_standard_lines) {
    http_client client(m_socket);
    for (const auto& [code, line] : {std::pair{200, "200 OK"},
                                     {400, "400 Bad Request"},
                                     {404, "404 Not Found"},
                                     {413, "413 Payload Too Large"},
                                     {500, "500 Internal Server Error"},
                                     {503, "503 Service Unavailable"},
                                     {418, "500 Internal Server Error"}}) {
        const auto reply = client.get("/status?code=" + std::to_string(code));
        EXPECT_EQ(reply.status_line, line) << code;
        EXPECT_EQ(reply.body, "") << code;
    }
}

TEST_F(http_server_test, body_limit_is_exact_and_the_connection_survives_a_413) {
    http_client client(m_socket);
    const std::string head = "POST /body HTTP/1.1\r\nHost: x\r\nContent-Length: ";
    // 8192 bytes in several writes.
    client.send_raw(head + "8192\r\n\r\n");
    for (int i = 0; i < 8; ++i) {
        client.send_raw(std::string(1024, 'a'));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(client.read_reply().body, "8192");

    client.send_raw(head + "8193\r\n\r\n" + std::string(4000, 'b'));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    client.send_raw(std::string(4193, 'b'));
    const auto refused = client.read_reply();
    EXPECT_EQ(refused.status_line, "413 Payload Too Large");
    EXPECT_EQ(refused.body, R"({"error":"Payload too large"})");
    EXPECT_EQ(refused.header("Cache-Control"), "no-store");
    EXPECT_EQ(refused.header("Content-Type"), "application/json");

    // One answer only, and the same connection serves the next request.
    EXPECT_EQ(client.get("/echo?q=next").body, "next");
}

TEST_F(http_server_test, chunked_and_empty_bodies_reach_the_data_handler) {
    http_client client(m_socket);
    client.send_raw("POST /body HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
    EXPECT_EQ(client.read_reply().body, "11");
    EXPECT_EQ(client.post("/body", "").body, "0");
}

TEST_F(http_server_test, pipelined_requests_are_answered_in_order) {
    http_client client(m_socket);
    client.send_raw("POST /later HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"
                    "GET /echo?q=second HTTP/1.1\r\nHost: x\r\n\r\n"
                    "GET /echo?q=third HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(client.read_reply().body, "later");
    EXPECT_EQ(client.read_reply().body, "second");
    EXPECT_EQ(client.read_reply().body, "third");
}

TEST_F(http_server_test, a_client_that_leaves_before_the_answer_is_an_abort_and_nothing_breaks) {
    m_delay_ms = 300;
    {
        http_client client(m_socket);
        client.send_raw("POST /later HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
        ASSERT_TRUE(test_support::wait_for([&] { return m_later_started == 1; }));
    }
    EXPECT_TRUE(test_support::wait_for([&] { return m_aborts == 1; }));
    // The late answer finds no client.
    ASSERT_TRUE(test_support::wait_for([&] { return m_later_answered == 1; }));
    http_client again(m_socket);
    EXPECT_EQ(again.get("/echo?q=alive").body, "alive");
    EXPECT_EQ(m_aborts, 1);
}

TEST_F(http_server_test, malformed_requests_and_silent_handlers_close_the_connection) {
    http_client garbage(m_socket);
    garbage.send_raw("NOT HTTP AT ALL\r\n\r\n");
    EXPECT_EQ(garbage.read_reply().status, 400);
    EXPECT_TRUE(garbage.closed_by_peer(std::chrono::seconds(2)));

    http_client silent(m_socket);
    silent.send_raw("GET /silent HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(silent.closed_by_peer(std::chrono::seconds(2)));

    http_client healthy(m_socket);
    EXPECT_EQ(healthy.get("/echo?q=ok").body, "ok");
}

// A chunk line or a trailer that never ends is refused once the input buffer is full, instead of
// growing it.
TEST_F(http_server_test, an_endless_chunk_extension_or_trailer_is_refused_and_the_connection_closed) {
    const std::string head = "POST /body HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const std::string& endless : {head + "5;ext=", head + "5\r\nhello\r\n0\r\nX-Trailer: "}) {
        raw_client client(m_socket);
        ASSERT_TRUE(client.send(endless + std::string(40 * 1024, 'x')));
        EXPECT_TRUE(client.receive_head().starts_with("HTTP/1.1 400 Bad Request")) << endless;
        client.receive(1 << 20, 5s);
        EXPECT_TRUE(client.closed()) << endless;
    }
    EXPECT_EQ(m_aborts, 2);  // the handler that took each request is cut off
}

// More than the server reads ahead, pipelined behind an answer that takes a while: it stops
// reading, keeps the connection, and answers every request in order.
TEST_F(http_server_test, a_pipelined_flood_behind_a_pending_answer_is_answered_in_order) {
    constexpr int FLOOD = 5000;  // about 200 KiB of requests
    m_delay_ms = 300;
    http_client client(m_socket);
    client.send_raw("");
    std::thread sender([&] {
        std::string flood = "POST /later HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n";
        for (int i = 0; i < FLOOD; ++i) flood += "GET /echo?q=" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n";
        try {
            client.send_raw(flood);
        } catch (const std::runtime_error&) {
            ADD_FAILURE() << "the connection was closed while the requests were sent";
        }
    });
    int in_order = 0;
    try {
        EXPECT_EQ(client.read_reply(20s).body, "later");
        while (in_order < FLOOD && client.read_reply(20s).body == std::to_string(in_order)) ++in_order;
    } catch (const std::runtime_error& e) {
        ADD_FAILURE() << e.what();
    }
    sender.join();
    EXPECT_EQ(in_order, FLOOD);
    EXPECT_EQ(m_aborts, 0);
}

// A HEAD answer says the length its GET would have and has no body, so the next answer on the
// connection is read right. "Expect: 100-continue" gets its interim answer before the body is
// sent; refused at once, the request's answer ends the connection instead, its body unread.
TEST_F(http_server_test, head_answers_have_no_body_and_100_continue_comes_before_the_body) {
    http_client client(m_socket);
    client.send_raw("HEAD /echo?q=abcdef HTTP/1.1\r\nHost: x\r\n\r\n"
                    "HEAD /nope HTTP/1.1\r\nHost: x\r\n\r\n"
                    "GET /echo?q=next HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto head = client.read_reply_head(5s);
    EXPECT_EQ(head.status_line, "200 OK");
    EXPECT_EQ(head.header("Content-Length"), "6");
    EXPECT_EQ(head.header("X-First"), "1");
    const auto missing = client.read_reply_head(5s);
    EXPECT_EQ(missing.status_line, "404 File Not Found");
    EXPECT_NE(missing.header("Content-Length"), "0");
    EXPECT_EQ(client.read_reply(5s).body, "next");

    client.send_raw("POST /body HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(client.read_reply_head(5s).status, 100);
    client.send_raw("hello");
    EXPECT_EQ(client.read_reply(5s).body, "5");

    // Answered while the interim answer goes out: the answer follows it, and the body sent after
    // both is dropped before the next request.
    client.send_raw("POST /soon HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(client.read_reply_head(5s).status, 100);
    EXPECT_EQ(client.read_reply(5s).body, "soon");
    client.send_raw("helloGET /echo?q=after HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(client.read_reply(5s).body, "after");

    client.send_raw("POST /nope HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    const auto refused = client.read_reply(5s);
    EXPECT_EQ(refused.status, 404);
    EXPECT_EQ(refused.header("Connection"), "close");
    EXPECT_TRUE(client.closed_by_peer(5s));
}

TEST_F(http_server_test, a_file_is_sent_whole_and_its_head_alone_and_what_is_no_file_is_refused_cleanly) {
    const std::string content = pattern_of(3 * 1024 * 1024 + 17);
    test_support::write_file(m_file, content);
    http_client client(m_socket);
    const auto whole = client.get("/file");
    EXPECT_EQ(whole.header("X-Kind"), "file");
    EXPECT_EQ(whole.header("Content-Length"), std::to_string(content.size()));
    EXPECT_TRUE(whole.body == content);

    client.send_raw("HEAD /file HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(client.read_reply_head(5s).header("Content-Length"), std::to_string(content.size()));
    test_support::write_file(m_file, "");
    const auto empty = client.get("/file");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "");

    const auto not_a_file = client.get("/file?pipe=1");
    EXPECT_EQ(not_a_file.status_line, "500 Internal Server Error");
    EXPECT_EQ(not_a_file.header("X-Kind"), "");  // what was set for the file is gone
    EXPECT_EQ(not_a_file.body, "not a file");
    EXPECT_EQ(client.get("/echo?q=after").body, "after");
}

// The length is the file's when the answer starts; a file that grows meanwhile is sent to that
// length and the connection goes on, one that shrinks ends the connection short of it.
TEST_F(http_server_test, a_file_that_changes_while_it_is_sent_still_gives_a_well_framed_answer) {
    const std::string content = pattern_of(4 * 1024 * 1024);
    test_support::write_file(m_file, content);
    const std::string request = "GET /file HTTP/1.1\r\nHost: x\r\n\r\n";
    {
        raw_client grown(m_socket);
        ASSERT_TRUE(grown.send(request));
        const std::string head = grown.receive_head();
        ASSERT_NE(head.find("Content-Length: " + std::to_string(content.size())), std::string::npos) << head;
        {
            const int fd = ::open(m_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            ASSERT_TRUE(file_utils::write_all(fd, std::string(1024 * 1024, 'Z')));
            ::close(fd);
        }
        EXPECT_TRUE(grown.receive(content.size()) == content);
        ASSERT_TRUE(grown.send("GET /echo?q=more HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_TRUE(grown.receive_head().starts_with("HTTP/1.1 200 OK"));
        EXPECT_EQ(grown.receive(4), "more");
    }
    test_support::write_file(m_file, content);
    raw_client shrunk(m_socket);
    ASSERT_TRUE(shrunk.send(request));
    shrunk.receive_head();
    std::filesystem::resize_file(m_file, 1000);
    const std::string body = shrunk.receive(content.size());
    EXPECT_LT(body.size(), content.size());
    EXPECT_TRUE(shrunk.closed());
    EXPECT_TRUE(content.starts_with(body));
}

http_server::limits short_timeouts() {
    http_server::limits limits;
    limits.idle_timeout = 3s;
    limits.head_deadline = 300ms;
    limits.body_deadline = 1s;
    return limits;
}

class http_server_timeouts : public http_server_test {
protected:
    http_server_timeouts() : http_server_test(short_timeouts()) {}
};

// Idle between requests, a head or a body trickled a byte at a time, a body that stalls: each is
// closed (a body's handler sees an abort). A handler that takes longer than the idle time is no
// idle connection.
TEST_F(http_server_timeouts, idle_trickling_and_stalled_connections_close_but_a_pending_answer_does_not) {
    http_client idle(m_socket);
    EXPECT_EQ(idle.get("/echo?q=1").body, "1");
    EXPECT_TRUE(idle.closed_by_peer(10s));

    raw_client trickling(m_socket);
    // Sent whole in about 2 s, within the idle time: only the head's own deadline cuts it off.
    const std::string head = "GET /echo?q=slow HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(50, 'p') + "\r\n\r\n";
    std::size_t sent = 0;
    while (sent < head.size() && trickling.send(head.substr(sent, 1))) {
        ++sent;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LT(sent, head.size());

    raw_client trickled_body(m_socket);
    ASSERT_TRUE(trickled_body.send("POST /body HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n"));
    for (sent = 0; sent < 100 && trickled_body.send("b"); ++sent) std::this_thread::sleep_for(50ms);
    EXPECT_LT(sent, 100u);
    EXPECT_TRUE(test_support::wait_for([&] { return m_aborts == 1; }, 5s));

    raw_client stalled(m_socket);
    ASSERT_TRUE(stalled.send("POST /body HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc"));
    stalled.receive(1, 10s);
    EXPECT_TRUE(stalled.closed());
    EXPECT_TRUE(test_support::wait_for([&] { return m_aborts == 2; }, 5s));

    m_delay_ms = 4000;
    http_client patient(m_socket);
    EXPECT_EQ(patient.post("/later").body, "later");
}

http_server::limits three_connections() {
    http_server::limits limits;
    limits.max_connections = 3;
    return limits;
}

class http_server_cap : public http_server_test {
protected:
    http_server_cap() : http_server_test(three_connections()) {}
};

TEST_F(http_server_cap, at_the_cap_the_longest_idle_connection_makes_room_and_busy_ones_are_kept) {
    std::vector<std::unique_ptr<http_client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<http_client>(m_socket));
        EXPECT_EQ(clients.back()->get("/echo?q=" + std::to_string(i)).body, std::to_string(i));
    }
    EXPECT_TRUE(clients[0]->closed_by_peer(5s));  // the oldest idle one
    for (std::size_t i = 1; i < 4; ++i) EXPECT_FALSE(clients[i]->closed_by_peer(50ms)) << i;

    // Every connection busy: a newcomer is turned away, and the busy ones get their answers.
    m_delay_ms = 500;
    for (std::size_t i = 1; i < 4; ++i) clients[i]->send_request("POST", "/later");
    ASSERT_TRUE(test_support::wait_for([&] { return m_later_started == 3; }, 5s));
    http_client newcomer(m_socket);
    newcomer.send_raw("");
    EXPECT_TRUE(newcomer.closed_by_peer(5s));
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(clients[i]->read_reply(10s).body, "later") << i;
    EXPECT_EQ(m_aborts, 0);
}

// Connections stuck in a transfer make room at the cap, the one that has been at it longest first:
// here a download its client does not read, then a body that stops coming.
TEST_F(http_server_cap, at_the_cap_a_connection_stuck_in_a_transfer_makes_room) {
    test_support::write_file(m_file, pattern_of(4 * 1024 * 1024));
    raw_client download(m_socket);
    ASSERT_TRUE(download.send("GET /file HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(download.receive_head().starts_with("HTTP/1.1 200"));
    std::vector<std::unique_ptr<raw_client>> bodies;
    for (int i = 0; i < 2; ++i) {
        bodies.push_back(std::make_unique<raw_client>(m_socket));
        ASSERT_TRUE(bodies.back()->send("POST /body HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nabc"));
    }
    std::this_thread::sleep_for(100ms);  // the bodies' first bytes are in

    http_client first(m_socket);
    EXPECT_EQ(first.get("/echo?q=in").body, "in");
    EXPECT_TRUE(download.receive(8 * 1024 * 1024, 5s).size() < 4 * 1024 * 1024);
    EXPECT_TRUE(download.closed());
    EXPECT_EQ(m_aborts, 0);

    first.send_raw("POST /body HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nabc");  // now stuck as well
    std::this_thread::sleep_for(100ms);
    http_client second(m_socket);
    EXPECT_EQ(second.get("/echo?q=in").body, "in");
    EXPECT_TRUE(test_support::wait_for([&] { return m_aborts == 1; }, 5s));
    bodies[0]->receive(1, 5s);
    EXPECT_TRUE(bodies[0]->closed());
    EXPECT_TRUE(bodies[1]->send("d"));
    EXPECT_FALSE(first.closed_by_peer(50ms));
}

// Sets the process's soft descriptor limit while it lives.
class scoped_descriptor_limit {
public:
    explicit scoped_descriptor_limit(rlim_t soft) {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        const rlimit lowered{soft, m_saved.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) throw std::runtime_error("setrlimit failed");
    }
    ~scoped_descriptor_limit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    scoped_descriptor_limit(const scoped_descriptor_limit&) = delete;
    scoped_descriptor_limit& operator=(const scoped_descriptor_limit&) = delete;

private:
    rlimit m_saved{};
};

// A low descriptor limit lowers the cap (the server keeps 64 descriptors for other work), and an
// accept that finds no descriptor left closes the longest-idle connection rather than leaving the
// client waiting.
TEST_F(http_server_test, the_descriptor_limit_lowers_the_cap_and_running_out_of_descriptors_makes_room) {
    const scoped_descriptor_limit limit(64 + 3);
    std::vector<std::unique_ptr<http_client>> idle;
    for (int i = 0; i < 2; ++i) {
        idle.push_back(std::make_unique<http_client>(m_socket));
        EXPECT_EQ(idle.back()->get("/echo?q=1").body, "1");
    }
    std::vector<int> taken;
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) taken.push_back(fd);
    ASSERT_EQ(errno, EMFILE);
    ::close(taken.back());  // one left, for the client's own end
    taken.pop_back();
    {
        http_client newcomer(m_socket);
        EXPECT_EQ(newcomer.get("/echo?q=in").body, "in");
        EXPECT_TRUE(idle[0]->closed_by_peer(5s));
    }
    for (const int fd : taken) ::close(fd);

    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<http_client>(m_socket));
        EXPECT_EQ(idle.back()->get("/echo?q=2").body, "2");
    }
    EXPECT_TRUE(idle[1]->closed_by_peer(5s));  // a cap of three, not 256
    EXPECT_FALSE(idle.back()->closed_by_peer(50ms));
}

}  // namespace
