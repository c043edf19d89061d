#pragma once
// Helpers shared by the API handlers of every subsystem.

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "http_server.hpp"

namespace api_helpers {

// The largest form body a handler takes.
inline constexpr std::size_t MAX_BODY_BYTES = 8192;

// A decoded form body: field name to value.
using form = std::map<std::string, std::string>;

// Compact, keys in byte order, invalid UTF-8 replaced by U+FFFD: the one form of every JSON answer.
std::string dump_json(const nlohmann::json& value);

// {"error": message}
std::string error_json(std::string_view message);

// One complete JSON answer: the status, "Content-Type: application/json", "Cache-Control: no-store"
// when asked, then the body; the connection stays open.
void write_json(const http_server::response_ptr& res, std::string_view body, http_server::status code,
                bool no_store);

// Appends a body chunk unless the body would pass MAX_BODY_BYTES; then answers 413 once and drops
// the rest. Returns whether the chunk was taken.
bool accumulate_body(std::string& body, std::string_view chunk, bool& rejected,
                     const http_server::response_ptr& res);

// A flag that turns true when the client goes away before the answer.
std::shared_ptr<std::atomic<bool>> make_abort_guard(const http_server::response_ptr& res);

// Collects a form body (bounded, 413 beyond MAX_BODY_BYTES), then calls on_form on the loop;
// not when the client went away first.
void read_form(const http_server::response_ptr& res, std::function<void(form fields)> on_form);

}  // namespace api_helpers
