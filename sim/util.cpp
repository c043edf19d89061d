// Small helpers of the simulator: environment, time stamps, logging, sockets, random names.
#include "sim.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <ctime>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <openssl/evp.h>

namespace sim {

std::string env_str(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

long env_long(const char* name, long fallback) {
    std::string value = env_str(name);
    if (value.empty()) return fallback;
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(value.c_str(), &end, 10);
    if (errno != 0 || end == value.c_str() || *end != '\0') return fallback;
    return n;
}

bool env_flag(const char* name) {
    std::string value = env_str(name);
    return !value.empty() && value != "0" && value != "false";
}

std::string rfc3339(std::chrono::system_clock::time_point tp) {
    auto since = tp.time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    long nanos = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count());
    std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string out = buf;
    if (nanos != 0) {  // Go's RFC3339Nano: fraction without trailing zeros
        char frac[16];
        std::snprintf(frac, sizeof frac, ".%09ld", nanos);
        std::string f = frac;
        while (f.back() == '0') f.pop_back();
        out += f;
    }
    return out + "Z";
}

// The time format of NetBird's text formatter: "2006-01-02T15:04:05.000Z07:00", here in UTC.
std::string log_time() {
    auto now = std::chrono::system_clock::now();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
    long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch() - secs).count());
    std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[80];
    std::snprintf(out, sizeof out, "%s.%03ldZ", buf, millis);
    return out;
}

namespace {

// Writes text to each target of a --log-file list (a target repeated in the list counts once).
void write_targets(const std::string& log_targets, const std::string& text) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::set<std::string> seen;
    std::stringstream list(log_targets);
    std::string target;
    while (std::getline(list, target, ',')) {
        if (target.empty() || target == "syslog" || !seen.insert(target).second) continue;
        if (target == "console") {
            write_all(STDERR_FILENO, text);
            continue;
        }
        int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            write_all(fd, text);
            ::close(fd);
        }
    }
}

}  // namespace

void log_line(const std::string& log_targets, const char* level, const std::string& source, const std::string& message) {
    write_targets(log_targets, log_time() + " " + level + " " + source + ": " + message + "\n");
}

void log_raw(const std::string& log_targets, const std::string& text) { write_targets(log_targets, text); }

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool write_flood(int fd, long mib, char fill) {
    const std::string chunk(1024 * 1024, fill);
    for (long i = 0; i < mib; ++i)
        if (!write_all(fd, chunk)) return false;
    return true;
}

bool read_line(int fd, std::string& line) {
    line.clear();
    char c;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

int connect_unix(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "dial unix " + path + ": connect: invalid argument (path too long)";
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::string text = std::strerror(errno);
        if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        error = "dial unix " + path + ": connect: " + text;
        ::close(fd);
        return -1;
    }
    return fd;
}

void sleep_ms(long ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

static std::mt19937_64& rng() {
    thread_local std::mt19937_64 gen{std::random_device{}()};
    return gen;
}

std::string random_hex(size_t bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        auto b = static_cast<unsigned>(rng()() & 0xff);
        out += digits[b >> 4];
        out += digits[b & 0xf];
    }
    return out;
}

std::string random_uuid() {
    std::string h = random_hex(16);
    h[12] = '4';                                  // version 4
    h[16] = "89ab"[rng()() & 3];                  // RFC 4122 variant
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" +
           h.substr(20, 12);
}

std::string uuid_parse_error(const std::string& text) {
    const auto hex_at = [](std::string_view s, size_t i) { return std::isxdigit(static_cast<unsigned char>(s[i])) != 0; };
    std::string_view s = text;
    switch (s.size()) {
        case 36: break;
        case 36 + 9: {
            std::string prefix(s.substr(0, 9));
            for (char& c : prefix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (prefix != "urn:uuid:") return "invalid urn prefix: \"" + std::string(s.substr(0, 9)) + "\"";
            s.remove_prefix(9);
            break;
        }
        case 36 + 2: s.remove_prefix(1); break;   // the braces themselves are not checked
        case 32:
            for (size_t i = 0; i < 32; ++i)
                if (!hex_at(s, i)) return "invalid UUID format";
            return "";
        default: return "invalid UUID length: " + std::to_string(s.size());
    }
    for (size_t i = 0; i < 36; ++i) {
        const bool dash_place = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_place ? s[i] != '-' : !hex_at(s, i)) return "invalid UUID format";
    }
    return "";
}

std::string base64(const std::string& bytes) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    auto octet = [&](size_t at) -> unsigned { return static_cast<unsigned char>(bytes[at]); };
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = octet(i) << 16 | octet(i + 1) << 8 | octet(i + 2);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = octet(i) << 16;
        if (i + 1 < bytes.size()) v |= octet(i + 1) << 8;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string sha256_hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 0xf];
    }
    return out;
}

bool is_valid_log_level(const std::string& level) {
    std::string lower;
    for (char c : level) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* name : {"panic", "fatal", "error", "warn", "warning", "info", "debug", "trace"})
        if (lower == name) return true;
    return false;
}

// Each command words its dial failure differently (client/cmd/*.go).
std::string dial_error(const std::string& command, const std::string& cause) {
    if (command == "down") return cause;
    if (command == "deregister") return "connect to daemon: " + cause;
    return "failed to connect to daemon error: " + cause +
           "\nIf the daemon is not running please run: \nnetbird service install \nnetbird service start\n";
}

}  // namespace sim
