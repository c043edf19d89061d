#include "app_test_fixture.hpp"
#include "harness.hpp"
#include "file_utils.hpp"
#include "log_utils.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

using test_access = application_test_access;
using test_support::date_before_today;
using test_support::read_file;

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// Empty unless the file is a complete gzip stream (zlib would pass other files through as they are).
std::string gunzip(const fs::path& path) {
    const gzFile in = ::gzopen(path.c_str(), "rb");
    if (in == nullptr) return {};
    std::string content;
    char chunk[4096];
    int got = 0;
    while ((got = ::gzread(in, chunk, sizeof chunk)) > 0) content.append(chunk, static_cast<std::size_t>(got));
    const bool compressed = ::gzdirect(in) == 0;
    const bool closed = ::gzclose(in) == Z_OK;
    return got == 0 && compressed && closed ? content : std::string{};
}

// Large enough to take several compression chunks, varied enough to be worth checking.
std::string sample_log(std::size_t lines) {
    std::string text;
    for (std::size_t i = 0; i < lines; ++i) text += "[I] line " + std::to_string(i * 7919 % 100003) + "\n";
    return text;
}

class logs : public app_test_fixture {
protected:
    logs() { fs::create_directories(log_dir()); }

    fs::path log_dir() const { return data_dir() / "logs"; }

    std::vector<std::string> files_in_log_dir() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(log_dir())) names.push_back(entry.path().filename().string());
        return sorted(std::move(names));
    }

    application app{"ovra_vpn", dir};
};

TEST_F(logs, compression_archives_finished_days_of_both_families_only) {
    const std::string yesterday = date_before_today(1);
    const std::string today = date_before_today(0);
    const std::string app_content = sample_log(20000);
    write_file(log_dir() / ("app_" + yesterday + ".log"), app_content);
    write_file(log_dir() / ("netbird_" + yesterday + ".log"), "service line\n");
    write_file(log_dir() / ("app_" + today + ".log"), "still being written\n");
    write_file(log_dir() / "app_9999-99-99.log", "from the future\n");
    write_file(log_dir() / ("notes_" + yesterday + ".log"), "not ours\n");
    write_file(log_dir() / "client.log", "not daily\n");

    test_access::compress_daily_logs(app);

    ASSERT_GT(app_content.size(), 64u * 1024);
    EXPECT_EQ(gunzip(log_dir() / ("app_" + yesterday + ".log.gz")), app_content);
    EXPECT_EQ(gunzip(log_dir() / ("netbird_" + yesterday + ".log.gz")), "service line\n");
    const std::vector<std::string> expected{"app_" + today + ".log",      "app_" + yesterday + ".log.gz",
                                            "app_9999-99-99.log",         "client.log",
                                            "netbird_" + yesterday + ".log.gz", "notes_" + yesterday + ".log"};
    EXPECT_EQ(files_in_log_dir(), sorted(expected));
}

TEST_F(logs, compression_redoes_an_interrupted_run_and_keeps_the_log_when_it_cannot_finish) {
    const std::string interrupted = "app_" + date_before_today(2) + ".log";
    write_file(log_dir() / interrupted, "complete day\n");
    write_file(log_dir() / (interrupted + ".gz.tmp"), "half an archive");
    // A directory where the archive should go makes the final rename fail.
    const std::string blocked = "netbird_" + date_before_today(3) + ".log";
    write_file(log_dir() / blocked, "kept\n");
    fs::create_directory(log_dir() / (blocked + ".gz"));

    test_access::compress_daily_logs(app);

    EXPECT_EQ(gunzip(log_dir() / (interrupted + ".gz")), "complete day\n");
    EXPECT_FALSE(fs::exists(log_dir() / interrupted));
    EXPECT_FALSE(fs::exists(log_dir() / (interrupted + ".gz.tmp")));
    EXPECT_EQ(read_file(log_dir() / blocked), "kept\n");
    EXPECT_FALSE(fs::exists(log_dir() / (blocked + ".gz.tmp")));
}

