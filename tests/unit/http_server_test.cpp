// The HTTP adapter on a socket of its own: routing, bodies, keep-alive, pipelining, aborts.

#include "api_helpers.hpp"
#include "harness.hpp"
#include "http_server.hpp"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using test_support::http_client;

namespace {

// Whether a client could connect to the socket at `path` now.
bool accepts_connections(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

class http_server_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ovra-http-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_socket = (m_dir / "api.sock").string();

        m_app.get("/echo", [](const auto& res, const auto& req) {
            res->write_status("200 OK").write_header("X-First", "1").write_header("X-Second", "2");
            res->end(req.query_value("q"));
        });
        m_app.post("/body", [](const auto& res, const auto&) {
            auto body = std::make_shared<std::string>();
            auto rejected = std::make_shared<bool>(false);
            res->on_aborted([] {});
            res->on_data([res, body, rejected](std::string_view chunk, bool last) {
                if (accumulate_body(*body, chunk, *rejected, res) && last) res->end(std::to_string(body->size()));
            });
        });
        // Answers from another thread through the loop, as command completions do.
        m_app.post("/later", [this](const auto& res, const auto&) {
            res->on_aborted([this] { ++m_aborts; });
            ++m_later_taken;
            std::thread([this, res] {
                std::this_thread::sleep_for(std::chrono::milliseconds(m_delay_ms));
                m_app.loop().defer([this, res] {
                    res->end("later");
                    ++m_later_answered;
                });
            }).detach();
        });
        m_app.get("/silent", [](const auto&, const auto&) {});
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
    http_server::app m_app;
    std::thread m_loop_thread;
    std::atomic<int> m_aborts{0};
    std::atomic<int> m_later_taken{0};
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
        ASSERT_TRUE(test_support::wait_for([&] { return m_later_taken == 1; }));
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

}  // namespace
