// The iperf3 server routes with the real iperf3 as lib/iperf3. Each test case has a loopback of
// its own (tests/isolate.sh), so fixed ports never meet another run's or the machine's.

#include "harness.hpp"
#include "inspect.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

using namespace test_support;
using json = nlohmann::json;

namespace {

const std::string START = API + "/iperf/server/start";
const std::string STOP = API + "/iperf/server/stop";
const std::string STATUS = API + "/iperf/server/status";

// An iperf answer is never cached.
json uncached_document_of(const http_reply& reply) {
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    return document_of(reply);
}

bool accepts_connections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// The daemon logs before it answers, but the capture receives the line a moment later.
bool logged(syslog_capture& syslog, std::string_view text) {
    return wait_for([&] { return syslog.contains(text); });
}

TEST(iperf, an_empty_start_serves_one_client_on_5201_and_then_ends_by_itself) {
    syslog_capture syslog;
    staged_app app;
    app.start();

    const http_reply started = app.client().post(START);
    ASSERT_EQ(started.status, 200) << started.body;
    const json first = uncached_document_of(started);
    EXPECT_EQ(first["port"], 5201);
    EXPECT_EQ(first["running"], true);
    EXPECT_TRUE(logged(syslog, "iperf3 server started on port 5201 (idle-timeout 60s, one-off)"));

    ASSERT_TRUE(wait_for([&] {
        return json::parse(app.client().get(STATUS).body)["output"].get<std::string>().find(
                   "Server listening on 5201") != std::string::npos;
    }));
    EXPECT_EQ(std::system("/usr/bin/iperf3 -c 127.0.0.1 -p 5201 -t 1 >/dev/null 2>&1"), 0);

    json ended;
    ASSERT_TRUE(wait_for([&] {
        ended = uncached_document_of(app.client().get(STATUS));
        return ended["running"] == false;
    }));
    EXPECT_EQ(ended["port"], 0);
    EXPECT_EQ(ended["uptime_seconds"], 0);
    EXPECT_NE(ended["output"].get<std::string>().find("Accepted connection from 127.0.0.1"), std::string::npos);
    EXPECT_EQ(json::parse(app.client().get(STATUS).body)["output"], ended["output"]);
    // The shutdown line comes after anything the status requests logged.
    EXPECT_EQ(app.stop(), 0);
    ASSERT_TRUE(logged(syslog, "shutting down"));
    EXPECT_EQ(syslog.count("iperf3 server exited"), 1u);
}

TEST(iperf, a_second_start_keeps_the_running_server_and_a_stop_or_shutdown_kills_it) {
    syslog_capture syslog;
    staged_app app;
    app.start();

    ASSERT_EQ(app.client().post(START, "port=5311&idle_timeout=30&one_shot=0").status, 200);
    EXPECT_TRUE(logged(syslog, "iperf3 server started on port 5311 (idle-timeout 30s)"));
    const json again = uncached_document_of(app.client().post(START, "port=5312"));
    EXPECT_EQ(again["port"], 5311);
    EXPECT_EQ(again["running"], true);
    ASSERT_TRUE(wait_for([] { return accepts_connections(5311); }));

    const json stopped = uncached_document_of(app.client().post(STOP));
    EXPECT_EQ(stopped["running"], false);
    EXPECT_EQ(stopped["port"], 0);
    EXPECT_EQ(stopped["uptime_seconds"], 0);
    EXPECT_NE(stopped["output"].get<std::string>().find("Server listening on 5311"), std::string::npos);
    EXPECT_FALSE(accepts_connections(5311));
    EXPECT_FALSE(accepts_connections(5312));

    ASSERT_EQ(app.client().post(START, "port=5313&one_shot=false").status, 200);
    ASSERT_TRUE(wait_for([] { return accepts_connections(5313); }));
    EXPECT_EQ(app.stop(), 0);
    EXPECT_FALSE(accepts_connections(5313));
    ASSERT_TRUE(logged(syslog, "shutting down"));
    EXPECT_FALSE(syslog.contains("iperf3 server exited"));  // a killed server did not end by itself
}

TEST(iperf, bad_numbers_are_refused_with_the_port_checked_first) {
    staged_app app;
    app.start();
    const std::string port_error = R"({"error":"Port must be an integer between 1024 and 65535"})";
    const std::string idle_error = R"({"error":"Idle timeout must be an integer between 5 and 3600 seconds"})";
    const std::pair<const char*, std::string> cases[] = {
        {"port=1023", port_error},          {"port=65536", port_error},
        {"port=abc", port_error},           {"port=abc&idle_timeout=4", port_error},
        {"idle_timeout=4", idle_error},     {"port=5321&idle_timeout=3601", idle_error},
        {"idle_timeout=x", idle_error},
    };
    for (const auto& [form, error] : cases) {
        const http_reply reply = app.client().post(START, form);
        EXPECT_EQ(reply.status_line, "400 Bad Request") << form;
        EXPECT_EQ(reply.body, error) << form;
        EXPECT_EQ(reply.header("Cache-Control"), "no-store") << form;
    }
    EXPECT_EQ(json::parse(app.client().get(STATUS).body)["running"], false);
}

TEST(iperf, a_missing_executable_answers_500_with_nothing_running) {
    syslog_capture syslog;
    staged_app::options without_iperf3;
    without_iperf3.with_iperf3 = false;
    staged_app app(without_iperf3);
    app.start();

    const http_reply reply = app.client().post(START, "port=5331");
    EXPECT_EQ(reply.status_line, "500 Internal Server Error");
    EXPECT_EQ(reply.body, R"({"error":"Could not start iperf3 server"})");
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    EXPECT_TRUE(logged(syslog, "iperf3 binary not found at " + (app.dir() / "lib" / "iperf3").string()));
    EXPECT_EQ(uncached_document_of(app.client().get(STATUS)),
              json::parse(R"({"output":"","port":0,"running":false,"uptime_seconds":0})"));
}

}  // namespace
