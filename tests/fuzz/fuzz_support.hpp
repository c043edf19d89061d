#pragma once
// Shared by the fuzz targets: how a broken property is reported (an abort, so libFuzzer keeps the
// input as a crash), a default logger that formats every message but writes nowhere, and
// scratch directories that go away when the fuzzer exits normally.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <string>
#include <string_view>

namespace fuzz_support {

inline void require(bool holds, const char* property) {
    if (holds) return;
    std::fprintf(stderr, "property violated: %s\n", property);
    std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Messages are still formatted, so a format fault in a log call shows up while fuzzing.
inline void discard_logs() {
    auto logger = std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
}

// Strict parse: a document with trailing bytes or invalid UTF-8 is not JSON.
inline nlohmann::json parse_json(std::string_view text) { return nlohmann::json::parse(text, nullptr, false); }

inline bool is_valid_utf8(std::string_view text) {
    try {
        static_cast<void>(nlohmann::json(std::string(text)).dump());
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

// A private directory under the temporary directory (TMPDIR), removed at normal exit.
class scratch_dir {
public:
    scratch_dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ovra-fuzz-XXXXXX").string();
        require(::mkdtemp(pattern.data()) != nullptr, "a scratch directory can be made");
        m_path = pattern;
    }
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace fuzz_support
