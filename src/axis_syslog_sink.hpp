#pragma once
// The system-log sink. The camera's log viewer hides LOG_DEBUG, so trace and debug records are
// raised to LOG_INFO; every other level keeps the library's priority.

#include <spdlog/sinks/syslog_sink.h>
#include <syslog.h>

template <typename Mutex>
class axis_syslog_sink : public spdlog::sinks::syslog_sink<Mutex> {
public:
    using spdlog::sinks::syslog_sink<Mutex>::syslog_sink;
    ~axis_syslog_sink() override = default;

    static int priority(spdlog::level::level_enum level) {
        switch (level) {
        case spdlog::level::warn: return LOG_WARNING;
        case spdlog::level::err: return LOG_ERR;
        case spdlog::level::critical: return LOG_CRIT;
        default: return LOG_INFO;  // trace, debug, info, off
        }
    }

protected:
    // spdlog 1.10 keeps its level table private, so the write step is ours, with our table.
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        spdlog::string_view_t payload = msg.payload;
        if (this->enable_formatting_) {
            this->formatter_->format(msg, formatted);
            payload = spdlog::string_view_t(formatted.data(), formatted.size());
        }
        const int length = static_cast<int>(std::min<std::size_t>(payload.size(), INT_MAX));
        ::syslog(priority(msg.level), "%.*s", length, payload.data());
    }
};
