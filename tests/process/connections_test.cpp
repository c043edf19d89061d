// The daemon's connections under clients that misuse them: floods of pipelined requests behind a
// running command, idle and trickling connections, more connections than it may hold, HEAD and
// 100-continue, and downloads that clients read slowly or never, or in bursts.

#include "harness.hpp"
#include "inspect.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <thread>

using namespace test_support;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::string request_text(const std::string& method, const std::string& target, const std::string& extra = "") {
    return method + " " + API + target + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
}

// Whether the daemon holds `path` open.
bool holds_open(pid_t pid, const fs::path& path) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (fs::read_symlink(entry.path(), ec) == path) return true;
    return false;
}

TEST(connections_process, a_pipelined_flood_behind_a_running_command_gets_every_answer_in_order) {
    constexpr int FLOOD = 3000;  // over 100 KiB of requests
    staged_app app({.env = {{"NB_SIM_DELAY_MS", "1500"}}});
    app.start();
    http_client& client = app.client();
    client.send_raw("");
    std::thread sender([&] {
        std::string flood = request_text("POST", "/down", "Content-Length: 0\r\n");
        for (int i = 0; i < FLOOD; ++i) flood += request_text("GET", "/logs/tail?source=x" + std::to_string(i));
        try {
            client.send_raw(flood);
        } catch (const std::runtime_error&) {
            ADD_FAILURE() << "the connection was closed while the requests were sent";
        }
    });
    int in_order = 0;
    try {
        EXPECT_EQ(client.read_reply(30s).status, 200);
        for (; in_order < FLOOD; ++in_order) {
            const auto reply = client.read_reply(30s);
            if (reply.status != 404 || reply.body != "Unknown log source.") break;
        }
    } catch (const std::runtime_error& e) {
        ADD_FAILURE() << e.what();
    }
    sender.join();
    EXPECT_EQ(in_order, FLOOD);
    EXPECT_EQ(app.stop(), 0);
}

// The daemon's limits, in limit seconds of 100 ms: an idle connection goes after about 75 of them,
// a head trickled a byte a second after about 20, and neither holds up anyone else meanwhile.
TEST(connections_process, idle_connections_and_trickled_heads_are_closed_and_others_still_served) {
    constexpr auto SECOND = 100ms;
    staged_app::options options = without_netbird();
    options.env = {{"OVRA_TEST_LIMIT_SECOND_MS", "100"}};
    staged_app app(options);
    app.start();
    http_client idle;
    EXPECT_EQ(idle.get(API + "/config").status, 200);
    http_client trickling;
    const std::string head = request_text("GET", "/config", "X-Padding: " + std::string(300, 'p') + "\r\n");
    std::size_t sent = 0;
    bool trickle_closed = false;
    bool idle_closed_first = false;
    const auto start = std::chrono::steady_clock::now();
    while (!trickle_closed && sent < head.size()) {
        try {
            trickling.send_raw(std::string_view(head).substr(sent++, 1));
        } catch (const std::runtime_error&) {
            trickle_closed = true;  // refused: the daemon closed it
        }
        trickle_closed = trickle_closed || trickling.closed_by_peer(SECOND);
        idle_closed_first = idle_closed_first || idle.closed_by_peer(0ms);
    }
    EXPECT_TRUE(trickle_closed);
    EXPECT_FALSE(idle_closed_first);
    EXPECT_EQ(app.client().get(API + "/config").status, 200);
    EXPECT_TRUE(idle.closed_by_peer(150 * SECOND));
    std::cout << "trickled head closed after ~" << sent << " limit seconds; idle connection closed after "
              << (std::chrono::steady_clock::now() - start) / SECOND << "\n";
    EXPECT_EQ(app.stop(), 0);
}