TEST_F(logs, pruning_keeps_the_last_days_whatever_the_prefix_and_leaves_undated_files) {
    // 40 days always reach into an earlier month, so the cutoff needs the calendar.
    const std::string kept_oldest = date_before_today(39);
    const std::string dropped_newest = date_before_today(40);
    for (const std::string& name : {"app_" + kept_oldest + ".log", "netbird_" + kept_oldest + ".log.gz",
                                    "app_" + dropped_newest + ".log.gz", "netbird_" + dropped_newest + ".log",
                                    "notes_" + dropped_newest + ".log", "app_2001-01-01.log"s, "client.log"s,
                                    "app.log"s, "readme.txt"s, "app_9999-99-99.log"s})
        write_file(log_dir() / name, "x");

    test_access::prune_daily_logs(app, 40);

    const std::vector<std::string> expected{"app.log",
                                            "app_" + kept_oldest + ".log",
                                            "app_9999-99-99.log",
                                            "client.log",
                                            "netbird_" + kept_oldest + ".log.gz",
                                            "readme.txt"};
    EXPECT_EQ(files_in_log_dir(), sorted(expected));
}

TEST_F(logs, pruning_without_a_positive_retention_keeps_today) {
    for (const int days : {1, 0, -5}) {
        write_file(log_dir() / ("app_" + date_before_today(0) + ".log"), "x");
        write_file(log_dir() / ("app_" + date_before_today(1) + ".log"), "x");
        test_access::prune_daily_logs(app, days);
        EXPECT_EQ(files_in_log_dir(), std::vector<std::string>{"app_" + date_before_today(0) + ".log"}) << days;
    }
}

