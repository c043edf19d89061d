// Debug bundle download and upload through the daemon, with the simulator writing real zips into a
// directory of the test's own (its TMPDIR) and recording every command line.

#include "harness.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

using namespace test_support;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string DOWNLOAD = API + "/debug-bundle";
const std::string UPLOAD = API + "/debug-bundle/upload";

class debug_bundle : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ovra-bundles-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_bundle_dir = pattern;
    }

    void TearDown() override { fs::remove_all(m_bundle_dir); }

    staged_app::options options(std::vector<std::pair<std::string, std::string>> extra_env = {}) const {
        staged_app::options opts;
        opts.env = {{"TMPDIR", m_bundle_dir.string()}, {"NB_SIM_RECORD", record_path().string()}};
        opts.env.insert(opts.env.end(), extra_env.begin(), extra_env.end());
        return opts;
    }

    // Bundles need the NetBird service, which comes up beside the API.
    static void start_with_service(staged_app& app) {
        app.start();
        ASSERT_TRUE(wait_for([&] { return fs::exists(app.data_dir() / "netbird.sock"); }));
    }

    fs::path record_path() const { return m_bundle_dir / "record.jsonl"; }

    std::vector<std::vector<std::string>> bundle_command_lines() const {
        std::vector<std::vector<std::string>> lines;
        std::istringstream record(read_file(record_path()));
        for (std::string line; std::getline(record, line);) {
            const auto argv = json::parse(line)["argv"].get<std::vector<std::string>>();
            if (std::find(argv.begin(), argv.end(), "bundle") != argv.end()) lines.push_back(argv);
        }
        return lines;
    }

    std::vector<fs::path> zips_left() const {
        std::vector<fs::path> zips;
        for (const auto& entry : fs::directory_iterator(m_bundle_dir))
            if (entry.path().extension() == ".zip") zips.push_back(entry.path());
        return zips;
    }

    // The completion deletes the file right after writing the answer, so allow it a moment.
    bool no_zip_left() const {
        return wait_for([this] { return zips_left().empty(); });
    }

    fs::path m_bundle_dir;
};

std::vector<std::string> tail(const std::vector<std::string>& argv, std::size_t count) {
    return {argv.end() - static_cast<std::ptrdiff_t>(std::min(count, argv.size())), argv.end()};
}

TEST_F(debug_bundle, a_download_is_the_simulators_zip_and_only_anonymize_1_or_true_anonymises) {
    staged_app app(options());
    start_with_service(app);

    const http_reply reply = app.client().get(DOWNLOAD);
    ASSERT_EQ(reply.status, 200) << reply.body;
    std::vector<std::pair<std::string, std::string>> own_headers;
    std::copy_if(reply.headers.begin(), reply.headers.end(), std::back_inserter(own_headers), [](const auto& header) {
        return header.first == "Content-Type" || header.first == "Content-Disposition" ||
               header.first == "Cache-Control";
    });
    EXPECT_EQ(own_headers, (std::vector<std::pair<std::string, std::string>>{
                               {"Content-Type", "application/zip"},
                               {"Content-Disposition", "attachment; filename=\"netbird-debug-bundle.zip\""},
                               {"Cache-Control", "no-store"}}));
    EXPECT_EQ(reply.body.rfind("PK\x03\x04", 0), 0u);
    EXPECT_NE(reply.body.find("status.txt"), std::string::npos);
    EXPECT_NE(reply.body.find("PK\x05\x06"), std::string::npos);  // the archive's end record
    EXPECT_TRUE(no_zip_left());

    const std::pair<const char*, bool> queries[] = {
        {"?anonymize=true", true}, {"?anonymize=1", true}, {"?anonymize=yes", false}, {"?anonymize=TRUE", false},
    };
    for (const auto& [query, anonymize] : queries) ASSERT_EQ(app.client().get(DOWNLOAD + query).status, 200) << query;
    const auto lines = bundle_command_lines();
    ASSERT_EQ(lines.size(), 1 + std::size(queries));
    EXPECT_EQ(tail(lines[0], 2), (std::vector<std::string>{"debug", "bundle"}));
    for (std::size_t i = 0; i < std::size(queries); ++i) {
        const auto& argv = lines[i + 1];
        EXPECT_EQ(std::find(argv.begin(), argv.end(), "--anonymize") != argv.end(), queries[i].second)
            << queries[i].first;
    }
}

TEST_F(debug_bundle, an_upload_answers_the_key_and_leaves_no_file) {
    staged_app app(options());
    start_with_service(app);

    const http_reply reply = app.client().post(UPLOAD + "?anonymize=1");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
    const json answer = json::parse(reply.body);
    EXPECT_EQ(answer["exit_code"], 0);
    EXPECT_EQ(answer["ok"], true);
    const std::string key = answer["key"];
    EXPECT_TRUE(std::regex_match(key, std::regex("[0-9a-f]{64}/[0-9a-f-]{36}"))) << key;
    EXPECT_NE(answer["output"].get<std::string>().find("Upload file key:\n" + key + "\n"), std::string::npos);
    EXPECT_TRUE(no_zip_left());
    const auto lines = bundle_command_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(tail(lines[0], 4), (std::vector<std::string>{"debug", "bundle", "--upload-bundle", "--anonymize"}));
}

