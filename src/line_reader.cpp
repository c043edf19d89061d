#include "line_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <spdlog/spdlog.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t CHUNK_BYTES = 64 * 1024;
// What a stopped reader still takes from its pipe: everything a child that has gone can have left
// there, but not an endless stream from a helper that lives on.
constexpr std::size_t DRAIN_LIMIT = 1024 * 1024;

}  // namespace

void line_reader::start(int read_end, line_handler on_line, std::string what, line_limits output_limits) {
    stop(std::chrono::milliseconds(0));
    m_fd = read_end;
    try {
        m_stop_fd = ::eventfd(0, EFD_CLOEXEC);
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (m_stop_fd < 0 || flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0)
            throw std::system_error(errno, std::system_category(), "output reader setup failed");
        m_on_line = std::move(on_line);
        m_what = std::move(what);
        m_limits = output_limits;
        m_ended = false;
        m_thread = std::thread([this] { read_loop(); });
    } catch (...) {
        close_descriptors();
        throw;
    }
}

void line_reader::stop(std::chrono::milliseconds grace) {
    if (m_thread.joinable()) {
        {
            std::unique_lock lock(m_mutex);
            m_ended_cv.wait_for(lock, grace, [this] { return m_ended; });
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_stop_fd, &one, sizeof one);
        m_thread.join();
        m_on_line = nullptr;
    }
    close_descriptors();
}

// Waits for output or the stop event. Once stopped, it reads on only while the pipe has data
// ready (the descriptor does not block), and at most DRAIN_LIMIT bytes.
void line_reader::read_loop() {
    std::vector<char> chunk(CHUNK_BYTES);
    progress pending;
    bool stopping = false;
    std::size_t drained = 0;
    for (;;) {
        if (!stopping) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop_fd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            stopping = fds[1].revents != 0;
        }
        const ssize_t got = ::read(m_fd, chunk.data(), chunk.size());
        if (got > 0) {
            const auto size = static_cast<std::size_t>(got);
            take_chunk(chunk.data(), size, pending);
            if (stopping && (drained += size) >= DRAIN_LIMIT) break;
        } else if (got == 0 || (errno != EINTR && (errno != EAGAIN || stopping))) {
            break;  // end of file, a read error, or a stopped reader that found the pipe empty
        }
    }
    if (!pending.line.empty()) pass_on(pending);
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_ended_cv.notify_all();
}

// A line reaching the maximum is passed on at once, cut; what follows up to its newline is dropped.
void line_reader::take_chunk(const char* data, std::size_t size, progress& state) const {
    const char* const end = data + size;
    while (data != end) {
        const char* const newline = std::find(data, end, '\n');
        if (!state.dropping_rest_of_line) {
            const auto wanted = static_cast<std::size_t>(newline - data);
            const std::size_t room = m_limits.line - state.line.size();
            state.line.append(data, std::min(wanted, room));
            if (wanted > room) {
                cut(state, m_limits.line, m_limits.line);
                pass_on(state);
                state.dropping_rest_of_line = true;
            }
        }
        if (newline == end) return;
        if (!state.dropping_rest_of_line) pass_on(state);
        state.dropping_rest_of_line = false;
        data = newline + 1;
    }
}

// Past the total nothing is passed on. A long line's buffer is given back rather than kept for the
// next, short ones.
void line_reader::pass_on(progress& state) const {
    if (state.passed <= m_limits.total) {
        const std::size_t room = m_limits.total - state.passed;
        if (state.line.size() >= room) cut(state, room, m_limits.total);
        state.passed += state.line.size() + 1;
        m_on_line(state.line);
    }
    if (state.line.capacity() > CHUNK_BYTES)
        state.line = std::string();
    else
        state.line.clear();
}

void line_reader::cut(progress& state, std::size_t length, std::size_t limit) const {
    if (!std::exchange(state.cut_logged, true)) spdlog::warn("{} cut past {} bytes", m_what, limit);
    state.line.resize(length);
    state.line.append(CUT_MARKER);
}

void line_reader::close_descriptors() {
    for (int* fd : {&m_fd, &m_stop_fd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}
