#include "text_utils.hpp"
#include "versions.hpp"
#include "vpn_api.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

namespace {

using json = nlohmann::json;

TEST(vpn_api_result, reports_exit_code_ok_and_output) {
    EXPECT_EQ(vpn_api::build_json_result(0, ""), R"({"exit_code":0,"ok":true,"output":""})");
    EXPECT_EQ(vpn_api::build_json_result(503, "VPN service busy"),
              R"({"exit_code":503,"ok":false,"output":"VPN service busy"})");
}

TEST(vpn_api_result, command_output_is_stdout_followed_by_stderr) {
    const command_result result{124, "Connecting\n", "timed out\n"};
    const json document = json::parse(vpn_api::build_json_result(result));
    EXPECT_EQ(document["exit_code"], 124);
    EXPECT_EQ(document["ok"], false);
    EXPECT_EQ(document["output"], "Connecting\ntimed out\n");
}

std::string status_json(int exit_code, const std::string& text) {
    return vpn_api::build_status_json(exit_code, text, false, false, false, json{{"state", "running"}});
}

TEST(vpn_api_status, document_before_the_first_poll) {
    EXPECT_EQ(status_json(1, ""),
              R"({"app_version":")" + std::string(versions::APP) + R"(","command_ended_after_poll":false,"exit_code":1,)"
              R"("lifecycle":{"state":"running"},"netbird_version":")" + versions::NETBIRD + R"(","ok":false,"output":"",)"
              R"("pending_reconnect":false,"pending_restart":false,"polled_at":null,"registered":false,)"
              R"("service_running":false,"snapshot_age_seconds":null})");
}

TEST(vpn_api_status, freshness_says_when_the_snapshot_was_taken) {
    vpn_api::status_freshness freshness{1765270000123, 7, true, true};
    const json document =
        json::parse(vpn_api::build_status_json(0, "{}", true, false, false, json::object(), freshness));
    EXPECT_DOUBLE_EQ(document["polled_at"].get<double>(), 1765270000.123);
    EXPECT_EQ(document["snapshot_age_seconds"], 7);
    EXPECT_EQ(document["command_ended_after_poll"], true);
    EXPECT_EQ(document["service_running"], true);
}

TEST(vpn_api_status, a_failed_status_of_a_service_that_answers_carries_the_clients_message) {
    const json failed = json::parse(status_json(1, "Error: status failed: context deadline exceeded\r\n"));
    EXPECT_EQ(failed["client_message"], "context deadline exceeded");
    const json unanswered = json::parse(status_json(1, "Error: failed to connect to daemon error: x\n"));
    EXPECT_FALSE(unanswered.contains("client_message"));
}

TEST(vpn_api_status, flags_are_reported_independently) {
    const json document = json::parse(vpn_api::build_status_json(0, "{}", true, false, true, json::object()));
    EXPECT_EQ(document["registered"], true);
    EXPECT_EQ(document["pending_reconnect"], false);
    EXPECT_EQ(document["pending_restart"], true);
}

TEST(vpn_api_status, json_status_is_passed_through_unchanged) {
    const std::string text = "  {\"management\":{\"connected\":true},\"peers\":{\"details\":null,\"total\":3}}\n";
    const json document = json::parse(status_json(0, text));
    EXPECT_EQ(document["ok"], true);
    EXPECT_EQ(document["status"], json::parse(text));
    EXPECT_FALSE(document.contains("output"));
}

TEST(vpn_api_status, text_that_is_not_one_json_value_is_reported_as_output) {
    for (const char* text : {"{\"a\":1}\n{garbage after the document", "{\"a\":1} // comment",
                                   "Error: failed to connect to daemon", "{\"a\":"}) {
        const json document = json::parse(status_json(1, text));
        EXPECT_EQ(document["output"], text);
        EXPECT_FALSE(document.contains("status")) << text;
    }
}

TEST(vpn_api_text, format_uptime) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0h0m"},       {59, "0h0m"},  {3600, "1h0m"},        {90061, "1d1h1m"},
        {86399, "23h59m"}, {-5, "0h0m"}, {864000, "10d0h0m"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(text_utils::format_uptime(seconds), text) << seconds;
}

TEST(vpn_api_text, parse_form_skips_malformed_pieces_and_last_value_wins) {
    using form = std::map<std::string, std::string>;
    EXPECT_EQ(text_utils::parse_form("a=1&b=2&a=3"), (form{{"a", "3"}, {"b", "2"}}));
    EXPECT_EQ(text_utils::parse_form("x&=5&y="), (form{{"y", ""}}));
    EXPECT_EQ(text_utils::parse_form("&&k=a=b&"), (form{{"k", "a=b"}}));
    EXPECT_TRUE(text_utils::parse_form("").empty());
}

TEST(vpn_api_text, url_decode_keeps_invalid_escapes) {
    EXPECT_EQ(text_utils::parse_form("k=%41%2x+%").at("k"), "A%2x %");
    EXPECT_EQ(text_utils::url_decode("%2B+"), "+ ");
    EXPECT_EQ(text_utils::url_decode("%4"), "%4");
    EXPECT_EQ(text_utils::url_decode("%00a%fF"), std::string("\0a\xff", 3));
}

}  // namespace
