#pragma once
// Whether files of interest in some directories may have changed since the last look: created,
// removed, renamed or written to (a directory's own modification time misses appends). Built on
// inotify; the events are read without blocking when asked, so an answer is never older than the
// question. Without inotify, or once a watched directory is gone, it always says "changed".
// What inotify cannot see is checked on every look instead: a directory path that now leads to
// another directory (a mount over it, a symbolic link swapped), and files with more than one link,
// which can be written through a name outside the watched directories.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

class directory_watch {
public:
    using name_filter = bool (*)(std::string_view name);

    // The descriptor is taken at once, so the daemon's set of descriptors stays the same from start-up on.
    directory_watch() : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~directory_watch() {
        if (m_fd >= 0) ::close(m_fd);
    }
    directory_watch(const directory_watch&) = delete;
    directory_watch& operator=(const directory_watch&) = delete;

    // Watches each directory for changes to the names its filter accepts, from now on; false
    // when a watch could not be set (the next look then says "changed" again).
    bool restart(const std::vector<std::pair<std::filesystem::path, name_filter>>& dirs) {
        if (m_fd < 0) return false;
        drain();
        m_watches.clear();
        m_checked.clear();
        constexpr std::uint32_t EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                         IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        for (const auto& [dir, accepts] : dirs) {
            const int wd = ::inotify_add_watch(m_fd, dir.c_str(), EVENTS);
            if (wd < 0 || !check(dir)) return false;
            m_watches.push_back({wd, accepts});
        }
        m_changed = false;
        return true;
    }

    // Also compares what `path` leads to (and for a file its size and change time) on every look,
    // until the next restart; false when it cannot be read.
    bool check(const std::filesystem::path& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return false;
        check(path, info);
        return true;
    }
    // The same with what the caller found at `path` already.
    void check(const std::filesystem::path& path, const struct stat& seen) { m_checked.push_back({path, identity_of(seen)}); }

    // True unless nothing the filters accept has changed since restart() succeeded.
    bool changed() {
        if (m_fd < 0 || m_watches.empty()) return true;
        drain();
        return m_changed || any_checked_changed();
    }

private:
    struct watch {
        int wd;
        name_filter accepts;
    };

    using identity = std::array<std::int64_t, 5>;
    struct checked_path {
        std::filesystem::path path;
        identity seen;
    };

    // A directory's own size and change time move with every entry, which the watch filters.
    static identity identity_of(const struct stat& info) {
        if (S_ISDIR(info.st_mode)) return {static_cast<std::int64_t>(info.st_dev), static_cast<std::int64_t>(info.st_ino)};
        return {static_cast<std::int64_t>(info.st_dev), static_cast<std::int64_t>(info.st_ino),
                static_cast<std::int64_t>(info.st_size), static_cast<std::int64_t>(info.st_ctim.tv_sec),
                static_cast<std::int64_t>(info.st_ctim.tv_nsec)};
    }

    bool any_checked_changed() {
        for (const checked_path& c : m_checked) {
            struct stat info {};
            if (::stat(c.path.c_str(), &info) != 0 || identity_of(info) != c.seen) return m_changed = true;
        }
        return false;
    }

    void drain() {
        alignas(inotify_event) std::array<char, 4096> buffer;
        for (;;) {
            const ssize_t got = ::read(m_fd, buffer.data(), buffer.size());
            if (got <= 0) return;  // EAGAIN: nothing more for now
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                inotify_event event;
                std::memcpy(&event, buffer.data() + at, sizeof event);
                const char* name = buffer.data() + at + sizeof event;
                note(event, event.len > 0 ? std::string_view(name) : std::string_view());
                at += sizeof event + event.len;
            }
        }
    }

    void note(const inotify_event& event, std::string_view name) {
        constexpr std::uint32_t WATCH_LOST = IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
        if ((event.mask & WATCH_LOST) != 0) {
            m_changed = true;
            return;
        }
        for (const watch& w : m_watches)
            if (w.wd == event.wd && w.accepts(name)) m_changed = true;
    }

    int m_fd = -1;
    std::vector<watch> m_watches;
    std::vector<checked_path> m_checked;
    bool m_changed = true;
};
