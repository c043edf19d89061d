#include "api_helpers.hpp"

#include "text_utils.hpp"

namespace api_helpers {

std::string dump_json(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string error_json(std::string_view message) {
    return dump_json(nlohmann::json{{"error", message}});
}

void write_json(const http_server::response_ptr& res, std::string_view body, http_server::status code,
                bool no_store) {
    res->write_status(code).write_header("Content-Type", "application/json");
    if (no_store) res->write_header("Cache-Control", "no-store");
    res->end(body);
}

bool accumulate_body(std::string& body, std::string_view chunk, bool& rejected,
                     const http_server::response_ptr& res) {
    if (rejected) return false;
    if (body.size() + chunk.size() <= MAX_BODY_BYTES) {
        body.append(chunk);
        return true;
    }
    rejected = true;
    write_json(res, error_json("Payload too large"), http_server::status::payload_too_large, true);
    return false;
}

std::shared_ptr<std::atomic<bool>> make_abort_guard(const http_server::response_ptr& res) {
    auto aborted = std::make_shared<std::atomic<bool>>(false);
    res->on_aborted([aborted] { aborted->store(true); });
    return aborted;
}

void read_form(const http_server::response_ptr& res, std::function<void(form fields)> on_form) {
    auto aborted = make_abort_guard(res);
    auto body = std::make_shared<std::string>();
    auto rejected = std::make_shared<bool>(false);
    res->on_data([res, aborted, body, rejected, on_form = std::move(on_form)](std::string_view chunk, bool last) {
        if (!accumulate_body(*body, chunk, *rejected, res) || !last || aborted->load()) return;
        on_form(text_utils::parse_form(*body));
    });
}

}  // namespace api_helpers
