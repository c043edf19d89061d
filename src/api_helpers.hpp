#pragma once
// Helpers shared by the API handlers of every subsystem.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "http_server.hpp"

// Compact, keys in byte order, invalid UTF-8 replaced by U+FFFD: the one form of every JSON answer.
std::string dump_json(const nlohmann::json& value);

// {"error": message}
std::string error_json(std::string_view message);

// Appends a body chunk unless the body would pass the limit; then answers 413 once and drops the
// rest. Returns whether the chunk was taken.
bool accumulate_body(std::string& body, std::string_view chunk, bool& rejected,
                     const http_server::response_ptr& res);
