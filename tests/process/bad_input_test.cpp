// Hostile and broken requests: bytes that are not UTF-8, NUL bytes, bodies and query strings at
// and past the limits, repeated and conflicting fields, malformed heads, clients that trickle
// their request or vanish, and floods of connections. Each request gets exactly one clear answer
// and the daemon keeps serving everyone else.

#include "harness.hpp"
#include "inspect.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>

using namespace test_support;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr std::size_t MAX_BODY_BYTES = 8192;

struct route {
    const char* method;
    const char* suffix;
    bool reads_form;  // a POST whose handler collects a form body (bounded: 413 past the limit)
};

const route ROUTES[] = {
    {"GET", "/status", false},
    {"POST", "/up", true},
    {"POST", "/down", false},
    {"POST", "/restart", false},
    {"POST", "/reconnect", true},
    {"POST", "/deregister", true},
    {"GET", "/env", false},
    {"POST", "/env", true},
    {"GET", "/config", false},
    {"POST", "/config", true},
    {"GET", "/logs/tail", false},
    {"GET", "/logs/list", false},
    {"GET", "/logs/download", false},
    {"GET", "/storage", false},
    {"GET", "/debug-bundle", false},
    {"POST", "/debug-bundle/upload", false},
    {"POST", "/iperf/server/start", true},
    {"POST", "/iperf/server/stop", false},
    {"GET", "/iperf/server/status", false},
    {"GET", "/activity", false},
};

// The bad parts of one request; each is sent on every route, whatever its method.
struct bad_request {
    const char* label;
    std::string query;
    std::string body;
};

std::vector<bad_request> bad_requests() {
    return {
        {"escapes that are not UTF-8", "?source=%FF%FEnetbird&name=%C3%28.log&anonymize=%80",
         "name=%FF%FE&value=%C3%28&setup_key=%80&port=%FF"},
        {"raw bytes that are not UTF-8", "?source=netbird&name=\xC3\x28\xFF.log",
         "name=\xFF\xFE&value=\xC3\x28&management_url=\xE2\x82"},
        {"NUL in names", "?%00source=netbird&na%00me=x", "name=mtu%00&value=1400&%00=1&port%00=5201"},
        {"NUL in values", "?source=netbird%00&name=app_2026-01-01.log%00.gz",
         "name=management_url&value=https://a%00b&setup_key=" + SETUP_KEY + "%00tail&port=52%0001"},
        {"8 KiB of &", "?" + std::string(4096, '&'), std::string(MAX_BODY_BYTES, '&')},
        {"a body past the limit", "", std::string(MAX_BODY_BYTES + 1, '&')},
        {"a long query string", "?name=" + std::string(6000, 'q') + "&source=" + std::string(1000, '%'), ""},
        {"repeated and conflicting fields", "?source=netbird&source=app&name=a.log&name=client.log",
         "name=mtu&value=1400&value=abc&name=log_level&port=5201&port=x&idle_timeout=5&idle_timeout=-1"},
    };
}

// JSON answers are whole documents; the log endpoints answer plain text, the bundle a zip.
bool answers_json(std::string_view suffix) {
    return !suffix.starts_with("/logs/tail") && !suffix.starts_with("/logs/download");
}

// One answer and only one: the next request on the same connection gets its own answer.
void expect_one_clear_answer(http_client& client, const route& r, const bad_request& bad) {
    const std::string where = std::string(r.method) + " " + r.suffix + " with " + bad.label;
    http_reply reply;
    // The harness frames a body for POST only; a GET's would be taken for the next request.
    const bool post = std::string_view(r.method) == "POST";
    ASSERT_NO_THROW(reply = client.request(r.method, API + r.suffix + bad.query, post ? bad.body : "")) << where;
    EXPECT_TRUE(reply.status == 200 || reply.status == 400 || reply.status == 404 || reply.status == 413 ||
                reply.status == 500)
        << where << ": " << reply.status_line;
    EXPECT_EQ(reply.status == 413, r.reads_form && post && bad.body.size() > MAX_BODY_BYTES) << where;
    EXPECT_FALSE(reply.header("Content-Type").empty()) << where;
    const bool zip = reply.header("Content-Type") == "application/zip";
    if (answers_json(r.suffix) && !zip) {
        EXPECT_TRUE(json::accept(reply.body)) << where << ": " << reply.body;
    }

    const http_reply next = client.get(API + "/config");
    EXPECT_EQ(next.status, 200) << "after " << where;
    EXPECT_TRUE(document_of(next).contains("mtu")) << "after " << where << ": " << next.body;
}

