// Process entry and the last-resort error handler.

#include "application.hpp"
#include "axis_syslog_sink.hpp"
#include "traced_exception.hpp"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <malloc.h>
#include <mutex>
#include <spdlog/spdlog.h>

namespace {

// An exception that escapes on a thread other than main ends here: say what and where, then abort.
[[noreturn]] void print_and_abort() {
    if (const auto current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            std::cerr << "Terminate called after throwing: " << e.what() << '\n';
        } catch (...) {
            std::cerr << "Terminate called after throwing an unknown exception\n";
        }
    }
    std::cerr << boost::stacktrace::stacktrace();
    std::abort();
}

void log_lines(const std::string& text) {
    std::string::size_type start = 0;
    for (;;) {
        const auto newline = text.find('\n', start);
        spdlog::error("{}", text.substr(start, newline - start));
        if (newline == std::string::npos) return;
        start = newline + 1;
    }
}

[[noreturn]] void handle_exception() {
    try {
        throw;
    } catch (const traced_exception& e) {
        spdlog::error("Traced exception: {}", e.what());
        log_lines(e.trace_text());
    } catch (const std::exception& e) {
        spdlog::error("Standard exception: {}", e.what());
    } catch (...) {
        spdlog::error("Unknown exception!");
    }
    spdlog::error("Exiting after error");
    std::exit(1);
}

// Buffers from LARGE_BUFFER_BYTES up (log tails and downloads, debug bundles, large status
// documents) get mappings of their own, which go back to the system when freed. glibc would raise
// this threshold after the first such buffer is freed; the heap then holds them, and after a burst
// of them it stays as large as the burst was.
void keep_large_buffers_out_of_the_heap() {
    constexpr int LARGE_BUFFER_BYTES = 128 * 1024;
    ::mallopt(M_MMAP_THRESHOLD, LARGE_BUFFER_BYTES);
}

}  // namespace

int main() {
    try {
        // A write to a closed pipe (a console that went away) fails with EPIPE instead of ending
        // the daemon; children get the default action back before they run.
        std::signal(SIGPIPE, SIG_IGN);
        std::set_terminate(print_and_abort);
        keep_large_buffers_out_of_the_heap();
        auto sink = std::make_shared<axis_syslog_sink<std::mutex>>("ovra_vpn", LOG_PID, LOG_USER, true);
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("axis_syslog_logger", sink));
        spdlog::set_pattern("[%L] %v", spdlog::pattern_time_type::local);

        application app("ovra_vpn");
        app.setup_file_logging();
        spdlog::info("-------------------- Application start --------------------");
        app.run();
        if (!app.stopped_by_signal()) spdlog::info("Exiting gracefully");
        return 0;
    } catch (...) {
        handle_exception();
    }
}
