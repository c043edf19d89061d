#include "api_helpers.hpp"

#include "application.hpp"

std::string dump_json(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string error_json(std::string_view message) {
    return dump_json(nlohmann::json{{"error", message}});
}

bool accumulate_body(std::string& body, std::string_view chunk, bool& rejected,
                     const http_server::response_ptr& res) {
    if (rejected) return false;
    if (body.size() + chunk.size() <= application::MAX_BODY_BYTES) {
        body.append(chunk);
        return true;
    }
    rejected = true;
    application::write_json(res, error_json("Payload too large"), "413 Payload Too Large", true);
    return false;
}