TEST(bad_input, every_route_answers_each_bad_request_once_and_clearly) {
    syslog_capture syslog;
    staged_app app;
    app.start();
    // A server already running makes every start request a no-op, so that none of them binds the
    // default port that another test may be using.
    ASSERT_EQ(app.client().post(API + "/iperf/server/start", "port=5441&idle_timeout=3600&one_shot=0").status, 200);
    // Registered, so that a reconnect never waits for a browser login.
    ASSERT_EQ(json::parse(app.client().post(API + "/up", UP_WITH_KEY).body)["exit_code"], 0);
    for (const route& r : ROUTES)
        for (const bad_request& bad : bad_requests()) expect_one_clear_answer(app.client(), r, bad);

    // Whatever was stored is read back as valid settings.
    const json config = json::parse(app.client().get(API + "/config").body);
    EXPECT_GE(config["mtu"].get<int>(), 576);
    EXPECT_EQ(config["log_level"], "info");
    EXPECT_EQ(exposure_findings(app.dir(), syslog.lines(), SETUP_KEY), std::vector<std::string>{});
    EXPECT_EQ(app.stop(), 0);
}

// The environment of the last invocation whose command line holds `word`.
json last_env_of(const sim_record& record, const std::string& word) {
    json env;
    for (const json& invocation : record.lines()) {
        const json argv = invocation.value("argv", json::array());
        if (std::find(argv.begin(), argv.end(), word) != argv.end()) env = invocation["env"];
    }
    return env;
}

TEST(bad_input, nul_never_makes_a_name_and_a_value_with_nul_reaches_children_cut_short) {
    const sim_record record;
    staged_app::options options;
    options.env = {record.env()};
    staged_app app(options);
    app.start();
    const http_reply config = app.client().post(API + "/config", "name=mtu%00&value=1400");
    EXPECT_EQ(config.status, 400);
    EXPECT_EQ(config.body, R"({"error":"Invalid config key"})");
    const http_reply env_name = app.client().post(API + "/env", "name=NB_SIM%00X&value=1");
    EXPECT_EQ(env_name.status, 400);
    EXPECT_EQ(env_name.body, R"({"error":"Invalid env key"})");

    EXPECT_EQ(app.client().post(API + "/env", "name=NB_SIM_NUL&value=a%00b").status, 400);
    EXPECT_EQ(app.stop(), 0);

    // One stored by hand reaches the children cut at the NUL.
    write_file(app.data_dir() / "env.json", R"({"NB_SIM_NUL":"a\u0000b"})");
    app.start();
    EXPECT_EQ(json::parse(app.client().post(API + "/down").body)["exit_code"], 0);  // it ran
    EXPECT_EQ(last_env_of(record, "run")["NB_SIM_NUL"], "a");
    EXPECT_EQ(last_env_of(record, "down")["NB_SIM_NUL"], "a");
    EXPECT_EQ(app.stop(), 0);
}

