// Whatever "app.json" and "env.json" hold at start-up (the input up to its first NUL byte is
// "app.json"; the rest, when there is a NUL, is "env.json"): the config document shows every
// setting with a value its rule takes and `up` gets the same, no secret or reserved variable
// survives the load, and loading again what the load left behind gives the same state.

#include "application_test_access.hpp"
#include "fuzz_support.hpp"
#include "netbird_utils.hpp"
#include "process_utils.hpp"
#include "settings_table.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

using fuzz_support::require;
using nlohmann::json;
using test_access = application_test_access;

// The application directory; nothing here ever calls run(), so /run stays untouched.
const fuzz_support::scratch_dir& app_dir() {
    static const fuzz_support::scratch_dir dir;
    return dir;
}

const fs::path& data_dir() {
    static const fs::path dir = app_dir().path() / "localdata";
    return dir;
}

void write_file(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

void stage_settings(std::string_view input) {
    fs::remove_all(data_dir());
    fs::create_directories(data_dir());
    const auto separator = input.find('\0');
    write_file(data_dir() / "app.json", input.substr(0, separator));
    if (separator != std::string_view::npos) write_file(data_dir() / "env.json", input.substr(separator + 1));
}

// What the loaded settings hand to NetBird and to the web page.
struct loaded_state {
    std::string config_json;
    std::map<std::string, std::string> command_env;
    std::vector<std::string> up_args;
    bool operator==(const loaded_state&) const = default;
};

// The text a value has in a form: how the page would submit it again.
std::string form_text(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

bool has_kind(const json& value, settings_table::kind type) {
    switch (type) {
        case settings_table::kind::flag: return value.is_boolean();
        case settings_table::kind::integer: return value.is_number_integer();
        case settings_table::kind::text: break;
    }
    return value.is_string();
}

// Every setting is shown with a value of its kind that its own rule would take back, and `up`
// gets the tunnel settings' values as shown.
void check_config_document(const std::string& text, const std::vector<std::string>& up_args) {
    const json config = fuzz_support::parse_json(text);
    require(config.is_object() && config.size() == std::size(settings_table::SETTINGS),
            "the config document is an object with every setting");
    for (const settings_table::descriptor& setting : settings_table::SETTINGS) {
        const auto value = config.find(setting.name);
        require(value != config.end() && has_kind(*value, setting.type), "every setting is shown with its kind");
        require(!settings_table::refusal(setting, form_text(*value)), "every value shown passes its rule");
        if (!setting.is_tunnel()) continue;
        const auto flag = std::find(up_args.begin(), up_args.end(), setting.up_flag);
        require(flag != up_args.end() && std::next(flag) != up_args.end() && *std::next(flag) == form_text(*value),
                "up gets the tunnel setting as shown");
    }
}

// Walks the entries rather than looking names up: Boost's lookup reads past short entries.
std::map<std::string, std::string> child_variables(const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> variables;
    for (const auto& entry : process_utils::child_environment(env))
        require(variables.emplace(entry.get_name(), entry.to_string()).second, "a child sees each variable once");
    return variables;
}

// The system's own variables may hold what no override may set (a netstack switch, the state
// directory); any other value must be one an override may hold.
void check_command_env(const std::map<std::string, std::string>& env,
                       const std::vector<std::pair<std::string, std::string>>& system) {
    for (const auto& entry : env) {
        const bool systems_own = std::any_of(system.begin(), system.end(), [&entry](const auto& own) {
            return own.first == entry.first && own.second == entry.second;
        });
        require(systems_own || !netbird_utils::is_unusable_override(entry.first, entry.second),
                "no stored override replaces a variable the system sets itself or carries a secret");
    }
    const auto variables = child_variables(env);
    for (const auto& [name, value] : env) {
        if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) continue;
        const auto variable = variables.find(name);
        require(variable != variables.end() && variable->second == value.substr(0, value.find('\0')),
                "a child sees each variable up to its first NUL");
    }
}

std::string read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The clean-ups of the load reach the files, not only the memory. (Members that are not strings
// are never loaded, so the load may leave them in place.)
void check_files_after_load() {
    const json app_config = fuzz_support::parse_json(read_file(data_dir() / "app.json"));
    require(!app_config.is_object() || !app_config.contains("setup_key"), "no setup key stays in app.json");
    const json overrides = fuzz_support::parse_json(read_file(data_dir() / "env.json"));
    if (!overrides.is_object()) return;
    for (const auto& [name, value] : overrides.items())
        require(!value.is_string() || !netbird_utils::is_unusable_override(name, value.get<std::string>()),
                "no reserved override stays in env.json");
}

loaded_state load_and_check() {
    application app("ovra_vpn", app_dir().path());
    test_access::load_state(app);
    loaded_state state{test_access::build_config_json(app), test_access::build_command_env(app),
                       test_access::build_up_args(app, {})};
    check_config_document(state.config_json, state.up_args);
    check_command_env(state.command_env, test_access::system_env(app));
    return state;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::discard_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stage_settings(fuzz_support::as_text(data, size));
    const loaded_state first = load_and_check();
    check_files_after_load();
    require(load_and_check() == first, "loading what a load left behind gives the same state");
    return 0;
}
