// What a hostile or careless user can leave at the names of the daemon's own files: FIFOs,
// links to devices or to files elsewhere, documents nested a million levels deep. The daemon
// starts, answers and serves nothing but its own regular files.

#include "harness.hpp"
#include "inspect.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/stat.h>

using namespace test_support;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

json config_of(staged_app& app) { return json::parse(app.client().get(API + "/config").body); }

TEST(hostile_files, fifos_links_and_deep_nesting_at_the_settings_files_leave_the_defaults) {
    staged_app app(without_netbird());
    fs::create_directories(app.data_dir());
    ASSERT_EQ(::mkfifo((app.data_dir() / "app.json").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((app.data_dir() / "env.json").c_str(), 0600), 0);
    app.start();  // would wait for a writer on the FIFO forever
    EXPECT_EQ(config_of(app)["mtu"], 1280);
    EXPECT_EQ(app.stop(), 0);

    fs::remove(app.data_dir() / "app.json");
    fs::remove(app.data_dir() / "env.json");
    write_file(app.data_dir() / "app.json",
               R"({"mtu":1400,"x":)" + std::string(1000000, '{') + std::string(1000000, '}') + "}");
    write_file(app.dir() / "elsewhere.json", R"({"NB_SIM_X":"1"})");
    fs::create_symlink(app.dir() / "elsewhere.json", app.data_dir() / "env.json");
    app.start();
    EXPECT_EQ(config_of(app)["mtu"], 1280);
    EXPECT_EQ(app.client().get(API + "/env").body.find("NB_SIM_X"), std::string::npos);
    // The damaged document is kept aside for the operator; the link to elsewhere stays as it was.
    EXPECT_TRUE(read_file(app.data_dir() / "app.json.bad").starts_with(R"({"mtu":1400,"x":{{)"));
    EXPECT_NE(app.app_log().find("Settings file " + (app.data_dir() / "app.json").string() + " is damaged"),
              std::string::npos);
    EXPECT_TRUE(fs::is_symlink(app.data_dir() / "env.json"));
    // The first save replaces the unreadable document with a proper one.
    EXPECT_EQ(app.client().post(API + "/config", "name=mtu&value=1400").status, 200);
    EXPECT_EQ(read_file(app.data_dir() / "app.json"), "{\n  \"mtu\": 1400\n}\n");
    EXPECT_EQ(app.stop(), 0);
}

TEST(hostile_files, the_netbird_log_is_tailed_only_when_it_is_a_regular_file) {
    staged_app app(without_netbird());
    app.start();
    const fs::path log = app.data_dir() / "client.log";
    const auto expect_refused = [&](const char* what) {
        const http_reply tail = app.client().get(API + "/logs/tail?source=netbird");
        EXPECT_EQ(tail.status, 500) << what;
        EXPECT_EQ(tail.body, "Unable to open netbird log.") << what;
        EXPECT_EQ(app.client().get(API + "/status").status, 200) << what;
    };
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    expect_refused("FIFO");  // would block the loop on the open, waiting for a writer
    fs::remove(log);
    fs::create_symlink("/dev/zero", log);
    expect_refused("link to /dev/zero");  // would read until memory runs out
    fs::remove(log);
    write_file(log, "line\n");
    EXPECT_EQ(app.client().get(API + "/logs/tail?source=netbird").body, "line\n");
    EXPECT_EQ(app.stop(), 0);
}

TEST(hostile_files, links_named_like_logs_are_neither_listed_served_nor_compressed) {
    staged_app app(without_netbird());
    fs::create_directories(app.log_dir());
    const std::string planted = "app_" + date_before_today(1) + ".log";
    write_file(app.dir() / "secret", "root:x:0:0\n");
    fs::create_symlink(app.dir() / "secret", app.log_dir() / planted);
    fs::create_symlink(app.dir() / "secret", app.data_dir() / "client-1.log.gz");
    app.start();  // start-up compresses the finished days

    const json list = json::parse(app.client().get(API + "/logs/list").body);
    for (const json& entry : list) EXPECT_NE(entry["name"], planted) << list.dump();
    for (const json& entry : list) EXPECT_NE(entry["name"], "client-1.log.gz") << list.dump();
    EXPECT_EQ(app.client().get(API + "/logs/download?source=app&name=" + planted).status, 404);
    EXPECT_EQ(app.client().get(API + "/logs/download?source=netbird&name=client-1.log.gz").status, 404);
    EXPECT_TRUE(fs::is_symlink(app.log_dir() / planted));
    EXPECT_FALSE(fs::exists(app.log_dir() / (planted + ".gz")));
    EXPECT_EQ(read_file(app.dir() / "secret"), "root:x:0:0\n");
    EXPECT_EQ(app.stop(), 0);
}

// A client whose status output is one array nested 200,000 levels deep.
TEST(hostile_files, status_output_nested_past_the_limit_is_shown_as_text) {
    staged_app app(without_netbird());
    const fs::path netbird = app.netbird();
    write_file(netbird,
               "#!/bin/sh\n"
               "case \"$*\" in\n"
               "  *'service run'*) exec sleep 600 ;;\n"
               "  *status*) head -c 200000 /dev/zero | tr '\\0' '['; head -c 200000 /dev/zero | tr '\\0' ']' ;;\n"
               "esac\n");
    fs::permissions(netbird, fs::perms(0755));
    app.start();
    json status;
    EXPECT_TRUE(wait_for([&] {
        status = document_of(app.client().get(API + "/status"));
        return status.is_object() && status.value("output", "").starts_with(std::string(1000, '['));
    })) << status.dump().substr(0, 300);
    EXPECT_EQ(status["exit_code"], 0);
    EXPECT_FALSE(status.contains("status"));
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace
