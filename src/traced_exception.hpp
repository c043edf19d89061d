#pragma once
// An exception that remembers the stack where it was thrown, for the last-resort handler.

#include <boost/stacktrace.hpp>
#include <sstream>
#include <stdexcept>
#include <string>

class traced_exception : public std::runtime_error {
public:
    explicit traced_exception(const std::string& message)
        : std::runtime_error(message), m_trace(boost::stacktrace::stacktrace()) {}

    std::string trace_text() const {
        std::ostringstream text;
        text << m_trace;
        return text.str();
    }

private:
    boost::stacktrace::stacktrace m_trace;
};
