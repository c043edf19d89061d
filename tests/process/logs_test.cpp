// Daily log files, the level setting, start-up maintenance, and the logs and storage endpoints
// of the running daemon.

#include "harness.hpp"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <sys/mount.h>
#include <vector>

using namespace test_support;
namespace fs = std::filesystem;

namespace {

const std::string NOT_FOUND = "Log file not found.";

// The names of the headers that a reply carries, in order, among those asked about.
std::vector<std::string> header_order(const http_reply& reply, const std::vector<std::string>& names) {
    std::vector<std::string> order;
    for (const auto& [name, value] : reply.headers)
        if (std::find(names.begin(), names.end(), name) != names.end()) order.push_back(name);
    return order;
}

void expect_plain_text(const http_reply& reply, int status, const std::string& body) {
    EXPECT_EQ(reply.status, status);
    EXPECT_EQ(reply.body, body);
    EXPECT_EQ(header_order(reply, {"Content-Type", "Cache-Control"}),
              (std::vector<std::string>{"Content-Type", "Cache-Control"}));
    EXPECT_EQ(reply.header("Content-Type"), "text/plain");
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
}

TEST(logs_process, daily_files_appear_and_the_app_file_stamps_each_line) {
    staged_app app;
    app.start();
    EXPECT_TRUE(fs::exists(app.log_dir() / ("netbird_" + today() + ".log")));
    const std::string log = app.app_log();
    const std::regex start_line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[I\] -{20} Application start -{20}\n)");
    EXPECT_TRUE(std::regex_search(log, start_line)) << log;
    EXPECT_EQ(app.stop(), 0);
}

TEST(logs_process, the_level_setting_filters_file_and_system_log_alike) {
    for (const auto& [level, info_kept] : {std::pair{"warning", false}, std::pair{"warn", true}}) {
        syslog_capture syslog;
        staged_app app(without_netbird());
        write_file(app.data_dir() / "app.json", std::string(R"({"log_level": ")") + level + "\"}");
        app.start();
        // A round trip through the event loop: the listen line has been written by then.
        EXPECT_EQ(app.client().get(API + "/storage").status, 200);
        EXPECT_EQ(app.app_log().find("API server listening") != std::string::npos, info_kept) << level;
        EXPECT_EQ(syslog.contains("API server listening"), info_kept) << level;
        EXPECT_EQ(app.stop(), 0);
    }
}

TEST(logs_process, start_up_prunes_by_the_stored_retention_then_compresses_finished_days) {
    staged_app app(without_netbird());
    write_file(app.data_dir() / "app.json", R"({"log_retention_days": 2})");
    const std::string yesterday = "app_" + date_before_today(1) + ".log";
    const std::string too_old = "netbird_" + date_before_today(2) + ".log";
    write_file(app.log_dir() / yesterday, "yesterday\n");
    write_file(app.log_dir() / too_old, "too old\n");
    app.start();
    EXPECT_FALSE(fs::exists(app.log_dir() / yesterday));
    EXPECT_TRUE(fs::exists(app.log_dir() / (yesterday + ".gz")));
    EXPECT_FALSE(fs::exists(app.log_dir() / too_old));
    EXPECT_FALSE(fs::exists(app.log_dir() / (too_old + ".gz")));
    EXPECT_EQ(app.stop(), 0);
}

TEST(logs_process, tail_answers_at_most_the_last_200000_bytes_of_the_netbird_log) {
    staged_app app(without_netbird());
    app.start();
    const auto tail = [&] { return app.client().get(API + "/logs/tail?source=netbird"); };
    expect_plain_text(tail(), 404, "Netbird log not found.");
    expect_plain_text(app.client().get(API + "/logs/tail"), 404, "Unknown log source.");
    expect_plain_text(app.client().get(API + "/logs/tail?source=app"), 404, "Unknown log source.");

    std::string content;
    for (int i = 0; content.size() < 200001; ++i) content += "line " + std::to_string(i) + "\n";
    content.resize(200001);
    write_file(app.data_dir() / "client.log", content.substr(1));
    expect_plain_text(tail(), 200, content.substr(1));
    write_file(app.data_dir() / "client.log", content);
    expect_plain_text(tail(), 200, "Log truncated to last 200000 bytes.\n" + content.substr(1));
    EXPECT_EQ(app.stop(), 0);
}

TEST(logs_process, download_sends_a_family_file_as_an_attachment) {
    staged_app app(without_netbird());
    app.start();
    const std::string archive("\x1f\x8b\x08\0binary\xff", 11);
    write_file(app.log_dir() / "netbird_2024-02-01.log.gz", archive);
    write_file(app.data_dir() / "client.log", "client line\n");

    const auto gz = app.client().get(API + "/logs/download?source=netbird&name=netbird_2024-02-01.log.gz");
    EXPECT_EQ(gz.status, 200);
    EXPECT_EQ(gz.body, archive);
    EXPECT_EQ(gz.header("Content-Type"), "application/gzip");
    EXPECT_EQ(gz.header("Content-Disposition"), R"(attachment; filename="netbird_2024-02-01.log.gz")");
    EXPECT_EQ(gz.header("Cache-Control"), "no-store");
    EXPECT_EQ(header_order(gz, {"Content-Type", "Content-Disposition", "Cache-Control"}),
              (std::vector<std::string>{"Content-Type", "Content-Disposition", "Cache-Control"}));

    const auto plain = app.client().get(API + "/logs/download?source=netbird&name=client.log");
    EXPECT_EQ(plain.body, "client line\n");
    EXPECT_EQ(plain.header("Content-Type"), "text/plain");
    EXPECT_EQ(plain.header("Content-Disposition"), R"(attachment; filename="client.log")");
    EXPECT_EQ(app.stop(), 0);
}

