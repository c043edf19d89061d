// The status document of the real 0.72 client (`status --json`), its text form for the debug
// bundle, and the simulated identity derived from the registration in config.json.
#include "sim.hpp"

#include <functional>
#include <random>

namespace sim {
namespace {

using clock = std::chrono::system_clock;

const char* const SIGNAL_URL = "https://signal.netbird.io:443";
const char* const RELAY_URI = "rels://streamline-de-fra1-0.relay.netbird.io:443";
const char* const STUN_URI = "stun:stun.netbird.io:3478";
const char* const ZERO_TIME = "0001-01-01T00:00:00Z";

struct sim_peer {
    const char* fqdn;
    const char* ip;
    const char* status;           // Connected or Idle
    const char* connection_type;  // P2P, Relayed or "-"
    const char* ice_local;
    const char* ice_remote;
    const char* endpoint_local;
    const char* endpoint_remote;
    const char* relay;
    long long latency_ns;
    long long bytes_per_second;
};

const sim_peer PEERS[] = {
    {"cam-office-1.netbird.cloud", "100.90.12.3", "Connected", "P2P", "host", "srflx", "192.168.1.20:51820",
     "203.0.113.5:51820", "", 12345678, 4200},
    {"nvr-hq.netbird.cloud", "100.90.40.7", "Connected", "Relayed", "relay", "relay", "-", "-", RELAY_URI, 48211000,
     900},
    {"laptop-ops.netbird.cloud", "100.90.77.21", "Idle", "-", "", "", "", "", "", 0, 0},
};

// 32 pseudo-random bytes, base64: looks like a WireGuard key.
std::string fake_key(std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::string bytes;
    for (int i = 0; i < 32; ++i) bytes += static_cast<char>(gen() & 0xff);
    return base64(bytes);
}

json ice_pair(const char* local, const char* remote) {
    return json{{"local", local}, {"remote", remote}};
}

}  // namespace

identity identity_of(const json& config) {
    std::string private_key = config.value("PrivateKey", std::string());
    std::uint64_t h = std::hash<std::string>{}(private_key);
    identity id;
    id.netbird_ip = "100.90." + std::to_string((h >> 8) & 0xff) + "." + std::to_string((h & 0xff) % 253 + 1);
    id.public_key = fake_key(h ^ 0x9e3779b97f4a7c15ull);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06llx", static_cast<unsigned long long>((h >> 16) & 0xffffff));
    id.fqdn = std::string("axis-") + hex + ".netbird.cloud";
    return id;
}

json build_status(const json& config, const std::string& daemon_status, bool up, bool management_down,
                  clock::time_point connected_at) {
    identity id = identity_of(config);
    const json& cfg = config;
    auto now = clock::now();
    long long elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - connected_at).count();

    json peers = {{"total", 0}, {"connected", 0}, {"details", nullptr}};
    if (up) {
        json details = json::array();
        int connected_count = 0;
        for (const auto& p : PEERS) {
            bool peer_up = std::string(p.status) == "Connected";
            connected_count += peer_up ? 1 : 0;
            details.push_back({
                {"fqdn", p.fqdn},
                {"netbirdIp", p.ip},
                {"publicKey", fake_key(std::hash<std::string>{}(p.fqdn))},
                {"status", p.status},
                {"lastStatusUpdate", rfc3339(connected_at)},
                {"connectionType", p.connection_type},
                {"iceCandidateType", ice_pair(p.ice_local, p.ice_remote)},
                {"iceCandidateEndpoint", ice_pair(p.endpoint_local, p.endpoint_remote)},
                {"relayAddress", p.relay},
                {"lastWireguardHandshake",
                 peer_up ? rfc3339(now - std::chrono::seconds(elapsed % 110)) : std::string(ZERO_TIME)},
                {"transferReceived", p.bytes_per_second * elapsed},
                {"transferSent", p.bytes_per_second * elapsed / 3},
                {"latency", p.latency_ns},
                {"quantumResistance", false},
                {"networks", nullptr},
            });
        }
        peers = {{"total", details.size()}, {"connected", connected_count}, {"details", details}};
    }

    json management = {{"url", cfg.value("ManagementURL", std::string())},
                       {"connected", up && !management_down},
                       {"error", up && management_down
                                     ? "rpc error: code = Unavailable desc = connection error: desc = \"transport: "
                                       "Error while dialing: dial tcp: i/o timeout\""
                                     : ""}};
    json signal = {{"url", up ? SIGNAL_URL : ""}, {"connected", up}, {"error", ""}};
    json relays = {{"total", 0}, {"available", 0}, {"details", nullptr}};
    if (up) {
        relays = {{"total", 2},
                  {"available", 2},
                  {"details", json::array({{{"uri", STUN_URI}, {"available", true}, {"error", ""}},
                                           {{"uri", RELAY_URI}, {"available", true}, {"error", ""}}})}};
    }
    json dns = json::array();
    if (up)
        dns.push_back({{"servers", json::array({"100.90.255.254:53"})},
                       {"domains", json::array({"netbird.cloud"})},
                       {"enabled", true},
                       {"error", ""}});