// Under a limit of 256 descriptors the cap is lower than 256: 400 idle connections never exhaust
// descriptors, the oldest idle ones make room, and while the service restarts (new pipes) a new
// client is served at once.
TEST(connections_process, four_hundred_idle_connections_under_a_low_descriptor_limit_leave_room_for_all) {
    constexpr std::size_t CONNECTIONS = 400;
    constexpr rlim_t DESCRIPTORS = 256;
    staged_app app;
    app.start();
    const rlimit limit{DESCRIPTORS, DESCRIPTORS};
    ASSERT_EQ(::prlimit(app.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<std::unique_ptr<http_client>> clients;
    for (std::size_t i = 0; i < CONNECTIONS; ++i) {
        clients.push_back(std::make_unique<http_client>());
        ASSERT_EQ(clients.back()->get(API + "/config").status, 200) << i;
    }
    EXPECT_TRUE(clients.front()->closed_by_peer(5s));
    EXPECT_FALSE(clients.back()->closed_by_peer(0ms));
    EXPECT_LT(usage_of(app.pid()).descriptors, DESCRIPTORS);

    app.client().send_request("POST", API + "/restart");
    http_client newcomer;
    newcomer.send_request("GET", API + "/config");
    EXPECT_EQ(newcomer.read_reply(10s).status, 200);
    EXPECT_EQ(json::parse(app.client().read_reply(30s).body)["running"], true);
    EXPECT_EQ(clients.back()->get(API + "/status").status, 200);
    EXPECT_EQ(app.app_log().find("Too many open files"), std::string::npos);
    EXPECT_EQ(app.stop(), 0);
}

// At the cap every connection trickles a body: the one at it longest makes room, so the
// operator is served at once, not after the body deadline.
TEST(connections_process, an_operator_is_served_while_every_connection_trickles_a_body) {
    staged_app app(without_netbird());
    app.start();
    std::vector<std::unique_ptr<http_client>> trickling;
    for (std::size_t i = 0; i < 256; ++i) {
        trickling.push_back(std::make_unique<http_client>());
        trickling.back()->send_raw(request_text("POST", "/config",
                                                "Content-Type: application/x-www-form-urlencoded\r\n"
                                                "Content-Length: 100\r\n") + "n");
    }
    http_client operator_client;
    operator_client.send_request("GET", API + "/config");
    EXPECT_EQ(operator_client.read_reply(5s).status, 200);
    EXPECT_TRUE(trickling.front()->closed_by_peer(5s));
    EXPECT_EQ(app.app_log().find("refusing new ones"), std::string::npos);
    EXPECT_EQ(app.stop(), 0);
}

// A chunk extension or a trailer that never ends: the request is refused and the connection closed
// once the input buffer is full, with memory where it was (the figures go to the output).
TEST(connections_process, an_endless_chunk_extension_or_trailer_leaves_memory_bounded) {
    constexpr std::size_t FLOOD_BYTES = 256 * 1024 * 1024;
    constexpr long MARGIN_KIB = 2 * 1024;
    staged_app app(without_netbird());
    app.start();
    const long before = settled_usage_of(app.pid()).rss_kib;
    const std::string head = request_text("POST", "/config", "Transfer-Encoding: chunked\r\n");
    const std::string piece(1024 * 1024, 'x');
    for (const std::string& endless : {head + "5;ext=", head + "5\r\nhello\r\n0\r\nX-Trailer: "}) {
        http_client flooding;
        std::size_t sent = 0;
        try {
            flooding.send_raw(endless);
            for (; sent < FLOOD_BYTES; sent += piece.size()) flooding.send_raw(piece);
        } catch (const std::runtime_error&) {
            // the daemon closed the connection
        }
        EXPECT_LT(sent, FLOOD_BYTES) << endless;
    }
    const long after = settled_usage_of(app.pid()).rss_kib;
    std::cout << "RSS: " << before << " KiB before, " << after << " KiB after two endless chunked requests\n";
    if (RSS_TELLS_MEMORY && figures_are_its_own(app.pid(), "resident size after endless chunked requests")) {
        EXPECT_LE(after, before + MARGIN_KIB);
    }
    EXPECT_EQ(app.client().get(API + "/config").status, 200);
    EXPECT_EQ(app.stop(), 0);
}

TEST(connections_process, head_and_100_continue_keep_the_connection_framed) {
    staged_app app(without_netbird());
    app.start();
    write_file(app.data_dir() / "client.log", "twelve bytes");
    http_client& client = app.client();
    client.send_raw(request_text("HEAD", "/logs/download?source=netbird&name=client.log") +
                    request_text("HEAD", "/status") + request_text("GET", "/config"));
    const auto log_head = client.read_reply_head(10s);
    EXPECT_EQ(log_head.status, 200);
    EXPECT_EQ(log_head.header("Content-Length"), "12");
    EXPECT_EQ(log_head.header("Content-Disposition"), R"(attachment; filename="client.log")");
    EXPECT_EQ(client.read_reply_head(10s).status, 200);
    EXPECT_EQ(json::parse(client.read_reply(10s).body)["mtu"], 1280);  // the GET's answer, whole

    const std::string form = "name=log_retention_days&value=21";
    client.send_raw(request_text("POST", "/config",
                                 "Expect: 100-continue\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                 "Content-Length: " + std::to_string(form.size()) + "\r\n"));
    EXPECT_EQ(client.read_reply_head(10s).status, 100);
    client.send_raw(form);
    EXPECT_EQ(client.read_reply(10s).status, 200);
    EXPECT_EQ(json::parse(client.get(API + "/config").body)["log_retention_days"], 21);
    EXPECT_EQ(app.stop(), 0);
}

// Sent from the file the request opened, byte for byte, even when the path is renamed away and a
// new file takes its place before the client reads.
TEST(connections_process, a_download_is_the_opened_file_byte_for_byte_even_when_replaced_meanwhile) {
    staged_app app(without_netbird());
    app.start();
    const fs::path log = app.data_dir() / "client.log";
    const std::string content = pattern_of(8 * 1024 * 1024 + 3);
    write_file(log, content);
    const std::string target = API + "/logs/download?source=netbird&name=client.log";
    {
        http_client reader;
        const auto whole = reader.get(target);
        EXPECT_EQ(whole.header("Content-Length"), std::to_string(content.size()));
        EXPECT_TRUE(whole.body == content);
    }
    ASSERT_TRUE(wait_for([&] { return !holds_open(app.pid(), log); }));

    app.client().send_request("GET", target);
    ASSERT_TRUE(wait_for([&] { return holds_open(app.pid(), log); }));
    fs::rename(log, app.data_dir() / "client-old.log");
    write_file(log, "a new log\n");
    const auto replaced = app.client().read_reply(30s);
    EXPECT_EQ(replaced.body.size(), content.size());
    EXPECT_TRUE(replaced.body == content);
    EXPECT_EQ(app.client().get(target).body, "a new log\n");
    EXPECT_EQ(app.stop(), 0);
}

// Ten clients that ask for a 64 MiB log and never read it, then bursts of 2,000 connections that
// each ask for the status and stay open until the burst ends: resident memory stays near where it
// was (the figures go to the output).
TEST(connections_process, downloads_nobody_reads_and_bursts_of_connections_leave_memory_bounded) {
    constexpr std::size_t READERS = 10;
    constexpr std::size_t BURSTS = 3;
    constexpr std::size_t BURST = 2000;
    constexpr long DOWNLOADS_MARGIN_KIB = 8 * 1024;
    constexpr long AFTER_BURSTS_MARGIN_KIB = 3 * 1024;
    staged_app app(without_netbird());
    app.start();
    write_file(app.data_dir() / "client.log", pattern_of(64 * 1024 * 1024));
    ASSERT_EQ(app.client().get(API + "/status").status, 200);
    const resource_usage at_rest = settled_usage_of(app.pid());
    const long baseline = at_rest.rss_kib;

    std::vector<std::unique_ptr<http_client>> stalled;
    for (std::size_t i = 0; i < READERS; ++i) {
        stalled.push_back(std::make_unique<http_client>());
        stalled.back()->send_request("GET", API + "/logs/download?source=netbird&name=client.log");
        stalled.back()->read_reply_head(10s);
    }
    const long while_stalled = peak_rss_kib(app.pid(), 3s);
    EXPECT_EQ(app.client().get(API + "/config").status, 200);
    stalled.clear();

    for (std::size_t burst = 0; burst < BURSTS; ++burst) {
        std::vector<std::unique_ptr<http_client>> clients;
        for (std::size_t i = 0; i < BURST; ++i) {
            clients.push_back(std::make_unique<http_client>());
            EXPECT_EQ(clients.back()->get(API + "/status").status, 200) << "burst " << burst << ", client " << i;
        }
    }
    ASSERT_TRUE(wait_for([&] { return usage_of(app.pid()).descriptors <= at_rest.descriptors; }, 20s));
    const long after_bursts = settled_usage_of(app.pid()).rss_kib;
    std::cout << "RSS: " << baseline << " KiB at rest, " << while_stalled << " KiB with " << READERS
              << " unread 64 MiB downloads, " << after_bursts << " KiB after " << BURSTS << " bursts of " << BURST
              << " connections\n";
    if (RSS_TELLS_MEMORY && figures_are_its_own(app.pid(), "resident size under downloads and bursts")) {
        EXPECT_LE(while_stalled, baseline + DOWNLOADS_MARGIN_KIB);
        EXPECT_LE(after_bursts, baseline + AFTER_BURSTS_MARGIN_KIB);
    }
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace
