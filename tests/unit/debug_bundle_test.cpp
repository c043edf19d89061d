// The answer of a bundle upload.

#include "application.hpp"

#include <gtest/gtest.h>

namespace {

TEST(debug_bundle_upload, reports_the_trimmed_key_and_the_whole_output) {
    const application::command_result uploaded{
        0, "Local file:\n/tmp/netbird.debug.1.zip\nUpload file key:\n  ab12/c d \r\n", "warning\n"};
    EXPECT_EQ(application::build_debug_upload_json(uploaded),
              R"({"exit_code":0,"key":"ab12/c d","ok":true,)"
              R"("output":"Local file:\n/tmp/netbird.debug.1.zip\nUpload file key:\n  ab12/c d \r\nwarning\n"})");
}

TEST(debug_bundle_upload, a_failed_run_without_a_key_reports_an_empty_key) {
    const application::command_result failed{124, "Upload file key:\n", "timed out\n"};
    EXPECT_EQ(application::build_debug_upload_json(failed),
              R"({"exit_code":124,"key":"","ok":false,"output":"Upload file key:\ntimed out\n"})");
}

}  // namespace