TEST(bad_input, malformed_requests_get_one_bad_request_and_the_connection_closes) {
    const std::string target = API + "/config";
    const std::string chunked = " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string requests[] = {
        "GET " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n",
        "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999999\r\n\r\n",
        "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabc",
        "GET " + target + "?" + std::string(64 * 1024, 'q') + " HTTP/1.1\r\nHost: x\r\n\r\n",
        "GET " + target + " HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(16 * 1024, 'h') + "\r\n\r\n",
        std::string("GET\0 ", 5) + target + " HTTP/1.1\r\n\r\n",
        "\xFF\xFE\r\n\r\n",
        // Bodies that break the chunked framing, for a form and for a command taken at its head.
        "POST " + target + chunked + "ZZZ\r\nname=mtu\r\n0\r\n\r\n",
        "POST " + target + chunked + "5\r\nname=mtu&value=1400\r\n0\r\n\r\n",
        "POST " + target + chunked + "ffffffffffffffffffffff\r\n",
        "POST " + API + "/down" + chunked + "ZZZ\r\n",
    };
    staged_app app;
    app.start();
    for (const std::string& request : requests) {
        http_client client;
        client.send_raw(request);
        const http_reply reply = client.read_reply();
        EXPECT_EQ(reply.status, 400) << request.substr(0, 80);
        EXPECT_TRUE(client.closed_by_peer(10s)) << request.substr(0, 80);
    }
    EXPECT_EQ(json::parse(app.client().get(API + "/config").body)["mtu"], 1280);
    EXPECT_EQ(app.client().get(API + "/status").status, 200);
    EXPECT_EQ(app.stop(), 0);
}

TEST(bad_input, clients_that_send_a_byte_per_second_hold_up_no_one) {
    constexpr std::size_t SLOW_CLIENTS = 20;
    constexpr std::size_t TRICKLED_BYTES = 6;
    const std::string request = "GET " + API + "/status HTTP/1.1\r\nHost: localhost\r\n\r\n";
    staged_app app;
    app.start();
    std::vector<std::unique_ptr<http_client>> slow;
    for (std::size_t i = 0; i < SLOW_CLIENTS; ++i) {
        slow.push_back(std::make_unique<http_client>());
        slow.back()->send_raw(std::string_view(request).substr(0, request.size() - TRICKLED_BYTES));
    }
    for (std::size_t sent = request.size() - TRICKLED_BYTES; sent < request.size(); ++sent) {
        const auto before = std::chrono::steady_clock::now();
        // The slow clients get their next byte only after this answer: held up, it would never come.
        EXPECT_EQ(app.client().get(API + "/config").status, 200);
        std::this_thread::sleep_until(before + 1s);
        for (auto& client : slow) client->send_raw(std::string_view(request).substr(sent, 1));
    }
    for (auto& client : slow) EXPECT_EQ(client->read_reply().status, 200);
    EXPECT_EQ(app.stop(), 0);
}

// Opens `count` connections, lets each do `act`, then drops them all at once.
void open_and_drop(std::size_t count, const std::function<void(http_client&, std::size_t)>& act) {
    std::vector<std::unique_ptr<http_client>> clients;
    for (std::size_t i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<http_client>());
        act(*clients.back(), i);
    }
}

TEST(bad_input, thousands_of_dropped_connections_leave_nothing_behind) {
    constexpr std::size_t WAVES = 12;
    constexpr std::size_t PER_WAVE = 250;
    staged_app app;
    app.start();
    ASSERT_EQ(app.client().get(API + "/status").status, 200);
    const resource_usage before = settled_usage_of(app.pid());

    // Silent connections, half-sent heads and bodies, whole requests whose answer nobody reads,
    // and commands abandoned in the queue.
    const std::string status = "GET " + API + "/status HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string partial_body = "POST " + API + "/config HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nname=";
    const std::string command = "POST " + API + "/down HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n";
    for (std::size_t wave = 0; wave < WAVES; ++wave) {
        open_and_drop(PER_WAVE, [&](http_client& client, std::size_t i) {
            switch (i % 5) {
            case 0: client.send_raw(""); break;
            case 1: client.send_raw(std::string_view(status).substr(0, 20)); break;
            case 2: client.send_raw(partial_body); break;
            case 3: client.send_raw(status); break;
            default: client.send_raw(wave % 4 == 0 ? command : status); break;
            }
        });
        EXPECT_EQ(app.client().get(API + "/config").status, 200) << "wave " << wave;
    }
    ASSERT_TRUE(wait_for([&] { return usage_of(app.pid()).descriptors <= before.descriptors; }, 15s))
        << usage_of(app.pid()).descriptors << " descriptors, " << before.descriptors << " before";
    const resource_usage after = settled_usage_of(app.pid());
    EXPECT_LE(after.descriptors, before.descriptors);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_EQ(zombie_children(app.pid()), 0u);
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace
