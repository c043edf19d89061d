// Start-up, the API socket and the ways the process ends.

#include "harness.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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
    EXPECT_TRUE(syslog.contains("[E] Traced exception: Unable to create localdata directory"));
    // The stack where start-up failed follows, one frame a line.
    EXPECT_TRUE(syslog.contains("[E]  0# "));
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

TEST(spine, a_second_daemon_leaves_a_live_socket_alone_and_a_dead_one_is_replaced) {
    staged_app first;
    first.start();
    struct stat served{};
    ASSERT_EQ(::stat(API_SOCKET.c_str(), &served), 0);

    staged_app second;
    second.launch();
    EXPECT_EQ(second.wait_exit(), 1);
    const std::string log = second.app_log();
    EXPECT_NE(log.find("[E] Traced exception: API socket " + API_SOCKET + " is in use by a running instance"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[E] Exiting after error"), std::string::npos);
    EXPECT_EQ(log.find("VPN service started"), std::string::npos);
    struct stat after{};
    ASSERT_EQ(::stat(API_SOCKET.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, served.st_ino);
    EXPECT_EQ(first.client().get(API + "/nope").status, 404);

    first.stop(SIGKILL);  // its socket file stays behind, with no one listening on it
    ASSERT_TRUE(fs::exists(API_SOCKET));
    second.start();
    EXPECT_EQ(second.client().get(API + "/nope").status, 404);
    EXPECT_EQ(second.stop(), 0);
}

// The exit status of a daemon that could not be given the filter below (an emulator refuses it).
constexpr int FILTER_REFUSED = 99;

// In the daemon's process, before its exec: every eventfd fails as if descriptors had run out.
void refuse_eventfd() {
    const auto statement = [](unsigned code, std::uint32_t value) {
        return sock_filter{static_cast<std::uint16_t>(code), 0, 0, value};
    };
    sock_filter filter[] = {
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        sock_filter{BPF_JMP | BPF_JEQ | BPF_K, 0, 1, __NR_eventfd2},
        statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(FILTER_REFUSED);
}

TEST(spine, without_an_event_descriptor_a_failed_listen_still_ends_the_daemon) {
    syslog_capture syslog;
    fs::remove_all(fs::path(API_SOCKET).parent_path());
    write_file(fs::path(API_SOCKET).parent_path(), "a file where the socket directory belongs");
    staged_app::options options;
    options.before_exec = refuse_eventfd;
    staged_app app(options);
    app.launch();
    const int status = app.wait_exit();
    if (status == FILTER_REFUSED) GTEST_SKIP() << "system-call filters are refused here";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(syslog.contains("[W] Failed to create eventfd: Too many open files"));
    EXPECT_TRUE(syslog.contains("[I] Exiting gracefully"));
}

}  // namespace