    return json{
        {"peers", peers},
        {"cliVersion", VERSION},
        {"daemonVersion", VERSION},
        {"daemonStatus", daemon_status},
        {"management", management},
        {"signal", signal},
        {"relays", relays},
        {"netbirdIp", up ? id.netbird_ip + "/16" : ""},
        {"publicKey", up ? id.public_key : ""},
        {"usesKernelInterface", false},
        {"wireguardPort", cfg.value("WgPort", 51820)},
        {"fqdn", up ? id.fqdn : ""},
        {"quantumResistance", false},
        {"quantumResistancePermissive", false},
        {"networks", nullptr},   // Go encodes an empty list as null
        {"forwardingRules", 0},
        {"dnsServers", dns},
        {"events", json::array()},
        {"lazyConnectionEnabled", cfg.value("LazyConnectionEnabled", false)},
        {"profileName", "default"},
        {"sshServer", {{"enabled", false}, {"sessions", json::array()}}},
    };
}

std::string status_text(const json& doc) {
    std::string out;
    auto str = [](const json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
    const json& details = doc["peers"]["details"];
    out += "Peers detail:\n";
    if (details.is_array()) {
        for (const auto& p : details) {
            out += " " + str(p["fqdn"]) + ":\n";
            out += "  NetBird IP: " + str(p["netbirdIp"]) + "\n";
            out += "  Public key: " + str(p["publicKey"]) + "\n";
            out += "  Status: " + str(p["status"]) + "\n";
            out += "  -- detail --\n";
            out += "  Connection type: " + str(p["connectionType"]) + "\n";
            out += "  ICE candidate (Local/Remote): " + str(p["iceCandidateType"]["local"]) + "/" +
                   str(p["iceCandidateType"]["remote"]) + "\n";
            out += "  ICE candidate endpoints (Local/Remote): " + str(p["iceCandidateEndpoint"]["local"]) + "/" +
                   str(p["iceCandidateEndpoint"]["remote"]) + "\n";
            out += "  Relay server address: " + str(p["relayAddress"]) + "\n";
            out += "  Last connection update: " + str(p["lastStatusUpdate"]) + "\n";
            out += "  Last WireGuard handshake: " + str(p["lastWireguardHandshake"]) + "\n";
            out += "  Transfer status (received/sent) " + str(p["transferReceived"]) + " B/" +
                   str(p["transferSent"]) + " B\n";
            out += "  Latency: " + std::to_string(p["latency"].get<long long>() / 1000000) + "ms\n\n";
        }
    }
    const json& m = doc["management"];
    const json& s = doc["signal"];
    out += "Daemon version: " + str(doc["daemonVersion"]) + "\n";
    out += "CLI version: " + str(doc["cliVersion"]) + "\n";
    out += "Daemon status: " + str(doc["daemonStatus"]) + "\n";
    out += "Management: " + std::string(m["connected"].get<bool>() ? "Connected" : "Disconnected") + " to " +
           str(m["url"]) + "\n";
    out += "Signal: " + std::string(s["connected"].get<bool>() ? "Connected" : "Disconnected") + " to " +
           str(s["url"]) + "\n";
    out += "Relays: " + str(doc["relays"]["available"]) + "/" + str(doc["relays"]["total"]) + " Available\n";
    out += "FQDN: " + str(doc["fqdn"]) + "\n";
    out += "NetBird IP: " + str(doc["netbirdIp"]) + "\n";
    out += "Interface type: Userspace\n";
    out += "Quantum resistance: false\n";
    out += "Lazy connection: " + str(doc["lazyConnectionEnabled"]) + "\n";
    out += "Peers count: " + str(doc["peers"]["connected"]) + "/" + str(doc["peers"]["total"]) + " Connected\n";
    return out;
}

std::vector<std::string> status_secrets(const json& doc) {
    std::vector<std::string> secrets = {"api.netbird.io", "app.netbird.io", "signal.netbird.io", "stun.netbird.io",
                                        "streamline-de-fra1-0.relay.netbird.io"};
    auto add = [&](const json& v) {
        if (v.is_string() && !v.get<std::string>().empty()) secrets.push_back(v.get<std::string>());
    };
    add(doc["fqdn"]);
    add(doc["publicKey"]);
    std::string url = doc["management"]["url"].is_string() ? doc["management"]["url"].get<std::string>() : "";
    if (auto scheme = url.find("://"); scheme != std::string::npos) {
        std::string host = url.substr(scheme + 3);
        host = host.substr(0, host.find_first_of(":/"));
        if (!host.empty()) secrets.push_back(host);
    }
    if (doc["peers"]["details"].is_array())
        for (const auto& p : doc["peers"]["details"]) {
            add(p["fqdn"]);
            add(p["publicKey"]);
        }
    return secrets;
}

}  // namespace sim
