// NetBird client simulator: what the environment does beyond the flags it sets, the way the real
// client reads it: netstack mode and its SOCKS5 proxy when the tunnel starts, and a service that
// refuses SetConfig when its settings updates are disabled.
#include "sim.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace sim {
namespace {

constexpr long DEFAULT_SOCKS5_PORT = 1080;

// strconv.ParseBool: anything else is an error, which the client counts as false.
bool go_bool_is_true(const std::string& value) {
    return value == "1" || value == "t" || value == "T" || value == "true" || value == "TRUE" || value == "True";
}

// netstack.ListenAddr: NB_SOCKS5_LISTENER_PORT when it is a port number, else 1080.
std::string socks5_listen_address() {
    const std::string text = env_str("NB_SOCKS5_LISTENER_PORT");
    char* end = nullptr;
    const long port = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
    const bool usable = !text.empty() && *end == '\0' && port >= 1 && port <= 65535;
    return "0.0.0.0:" + std::to_string(usable ? port : DEFAULT_SOCKS5_PORT);
}

}  // namespace

void append_record(const json& entry) {
    const std::string path = env_str("NB_SIM_RECORD");
    if (path.empty()) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, entry.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    ::close(fd);
}

void start_tunnel_device(const std::string& log_targets) {
    const bool netstack = env_str("NB_USE_NETSTACK_MODE") == "true";
    if (!netstack || go_bool_is_true(env_str("NB_NETSTACK_SKIP_PROXY"))) return;
    const std::string address = socks5_listen_address();
    log_line(log_targets, "INFO", "client/iface/netstack/tun.go:62", "socks5 proxy listening on " + address);
    append_record({{"event", "socks5_proxy"}, {"listen", address}, {"pid", ::getpid()}});
}

std::optional<std::string> set_config_refusal(const options& service_opts) {
    if (service_opts.get("disable-update-settings") != "true") return std::nullopt;
    return "rpc error: code = Unavailable desc = update settings are disabled, you cannot use this feature without "
           "update settings enabled";
}

bool is_unavailable_error(const std::string& message) {
    return message.rfind("rpc error: code = Unavailable", 0) == 0;
}

}  // namespace sim
