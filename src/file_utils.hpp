#pragma once
// Descriptor-level file access for the daemon's own state and log files: writes that finish, and
// opens that refuse anything but a plain file (a link planted in the data directory, a FIFO that
// would block the open, a device that never ends).

#include <cerrno>
#include <algorithm>
#include <cstddef>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
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

// Owns a descriptor; closes it when it goes.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : m_fd(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : m_fd(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

// Opens `path` for reading only when it is a regular file itself: a symbolic link is not followed
// (ELOOP), and anything else (FIFO, device, directory) is refused with EINVAL. The open does not
// block on a FIFO; the descriptor returned blocks as usual.
inline unique_fd open_regular_file(const char* path) {
    unique_fd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return fd;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return unique_fd();
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return unique_fd();
    return fd;
}

// Appends up to `limit` bytes read from the descriptor's position to `out`; false on a read error.
// With `limit` reached the rest is left unread.
inline bool read_up_to(int fd, std::string& out, std::size_t limit) {
    constexpr std::size_t CHUNK = 64 * 1024;
    std::size_t taken = 0;
    while (taken < limit) {
        const std::size_t want = std::min(CHUNK, limit - taken);
        const std::size_t old_size = out.size();
        out.resize(old_size + want);
        const ssize_t got = ::read(fd, out.data() + old_size, want);
        if (got < 0 && errno == EINTR) {
            out.resize(old_size);
            continue;
        }
        out.resize(old_size + (got > 0 ? static_cast<std::size_t>(got) : 0));
        if (got < 0) return false;
        if (got == 0) break;
        taken += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace file_utils
