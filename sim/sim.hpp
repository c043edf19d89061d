// NetBird client simulator: declarations shared by its few source files.
// See sim/README.md for what it simulates and the NB_SIM_* fault switches.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using json = nlohmann::ordered_json;   // keeps members in insertion order, like Go's encoder

// The NetBird release it stands in for, set by sim/CMakeLists.txt from cmake/netbird.cmake.
inline constexpr const char* VERSION = SIM_NETBIRD_VERSION;

// The parsed command line. Flags may stand anywhere (cobra-style); the rest are command words.
struct options {
    std::vector<std::string> argv;                 // the whole command line, argv[0] included
    std::vector<std::string> words;                // e.g. {"service","run"} or {"debug","bundle"}
    std::map<std::string, std::string> flags;      // long flag name -> value ("true" for bare booleans)
    std::string command;                           // the command words joined by blanks
    std::string config_path;                       // --config
    std::string log_targets;                       // --log-file: comma-separated targets
    std::string socket_path;                       // --daemon-addr without "unix://"

    bool has(const std::string& flag) const { return flags.count(flag) != 0; }
    std::string get(const std::string& flag) const {
        auto it = flags.find(flag);
        return it == flags.end() ? std::string() : it->second;
    }
};

// ---- util.cpp ----
std::string env_str(const char* name);                     // empty when unset
long env_long(const char* name, long fallback);            // fallback when unset, empty or not a number
bool env_flag(const char* name);                           // set, non-empty and not "0"/"false"
std::string rfc3339(std::chrono::system_clock::time_point tp);   // 2026-12-07T10:00:00.123456789Z
std::string log_time();                                          // 2026-12-07T10:00:00.123Z
// Appends "<time> <LEVEL> <source>: <message>\n" to every target of a --log-file list:
// "console" is standard error, "syslog" is skipped, any other element a file appended to.
// LEVEL is one of NetBird's four-letter names: PANC FATL ERRO WARN INFO DEBG TRAC.
void log_line(const std::string& log_targets, const char* level, const std::string& source, const std::string& message);
// Appends text as it stands (a Go panic report is not a log entry).
void log_raw(const std::string& log_targets, const std::string& text);
bool write_all(int fd, std::string_view data);
// Writes `mib` MiB of `fill` without a newline, a chunk at a time; false once a write fails.
bool write_flood(int fd, long mib, char fill);
bool read_line(int fd, std::string& line);                 // up to '\n' (dropped); false on EOF/error
int connect_unix(const std::string& path, std::string& error);   // fd or -1 with a Go-like error text
void sleep_ms(long ms);
std::string random_hex(size_t bytes);
std::string random_uuid();
// Why google/uuid's Parse (v1.6.0) refuses the text, or "" when it reads a UUID: the plain form,
// urn:uuid: before it, braces around it, or 32 hex digits without dashes.
std::string uuid_parse_error(const std::string& text);
std::string base64(const std::string& bytes);
std::string sha256_hex(const std::string& bytes);
// logrus.ParseLevel: the level names NetBird accepts, in any letter case.
bool is_valid_log_level(const std::string& level);
// The error text of the dial that a one-off command makes to the service.
std::string dial_error(const std::string& command, const std::string& cause);

// ---- status.cpp ----
struct identity {
    std::string netbird_ip;   // without prefix length
    std::string public_key;
    std::string fqdn;
};
identity identity_of(const json& config);    // derived from the PrivateKey of config.json
// daemon_status: the service's state (Idle, Connecting, Connected, NeedsLogin, LoginFailed);
// up: the engine runs and shows its peers; management_down: report the management connection as
// lost while up.
json build_status(const json& config, const std::string& daemon_status, bool up, bool management_down,
                  std::chrono::system_clock::time_point connected_at);
std::string status_text(const json& status);              // human-readable form for the bundle
std::vector<std::string> status_secrets(const json& status);   // host names and keys to anonymise

// ---- service.cpp ----
int run_service(const options& opts);

// ---- environment.cpp ----
// Appends one JSON line to the NB_SIM_RECORD file, when one is set.
void append_record(const json& entry);
// The tunnel device starts: in netstack mode (NB_USE_NETSTACK_MODE=true) the SOCKS5 proxy opens on
// every address unless NB_NETSTACK_SKIP_PROXY parses as true; it is logged and recorded.
void start_tunnel_device(const std::string& log_targets);
// Why the service refuses SetConfig (its --disable-update-settings), if it does.
std::optional<std::string> set_config_refusal(const options& service_opts);
// An error with gRPC's Unavailable code, which `up` only warns about after SetConfig.
bool is_unavailable_error(const std::string& message);

// ---- bundle.cpp ----
struct zip_entry {
    std::string name;
    std::string data;
};
// Writes a stored (uncompressed) zip archive; returns false with a message on failure.
bool write_zip_file(int fd, const std::vector<zip_entry>& entries, std::string& error);
// Replaces IPv4 addresses and the given sensitive strings (keys, host names) in text.
std::string anonymize(const std::string& text, const std::vector<std::string>& secrets);
// Creates $dir/netbird.debug.NNN.zip exclusively and writes the entries; returns the path.
std::optional<std::string> write_bundle(const std::string& dir, const std::vector<zip_entry>& entries,
                                        std::string& error);

}  // namespace sim