TEST_F(debug_bundle, a_failed_command_is_a_500_download_and_a_failed_upload_document) {
    syslog_capture syslog;
    staged_app::options without_netbird = options();
    without_netbird.with_netbird = false;
    staged_app app(without_netbird);
    app.start();

    const http_reply download = app.client().get(DOWNLOAD);
    EXPECT_EQ(download.status_line, "500 Internal Server Error");
    EXPECT_EQ(download.body, R"({"error":"Debug bundle failed"})");
    EXPECT_EQ(download.header("Content-Type"), "application/json");
    EXPECT_EQ(download.header("Cache-Control"), "no-store");
    EXPECT_TRUE(wait_for([&] { return syslog.contains("[W] Debug bundle generation failed (exit 127)"); }));

    const http_reply upload = app.client().post(UPLOAD);
    EXPECT_EQ(upload.status, 200);
    EXPECT_EQ(upload.body, R"({"exit_code":127,"key":"","ok":false,"output":"VPN CLI not found"})");
}

TEST_F(debug_bundle, the_file_is_removed_also_when_the_client_has_gone) {
    staged_app app(options({{"NB_SIM_DELAY_MS", "500"}}));
    start_with_service(app);
    {
        http_client leaving;
        leaving.send_raw("GET " + DOWNLOAD + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        ASSERT_TRUE(wait_for([&] { return bundle_command_lines().size() == 1; }));
    }
    // Jobs run in order, so once this answer has come the first completion has run too.
    EXPECT_EQ(app.client().get(DOWNLOAD).status, 200);
    EXPECT_TRUE(no_zip_left());
    const std::string client_log = read_file(app.data_dir() / "client.log");
    const std::string finished = "debug bundle created: ";
    std::size_t bundles_written = 0;
    for (auto at = client_log.find(finished); at != std::string::npos; at = client_log.find(finished, at + 1))
        ++bundles_written;
    EXPECT_EQ(bundles_written, 2u);
}

TEST_F(debug_bundle, a_download_while_eight_commands_wait_is_refused_at_once) {
    staged_app app(options({{"NB_SIM_DELAY_MS", "3000"}}));
    start_with_service(app);
    std::vector<std::unique_ptr<http_client>> waiting;
    const auto ask_in_background = [&] {
        waiting.push_back(std::make_unique<http_client>());
        waiting.back()->send_raw("GET " + DOWNLOAD + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    };
    ask_in_background();
    ASSERT_TRUE(wait_for([&] { return bundle_command_lines().size() == 1; }));  // taken off the queue
    // Eight fill the queue and one finds it full, whichever the daemon reads last. Its answer comes
    // first: the others wait seconds each behind the bundle being made.
    for (int i = 0; i < 9; ++i) ask_in_background();
    const auto first_answered = [&] {
        return std::find_if(waiting.begin() + 1, waiting.end(), [](const auto& client) { return client->has_input(); });
    };
    ASSERT_TRUE(wait_for([&] { return first_answered() != waiting.end(); }));

    const http_reply refused = (*first_answered())->read_reply();
    EXPECT_EQ(refused.status_line, "503 Service Unavailable");
    EXPECT_EQ(refused.body, R"({"exit_code":503,"ok":false,"output":"VPN service busy"})");
    EXPECT_EQ(refused.header("Cache-Control"), "no-store");
    EXPECT_EQ(app.stop(), 0);
}

// The client's own zips in the test's temporary directory, unlike anything else there.
std::vector<std::string> client_zips(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().starts_with("netbird.debug.")) names.push_back(entry.path().filename());
    return names;
}

TEST_F(debug_bundle, zips_the_service_was_writing_go_at_start_up_after_a_restart_and_at_shutdown) {
    write_file(m_bundle_dir / "netbird.debug.4711.zip", "PK");
    write_file(m_bundle_dir / "someone-elses.zip", "PK");
    // The service holds each bundle request for longer than a watchdog period after its zip exists,
    // as a long one would.
    staged_app app(options({{"NB_SIM_BUNDLE_SLOW_MS", "6000"}}));
    start_with_service(app);
    EXPECT_TRUE(client_zips(m_bundle_dir).empty()) << "an earlier run's leftover";
    EXPECT_TRUE(fs::exists(m_bundle_dir / "someone-elses.zip"));

    http_client downloading;
    downloading.send_request("GET", DOWNLOAD);
    ASSERT_TRUE(wait_for([&] { return client_zips(m_bundle_dir).size() == 1; }));
    ASSERT_EQ(app.client().post(API + "/restart").body, R"({"running":true})");
    EXPECT_EQ(downloading.read_reply().status_line, "500 Internal Server Error");
    // The answer goes out just before the sweep.
    EXPECT_TRUE(wait_for([&] { return client_zips(m_bundle_dir).empty(); }, 2s));

    // The sweeps that follow a failed bundle leave the zip of the next one alone.
    ASSERT_TRUE(wait_for([&] { return fs::exists(app.data_dir() / "netbird.sock"); }));
    EXPECT_EQ(app.client().get(DOWNLOAD).status, 200);
    EXPECT_TRUE(wait_for([&] { return client_zips(m_bundle_dir).empty(); }, 2s));

    downloading.send_request("GET", DOWNLOAD);
    ASSERT_TRUE(wait_for([&] { return client_zips(m_bundle_dir).size() == 1; }));
    EXPECT_EQ(app.stop(SIGTERM), 0);
    EXPECT_TRUE(client_zips(m_bundle_dir).empty());
    EXPECT_TRUE(fs::exists(m_bundle_dir / "someone-elses.zip"));
}

TEST_F(debug_bundle, a_timed_out_bundle_leaves_no_zip) {
    // Limit seconds of 100 ms: the bundle's minute passes in 6 s.
    staged_app app(options({{"NB_SIM_BUNDLE_SLOW_MS", "100000"}, {"OVRA_TEST_LIMIT_SECOND_MS", "100"}}));
    start_with_service(app);

    const http_reply reply = app.client().get(DOWNLOAD);
    EXPECT_EQ(reply.status_line, "500 Internal Server Error");
    EXPECT_TRUE(client_zips(m_bundle_dir).empty());
}

}  // namespace
