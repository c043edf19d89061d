// Start-up, the API socket and the ways the process ends.

#include "harness.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace test_support;
namespace fs = std::filesystem;

namespace {

TEST(spine, serves_a_world_writable_socket_and_ends_cleanly_on_each_termination_signal) {
    for (const int signal_number : {SIGTERM, SIGINT}) {
        syslog_capture syslog;
        staged_app app;
        app.start();
        struct stat info{};
        ASSERT_EQ(::stat(API_SOCKET.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0666);
        EXPECT_EQ(app.client().get(API + "/nope").status, 404);

        EXPECT_EQ(app.stop(signal_number), 0);
        EXPECT_TRUE(syslog.contains("[I] Signal " + std::to_string(signal_number) + " received, shutting down"));
        EXPECT_TRUE(syslog.contains("API server listening on " + API_SOCKET));
        EXPECT_FALSE(syslog.contains("Exiting gracefully"));
        EXPECT_FALSE(syslog.contains("Exiting after error"));
    }
}

TEST(spine, a_stale_socket_file_is_replaced) {
    write_file(API_SOCKET, "left over from a crash");
    staged_app app;
    app.start();
    EXPECT_EQ(app.client().get(API + "/nope").status, 404);
    EXPECT_EQ(app.stop(), 0);
}

TEST(spine, a_data_directory_that_is_a_file_stops_start_up_with_status_1) {
    syslog_capture syslog;
    staged_app app;
    write_file(app.data_dir(), "not a directory");
    app.launch();
    EXPECT_EQ(app.wait_exit(), 1);
    EXPECT_TRUE(syslog.contains("[E] Standard exception: Unable to create localdata directory"));
    EXPECT_TRUE(syslog.contains("[E] Exiting after error"));
    EXPECT_THROW(app.client().get(API + "/status"), std::runtime_error);  // nothing listens
    EXPECT_FALSE(syslog.contains("VPN service started"));
}

TEST(spine, a_failed_listen_is_logged_and_ends_with_status_0) {
    syslog_capture syslog;
    fs::remove_all(fs::path(API_SOCKET).parent_path());
    write_file(fs::path(API_SOCKET).parent_path(), "a file where the socket directory belongs");
    staged_app app;
    app.launch();
    EXPECT_EQ(app.wait_exit(), 0);
    const auto lines = syslog.lines();
    const auto position = [&](std::string_view text) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    };
    const int failed = position("[E] Failed to listen on " + API_SOCKET);
    const int graceful = position("[I] Exiting gracefully");
    ASSERT_GE(failed, 0);
    EXPECT_GT(graceful, failed);
}

}  // namespace
