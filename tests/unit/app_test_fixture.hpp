#pragma once
// A temporary application directory for unit tests of application methods, with a NetBird
// stand-in written as a shell script, and a capture of what the default logger writes.

#include "application_test_access.hpp"
#include "harness.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <sstream>

using test_support::write_file;

class app_test_fixture : public ::testing::Test {
protected:
    app_test_fixture() {
        char pattern[] = "/tmp/ovra_unit_XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        std::filesystem::create_directories(dir / "lib");
        std::filesystem::create_directories(dir / "localdata");
        // Here on the main thread, as the daemon sets up logging before it starts any thread:
        // ThreadSanitizer cannot see the guard of spdlog's lazily made registry (the library is not
        // instrumented), so a first log call on a reader thread would be reported as a race.
        m_previous_logger = spdlog::default_logger();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(m_log);
        sink->set_pattern("[%L] %v");
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));
    }

    ~app_test_fixture() override {
        spdlog::set_default_logger(m_previous_logger);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::filesystem::path netbird_path() const { return dir / "lib" / "netbird"; }
    std::filesystem::path data_dir() const { return dir / "localdata"; }

    // Installs a /bin/sh script as lib/netbird.
    void install_netbird(const std::string& body) const {
        write_file(netbird_path(), "#!/bin/sh\n" + body + "\n");
        std::filesystem::permissions(netbird_path(), std::filesystem::perms::owner_all);
    }

    // Everything logged so far, one "[L] message" line each.
    std::string log() {
        spdlog::default_logger()->flush();
        return m_log.str();
    }

    std::filesystem::path dir;

private:
    std::ostringstream m_log;
    std::shared_ptr<spdlog::logger> m_previous_logger;
};
