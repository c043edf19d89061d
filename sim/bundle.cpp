// Debug bundle: a real zip archive (stored entries, zlib CRC-32) and the anonymiser.
#include "sim.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>

namespace sim {
namespace {

void put16(std::string& out, unsigned v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
}

void put32(std::string& out, unsigned long v) {
    put16(out, static_cast<unsigned>(v & 0xffff));
    put16(out, static_cast<unsigned>((v >> 16) & 0xffff));
}

}  // namespace

bool write_zip_file(int fd, const std::vector<zip_entry>& entries, std::string& error) {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    unsigned dos_time = static_cast<unsigned>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    unsigned dos_date = static_cast<unsigned>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);

    std::string body, central;
    for (const auto& e : entries) {
        unsigned long crc = crc32(0L, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
        unsigned long offset = body.size();
        // local file header
        put32(body, 0x04034b50);
        put16(body, 20);             // version needed
        put16(body, 0);              // flags
        put16(body, 0);              // method: stored
        put16(body, dos_time);
        put16(body, dos_date);
        put32(body, crc);
        put32(body, e.data.size());  // compressed size
        put32(body, e.data.size());  // uncompressed size
        put16(body, static_cast<unsigned>(e.name.size()));
        put16(body, 0);              // extra length
        body += e.name;
        body += e.data;
        // central directory record
        put32(central, 0x02014b50);
        put16(central, (3 << 8) | 20);   // made by: Unix, 2.0
        put16(central, 20);
        put16(central, 0);
        put16(central, 0);
        put16(central, dos_time);
        put16(central, dos_date);
        put32(central, crc);
        put32(central, e.data.size());
        put32(central, e.data.size());
        put16(central, static_cast<unsigned>(e.name.size()));
        put16(central, 0);               // extra
        put16(central, 0);               // comment
        put16(central, 0);               // disk number
        put16(central, 0);               // internal attributes
        put32(central, 0100644ul << 16); // external attributes: regular file 0644
        put32(central, offset);
        central += e.name;
    }
    unsigned long central_offset = body.size();
    body += central;
    put32(body, 0x06054b50);
    put16(body, 0);
    put16(body, 0);
    put16(body, static_cast<unsigned>(entries.size()));
    put16(body, static_cast<unsigned>(entries.size()));
    put32(body, central.size());
    put32(body, central_offset);
    put16(body, 0);                  // comment length
    if (!write_all(fd, body)) {
        error = std::string("write: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::string anonymize(const std::string& text, const std::vector<std::string>& secrets) {
    std::string out = text;
    // Known host names and keys first, longest first so that no secret is half-replaced.
    std::vector<std::string> sorted = secrets;
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    int n = 0;
    for (const auto& secret : sorted) {
        if (secret.size() < 4) continue;
        ++n;
        std::string replacement = secret.find('.') != std::string::npos && secret.find('=') == std::string::npos
                                      ? "anon-" + std::to_string(n) + ".domain"
                                      : "anonymized-key-" + std::to_string(n);
        for (size_t pos = out.find(secret); pos != std::string::npos; pos = out.find(secret, pos + replacement.size()))
            out.replace(pos, secret.size(), replacement);
    }
    // Then every IPv4 address except loopback and 0.0.0.0, mapped consistently into TEST-NET ranges.
    std::map<std::string, std::string> mapping;
    std::string result;
    size_t i = 0;
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < out.size()) {
        bool boundary = i == 0 || (!is_digit(out[i - 1]) && out[i - 1] != '.');
        if (boundary && is_digit(out[i])) {
            size_t j = i;
            int octets = 0;
            bool ok = true;
            while (octets < 4) {
                size_t k = j;
                while (k < out.size() && is_digit(out[k]) && k - j < 4) ++k;
                if (k == j || k - j > 3 || std::stoi(out.substr(j, k - j)) > 255) { ok = false; break; }
                ++octets;
                j = k;
                if (octets < 4) {
                    if (j >= out.size() || out[j] != '.') { ok = false; break; }
                    ++j;
                }
            }
            if (ok && j < out.size() && (is_digit(out[j]) || (out[j] == '.' && j + 1 < out.size() && is_digit(out[j + 1]))))
                ok = false;
            if (ok) {
                std::string ip = out.substr(i, j - i);
                if (ip.rfind("127.", 0) == 0 || ip == "0.0.0.0") {
                    result += ip;
                } else {
                    auto it = mapping.find(ip);
                    if (it == mapping.end()) {
                        size_t k = mapping.size();
                        std::string anon = k < 254 ? "198.51.100." + std::to_string(k + 1)
                                                   : "203.0.113." + std::to_string(k % 254 + 1);
                        it = mapping.emplace(ip, anon).first;
                    }
                    result += it->second;
                }
                i = j;
                continue;
            }
        }
        result += out[i++];
    }
    return result;
}

std::optional<std::string> write_bundle(const std::string& dir, const std::vector<zip_entry>& entries,
                                        std::string& error) {
    std::mt19937 gen{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = dir + "/netbird.debug." + std::to_string(gen()) + ".zip";
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = "open " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        bool ok = write_zip_file(fd, entries, error);
        if (::close(fd) != 0 && ok) {
            ok = false;
            error = std::string("close: ") + std::strerror(errno);
        }
        if (!ok) {
            ::unlink(path.c_str());
            return std::nullopt;
        }
        return path;
    }
    error = "could not create a unique bundle file in " + dir;
    return std::nullopt;
}

}  // namespace sim
