// Log file names as a client sends them to the download route: a name taken as safe cannot leave
// its directory or break the download header, a date is only ever read from a well-formed daily
// name, and the resolved file is always a log file in its own family's directory.

#include "application_test_access.hpp"
#include "fuzz_support.hpp"
#include "log_utils.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

using fuzz_support::require;
using test_access = application_test_access;

struct log_tree {
    fuzz_support::scratch_dir root;
    fs::path data_dir = root.path() / "localdata";
    fs::path log_dir = data_dir / "logs";

    // One file of each family, a settings file beside them, and a directory with a log's name.
    log_tree() {
        fs::create_directories(log_dir / "app_2024-01-03.log");
        for (const fs::path& file : {data_dir / "client.log", data_dir / "client-2024-01-01T00-00-00.log.gz",
                                     data_dir / "app.json", log_dir / "app_2024-01-01.log",
                                     log_dir / "app_2024-01-02.log.gz", log_dir / "netbird_2024-01-01.log"})
            std::ofstream(file) << "x\n";
    }
};

const log_tree& tree() {
    static const log_tree instance;
    return instance;
}

application& app() {
    static application instance("ovra_vpn", tree().root.path());
    return instance;
}

bool has_control_byte(std::string_view name) {
    return std::any_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

void check_safety(std::string_view name) {
    if (!log_utils::is_safe_log_name(name)) return;
    require(!name.empty() && name.size() <= 255, "a safe name has 1 to 255 bytes");
    require(name.find_first_of("/\\\"") == std::string_view::npos, "a safe name has no separator or quote");
    require(name.find("..") == std::string_view::npos, "a safe name has no \"..\"");
    require(!has_control_byte(name), "a safe name has no control byte");
}

bool is_date(std::string_view date) {
    if (date.size() != 10) return false;
    for (std::size_t i = 0; i < date.size(); ++i)
        if ((i == 4 || i == 7) ? date[i] != '-' : (date[i] < '0' || date[i] > '9')) return false;
    return true;
}

void check_date(std::string_view name) {
    const auto date = log_utils::daily_log_date(name);
    if (log_utils::is_app_log_name(name)) require(name.starts_with("app_") && date, "an app log name is dated");
    if (log_utils::is_netbird_daily_name(name))
        require(name.starts_with("netbird_") && date, "a NetBird daily name is dated");
    if (!date) return;
    require(is_date(*date), "a daily log date has the form YYYY-MM-DD");
    const std::string suffix = "_" + *date + ".log";
    require(name.ends_with(suffix) || name.ends_with(suffix + ".gz"), "the date is read from the name's end");
}

void check_resolution(std::string_view source, std::string_view name) {
    const auto path = test_access::resolve_log_file(app(), source, name);
    if (!path) return;
    require(log_utils::is_safe_log_name(name), "only a safe name resolves");
    require(path->filename() == name, "the resolved file has the name asked for");
    const fs::path& dir = path->parent_path();
    require(dir == tree().log_dir || (dir == tree().data_dir && log_utils::is_netbird_log_name(name)),
            "a resolved file lies in a log directory of its family");
    require(source == "app" ? log_utils::is_app_log_name(name)
                            : log_utils::is_netbird_daily_name(name) || log_utils::is_netbird_log_name(name),
            "a resolved file belongs to the source asked for");
    require(fs::is_regular_file(*path), "a resolved file is a regular file");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::discard_logs();
    app();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name = fuzz_support::as_text(data, size);
    check_safety(name);
    check_date(name);
    for (const std::string_view source : {"app", "netbird"}) check_resolution(source, name);
    require(!test_access::resolve_log_file(app(), name, name), "an unknown source resolves nothing");
    return 0;
}
