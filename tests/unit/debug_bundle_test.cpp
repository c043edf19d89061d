// The answer of a bundle upload, and the removal of the zips that bundles leave behind.

#include "app_test_fixture.hpp"
#include "debug_bundle.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

using test_access = application_test_access;

TEST(debug_bundle_upload, reports_the_trimmed_key_and_the_whole_output) {
    const command_result uploaded{
        0, "Local file:\n/tmp/netbird.debug.1.zip\nUpload file key:\n  ab12/c d \r\n", "warning\n"};
    EXPECT_EQ(debug_bundle::build_debug_upload_json(uploaded),
              R"({"exit_code":0,"key":"ab12/c d","ok":true,)"
              R"("output":"Local file:\n/tmp/netbird.debug.1.zip\nUpload file key:\n  ab12/c d \r\nwarning\n"})");
}

TEST(debug_bundle_upload, a_failed_run_without_a_key_reports_an_empty_key) {
    const command_result failed{124, "Upload file key:\n", "timed out\n"};
    EXPECT_EQ(debug_bundle::build_debug_upload_json(failed),
              R"({"exit_code":124,"key":"","ok":false,"output":"Upload file key:\ntimed out\n"})");
}

// The daemon's TMPDIR, which the service inherits, points into the test's own directory.
class leftover_bundles : public app_test_fixture {
protected:
    leftover_bundles() {
        if (const char* previous = std::getenv("TMPDIR")) m_previous = previous;
        fs::create_directories(temp());
        ::setenv("TMPDIR", temp().c_str(), 1);
    }
    ~leftover_bundles() override {
        if (m_previous)
            ::setenv("TMPDIR", m_previous->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

    fs::path temp() const { return dir / "tmp"; }
    fs::path zip(const std::string& middle) const {
        const fs::path path = temp() / ("netbird.debug." + middle + ".zip");
        write_file(path, "PK");
        return path;
    }

    application app{"ovra_vpn", dir};

private:
    std::optional<std::string> m_previous;
};

TEST_F(leftover_bundles, only_regular_files_named_like_the_clients_zips_go) {
    EXPECT_EQ(debug_bundle::bundle_temp_dir(), temp());
    const fs::path left = zip("4711");
    const fs::path other_names[] = {temp() / "netbird.debug..zip", temp() / "netbird.debug.1.zip.part",
                                    temp() / "my.netbird.debug.1.zip", temp() / "notes.zip"};
    for (const fs::path& path : other_names) write_file(path, "x");
    const fs::path target = dir / "elsewhere.zip";
    write_file(target, "x");
    fs::create_symlink(target, temp() / "netbird.debug.2.zip");
    fs::create_directory(temp() / "netbird.debug.3.zip");

    debug_bundle::remove_leftover_bundles();
    EXPECT_FALSE(fs::exists(left));
    for (const fs::path& path : other_names) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::is_symlink(temp() / "netbird.debug.2.zip"));
    EXPECT_TRUE(fs::exists(target));
    EXPECT_TRUE(fs::is_directory(temp() / "netbird.debug.3.zip"));

    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(debug_bundle::bundle_temp_dir(), "/tmp");
}

TEST_F(leftover_bundles, a_failed_bundle_sweeps_once_no_other_bundle_is_in_the_making_and_again_later) {
    test_access::start_bundle_job(app);
    test_access::start_bundle_job(app);
    const fs::path late = zip("1");
    test_access::end_bundle_job(app, true);
    EXPECT_TRUE(fs::exists(late)) << "the other bundle's zip may be this one";
    test_access::sweep_late_bundles(app);
    EXPECT_TRUE(fs::exists(late));

    test_access::end_bundle_job(app, false);
    EXPECT_FALSE(fs::exists(late));
    // The service may still finish the failed one: the watchdog's cycles go on sweeping.
    const fs::path later = zip("2");
    test_access::sweep_late_bundles(app);
    EXPECT_FALSE(fs::exists(later));
}

TEST_F(leftover_bundles, successful_bundles_sweep_nothing) {
    const fs::path kept = zip("9");
    test_access::start_bundle_job(app);
    test_access::end_bundle_job(app, false);
    test_access::sweep_late_bundles(app);
    EXPECT_TRUE(fs::exists(kept));
}

}  // namespace