TEST_F(logs, list_puts_app_files_first_and_newest_first_within_each_source) {
    const std::string c = "2024-01-31";
    const std::string d = "2024-02-01";
    for (const std::string& name :
         {"app_" + c + ".log", "app_" + c + ".log.gz", "app_" + d + ".log", "netbird_" + c + ".log.gz",
          "netbird_" + d + ".log", "notes_" + d + ".log", "client.log"s})
        write_file(log_dir() / name, "x");
    write_file(log_dir() / ("app_" + c + ".log"), "12345");
    fs::create_directory(log_dir() / "app_2024-03-01.log");
    write_file(data_dir() / "client.log", "abc");
    write_file(data_dir() / "client-2026-05-21T10-30-45.000.log.gz", "z");
    write_file(data_dir() / "client-2025-01-01T00-00-00.000.log.gz", "z");
    write_file(data_dir() / "config.json", "{}");

    const auto list = nlohmann::json::parse(test_access::build_logs_list_json(app));

    std::vector<std::string> order;
    for (const auto& entry : list) order.push_back(entry["source"].get<std::string>() + ":" + entry["name"].get<std::string>());
    const std::vector<std::string> expected{"app:app_" + d + ".log",
                                            "app:app_" + c + ".log.gz",
                                            "app:app_" + c + ".log",
                                            "netbird:netbird_" + d + ".log",
                                            "netbird:netbird_" + c + ".log.gz",
                                            "netbird:client.log",
                                            "netbird:client-2026-05-21T10-30-45.000.log.gz",
                                            "netbird:client-2025-01-01T00-00-00.000.log.gz"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(list[2]["size"], 5);
    EXPECT_EQ(list[5]["size"], 3);
    // Written just now: the date the page shows is today's, not the one in the name.
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    EXPECT_NEAR(list[2]["modified"].get<double>(), static_cast<double>(now), 300.0);
}

TEST_F(logs, list_is_an_empty_array_without_log_directories) {
    fs::remove_all(data_dir());
    EXPECT_EQ(test_access::build_logs_list_json(app), "[]");
}

TEST_F(logs, resolve_serves_each_family_from_its_own_directory) {
    write_file(log_dir() / "app_2024-02-01.log", "x");
    write_file(log_dir() / "netbird_2024-02-01.log.gz", "x");
    write_file(data_dir() / "client.log", "x");
    write_file(data_dir() / "client-1.log.gz", "x");

    EXPECT_EQ(test_access::resolve_log_file(app, "app", "app_2024-02-01.log"), log_dir() / "app_2024-02-01.log");
    EXPECT_EQ(test_access::resolve_log_file(app, "netbird", "netbird_2024-02-01.log.gz"),
              log_dir() / "netbird_2024-02-01.log.gz");
    EXPECT_EQ(test_access::resolve_log_file(app, "netbird", "client.log"), data_dir() / "client.log");
    EXPECT_EQ(test_access::resolve_log_file(app, "netbird", "client-1.log.gz"), data_dir() / "client-1.log.gz");
    // Names of the other source's family, or of no source, are refused even though the file exists.
    EXPECT_FALSE(test_access::resolve_log_file(app, "app", "client.log"));
    EXPECT_FALSE(test_access::resolve_log_file(app, "netbird", "app_2024-02-01.log"));
    EXPECT_FALSE(test_access::resolve_log_file(app, "", "app_2024-02-01.log"));
    EXPECT_FALSE(test_access::resolve_log_file(app, "APP", "app_2024-02-01.log"));
}

TEST_F(logs, resolve_refuses_unsafe_names_even_where_a_file_exists) {
    // Each name fits a family by its ends. These lead out of the logs directory:
    write_file(data_dir() / "x_2024-02-01.log", "outside the logs directory");
    fs::create_directories(log_dir() / "app_x");
    write_file(log_dir() / "app_x" / "y_2024-02-01.log", "in a subdirectory");
    for (const char* name : {"app_x/../../x_2024-02-01.log", "app_x/y_2024-02-01.log"})
        EXPECT_FALSE(test_access::resolve_log_file(app, "app", name)) << name;
    // These are legal Linux names that must never reach a download header.
    for (const char* name : {"app_\\_2024-02-01.log", "app_\"_2024-02-01.log", "app_\x01_2024-02-01.log",
                             "app_\x7f_2024-02-01.log", "app_.._2024-02-01.log"}) {
        write_file(log_dir() / name, "x");
        EXPECT_FALSE(test_access::resolve_log_file(app, "app", name)) << name;
    }
}

TEST_F(logs, resolve_considers_only_existing_regular_files_of_at_most255_bytes) {
    const std::string longest = "app_" + std::string(236, 'a') + "_2024-02-01.log";
    ASSERT_EQ(longest.size(), 255u);
    write_file(log_dir() / longest, "x");
    fs::create_directory(log_dir() / "app_2024-02-02.log");

    EXPECT_EQ(test_access::resolve_log_file(app, "app", longest), log_dir() / longest);
    EXPECT_FALSE(test_access::resolve_log_file(app, "app", "app_2024-02-02.log"));
    EXPECT_FALSE(test_access::resolve_log_file(app, "app", "app_2024-02-03.log"));
}

// The list is kept between requests; every change a listed file can undergo must still show in
// the next answer, byte for byte as a fresh listing gives it.
TEST_F(logs, list_shows_every_change_of_the_listed_files_at_once) {
    const std::string today = date_before_today(0);
    const fs::path app_log = log_dir() / ("app_" + today + ".log");
    const auto size_of = [&](const std::string& name) -> long {
        for (const auto& entry : nlohmann::json::parse(test_access::build_logs_list_json(app)))
            if (entry["name"] == name) return entry["size"].get<long>();
        return -1;
    };
    write_file(app_log, "12");
    write_file(data_dir() / "client.log", "abc");
    EXPECT_EQ(size_of(app_log.filename()), 2);
    EXPECT_EQ(size_of("client.log"), 3);

    std::ofstream(app_log, std::ios::app) << "345";  // appends leave the directory as it was
    std::ofstream(data_dir() / "client.log", std::ios::app) << "d";
    EXPECT_EQ(size_of(app_log.filename()), 5);
    EXPECT_EQ(size_of("client.log"), 4);

    fs::resize_file(app_log, 1);
    EXPECT_EQ(size_of(app_log.filename()), 1);
    fs::rename(app_log, log_dir() / "app_2024-01-01.log");
    EXPECT_EQ(size_of(app_log.filename()), -1);
    EXPECT_EQ(size_of("app_2024-01-01.log"), 1);
    write_file(data_dir() / "client-1.log.gz", "zz");
    EXPECT_EQ(size_of("client-1.log.gz"), 2);
    fs::remove(data_dir() / "client.log");
    EXPECT_EQ(size_of("client.log"), -1);

    // Gone and made again: the new directory is listed, not the old one's last state.
    fs::remove_all(log_dir());
    EXPECT_EQ(size_of("app_2024-01-01.log"), -1);
    fs::create_directory(log_dir());
    write_file(log_dir() / ("netbird_" + today + ".log"), "n");
    EXPECT_EQ(size_of("netbird_" + today + ".log"), 1);
    write_file(data_dir() / "app.json", "{}");  // not a log: the same document
    EXPECT_EQ(test_access::build_logs_list_json(app), test_access::build_logs_list_json(application("ovra_vpn", dir)));
}

// A link named like a log may point anywhere (the password file, a device): it is a log of nothing.
TEST_F(logs, links_named_like_logs_are_neither_listed_served_compressed_nor_pruned) {
    const std::string yesterday = "app_" + date_before_today(1) + ".log";
    const std::string old = "netbird_2000-01-01.log";
    write_file(dir / "secret", "not a log");
    fs::create_symlink(dir / "secret", log_dir() / yesterday);
    fs::create_symlink(dir / "secret", log_dir() / old);
    fs::create_symlink(dir / "secret", data_dir() / "client-1.log.gz");
    fs::create_symlink("/dev/zero", data_dir() / "client.log");

    EXPECT_EQ(test_access::build_logs_list_json(app), "[]");
    EXPECT_FALSE(test_access::resolve_log_file(app, "app", yesterday));
    EXPECT_FALSE(test_access::resolve_log_file(app, "netbird", "client-1.log.gz"));
    EXPECT_FALSE(test_access::resolve_log_file(app, "netbird", "client.log"));
    test_access::compress_daily_logs(app);
    test_access::prune_daily_logs(app, 1);
    EXPECT_EQ(files_in_log_dir(), sorted({yesterday, old}));
    EXPECT_TRUE(fs::is_symlink(log_dir() / yesterday));
    EXPECT_EQ(read_file(dir / "secret"), "not a log");
}

// Requests keep listing and reading while a large finished day is compressed: each listed file
// reads whole, with the listed size, as the plain log or as a complete archive of it.
TEST_F(logs, files_under_compression_are_never_listed_or_served_half_written) {
    const std::string name = "app_" + date_before_today(1) + ".log";
    const std::string content = sample_log(600000);
    write_file(log_dir() / name, content);
    std::atomic<bool> done{false};
    std::thread compression([&] {
        test_access::compress_daily_logs(app);
        done = true;
    });
    while (!done) {
        for (const auto& entry : nlohmann::json::parse(test_access::build_logs_list_json(app))) {
            const std::string listed = entry["name"];
            ASSERT_TRUE(listed == name || listed == name + ".gz") << listed;
            const auto path = test_access::resolve_log_file(app, "app", listed);
            if (!path) continue;  // gone since the listing: answered as not found
            const file_utils::unique_fd fd = file_utils::open_regular_file(path->c_str());
            if (!fd) continue;
            std::string got;
            ASSERT_TRUE(file_utils::read_up_to(fd.get(), got, SIZE_MAX));
            if (listed == name) {
                ASSERT_EQ(got, content);
            } else {
                ASSERT_EQ(got.size(), entry["size"].get<std::size_t>());
                ASSERT_EQ(gunzip(*path), content);
            }
        }
    }
    compression.join();
    EXPECT_EQ(files_in_log_dir(), std::vector<std::string>{name + ".gz"});
    EXPECT_EQ(gunzip(log_dir() / (name + ".gz")), content);
}

TEST_F(logs, storage_reports_the_data_file_system_and_zeros_when_it_is_missing) {
    const auto report = nlohmann::json::parse(test_access::build_storage_json(app));
    const fs::space_info space = fs::space(data_dir());
    EXPECT_EQ(report["total"], space.capacity);
    EXPECT_LE(report["free"].get<std::uintmax_t>(), space.capacity);
    EXPECT_EQ(report["used_pct"], log_utils::used_percent(space.capacity, report["free"].get<std::uintmax_t>()));

    fs::remove_all(data_dir());
    EXPECT_EQ(test_access::build_storage_json(app), R"({"free":0,"total":0,"used_pct":0})");
}

}  // namespace