TEST(logs_process, download_answers_not_found_for_every_name_outside_the_families) {
    staged_app app(without_netbird());
    app.start();
    // Created after start-up, so that maintenance leaves them as they are; each one would be
    // served if its name were let through.
    write_file(app.data_dir() / "x_2024-02-01.log", "outside the logs directory");
    write_file(app.log_dir() / "app_x" / "keep", "");
    for (const char* name : {"app_\\_2024-02-01.log", "app_\"_2024-02-01.log", "app_\n_2024-02-01.log",
                                   "app_.._2024-02-01.log"})
        write_file(app.log_dir() / name, "x");
    write_file(app.data_dir() / "client.log", "x");
    fs::create_directories(app.log_dir() / "app_2024-02-02.log");

    const std::vector<std::string> queries{
        "source=app&name=app_x%2F..%2F..%2Fx_2024-02-01.log",
        "source=app&name=app_x%2f..%2f..%2fx_2024-02-01.log",
        "source=app&name=app_%5C_2024-02-01.log",
        "source=app&name=app_%22_2024-02-01.log",
        "source=app&name=app_%0A_2024-02-01.log",
        "source=app&name=app_%2E%2E_2024-02-01.log",
        "source=app&name=app_%00_2024-02-01.log",
        "source=app&name=app_" + std::string(237, 'a') + "_2024-02-01.log",
        "source=app&name=client.log",
        "source=netbird&name=app_" + today() + ".log",
        "source=&name=client.log",
        "name=client.log",
        "source=app&name=app_2024-02-02.log",
        "source=app&name=app_2000-01-01.log",
    };
    for (const std::string& query : queries)
        expect_plain_text(app.client().get(API + "/logs/download?" + query), 404, NOT_FOUND);
    EXPECT_EQ(app.stop(), 0);
}

TEST(logs_process, list_and_storage_answer_uncached_json) {
    staged_app app(without_netbird());
    app.start();
    const auto list = app.client().get(API + "/logs/list");
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(list.header("Content-Type"), "application/json");
    EXPECT_EQ(list.header("Cache-Control"), "no-store");
    const auto entries = nlohmann::json::parse(list.body);
    ASSERT_TRUE(entries.is_array());
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0]["name"], "app_" + today() + ".log");
    EXPECT_EQ(entries[0]["source"], "app");

    const auto storage = app.client().get(API + "/storage");
    EXPECT_EQ(storage.status, 200);
    EXPECT_EQ(storage.header("Cache-Control"), "no-store");
    EXPECT_GT(nlohmann::json::parse(storage.body)["total"].get<std::uint64_t>(), 0u);
    EXPECT_EQ(app.stop(), 0);
}

// The list is kept between requests, yet follows what its watch cannot see by name: a file with a
// second link written through it, a file system mounted over the log directory, and a symbolic
// link to the log directory swapped for one to another directory.
TEST(logs_process, the_list_follows_a_linked_file_a_mount_over_the_logs_and_a_swapped_link) {
    staged_app app(without_netbird());
    app.start();
    const auto size_listed = [&](const std::string& name) -> long {
        for (const auto& entry : nlohmann::json::parse(app.client().get(API + "/logs/list").body))
            if (entry["name"] == name) return entry["size"].get<long>();
        return -1;
    };
    write_file(app.data_dir() / "client.log", "one\n");
    const fs::path other_name = app.dir() / "client-link.log";
    fs::create_hard_link(app.data_dir() / "client.log", other_name);
    EXPECT_EQ(size_listed("client.log"), 4);
    write_file(other_name, "one\ntwo\n");
    EXPECT_EQ(size_listed("client.log"), 8);

    const fs::path mounted = app.dir() / "mounted";
    fs::create_directories(mounted);
    write_file(mounted / "app_2024-01-01.log", "mounted\n");
    ASSERT_EQ(::mount(mounted.c_str(), app.log_dir().c_str(), nullptr, MS_BIND, nullptr), 0);
    EXPECT_EQ(size_listed("app_2024-01-01.log"), 8);
    ::umount2(app.log_dir().c_str(), MNT_DETACH);
    EXPECT_EQ(size_listed("app_2024-01-01.log"), -1);

    const fs::path first = app.dir() / "logs-first";
    const fs::path second = app.dir() / "logs-second";
    fs::rename(app.log_dir(), first);
    fs::create_directory_symlink(first, app.log_dir());
    fs::create_directories(second);
    write_file(second / "app_2024-01-02.log", "second\n");
    EXPECT_EQ(size_listed("app_2024-01-02.log"), -1);
    const fs::path swapped = app.data_dir() / "logs.new";
    fs::create_directory_symlink(second, swapped);
    fs::rename(swapped, app.log_dir());
    EXPECT_EQ(size_listed("app_2024-01-02.log"), 7);
    EXPECT_EQ(app.stop(), 0);
}

}  // namespace
