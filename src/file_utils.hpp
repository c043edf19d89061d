#pragma once
// Writing to a descriptor until every byte is out: a write may take only part of its data, and a
// signal may interrupt it.

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <unistd.h>

namespace file_utils {

inline bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace file_utils
