// What a child's output passes through on its way in, and what a child is left of the daemon's
// descriptors on its way out.

#include "line_reader.hpp"
#include "process_utils.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <csignal>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct pipe_ends {
    int read = -1;
    int write = -1;
    explicit pipe_ends(int flags = O_CLOEXEC) {
        int fds[2];
        if (::pipe2(fds, flags) != 0) throw std::runtime_error("pipe2 failed");
        read = fds[0];
        write = fds[1];
    }
    pipe_ends(const pipe_ends&) = delete;
    pipe_ends& operator=(const pipe_ends&) = delete;
    ~pipe_ends() {
        for (const int fd : {read, write})
            if (fd >= 0) ::close(fd);
    }
    int take_read() { return std::exchange(read, -1); }
    void send(std::string_view text) const {
        ASSERT_EQ(::write(write, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void close_write() { ::close(std::exchange(write, -1)); }
};

// The reader's lines; read only after stop(), which joins the reader's thread. The handler shares
// `held` for as long as the reader keeps it.
struct collected {
    std::vector<std::string> lines;
    std::shared_ptr<int> held = std::make_shared<int>();
    line_reader::line_handler handler() {
        return [this, held = held](std::string& line) { lines.push_back(line); };
    }
};

TEST(line_reader, passes_lines_split_across_writes_and_a_last_one_without_newline) {
    pipe_ends pipe;
    collected seen;
    line_reader reader;
    reader.start(pipe.take_read(), seen.handler(), "test output");
    pipe.send("one\ntw");
    pipe.send("o\r\n\nthree");
    pipe.close_write();
    reader.stop(60s);  // returns at end of file
    EXPECT_EQ(seen.lines, (std::vector<std::string>{"one", "two\r", "", "three"}));
    EXPECT_EQ(seen.held.use_count(), 1) << "the stopped reader's thread has ended and let go of the handler";
}

// A line over the limit is cut where it reaches it, also split across writes, and the rest of it
// dropped; past the total the crossing line is cut and nothing else comes.
TEST(line_reader, cuts_long_lines_and_stops_passing_lines_past_the_total) {
    pipe_ends pipe;
    collected seen;
    line_reader reader;
    reader.start(pipe.take_read(), seen.handler(), "test output", {.line = 8, .total = 40});
    pipe.send("12345678\n0123");
    pipe.send("456789abc");
    pipe.send("def\nnext\n");
    pipe.send("exactly8\n0123456789\nlast");
    pipe.close_write();
    reader.stop(60s);
    const std::string cut(line_reader::CUT_MARKER);
    EXPECT_EQ(seen.lines, (std::vector<std::string>{"12345678", "01234567" + cut, "next", "exactly8", "01" + cut}));
}

// A helper that outlived the child still holds the write end: the stop takes what the pipe holds,
// a last partial line included, and returns after the grace.
TEST(line_reader, stops_after_the_grace_while_a_writer_lives_on) {
    pipe_ends pipe;
    collected seen;
    line_reader reader;
    reader.start(pipe.take_read(), seen.handler(), "test output");
    pipe.send("kept\npartial");
    reader.stop(50ms);
    EXPECT_EQ(seen.lines, (std::vector<std::string>{"kept", "partial"}));

    // The read end is closed, so the writer learns that nobody reads any more.
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    EXPECT_EQ(::write(pipe.write, "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::sigaction(SIGPIPE, &previous, nullptr);
}

// The fallback for kernels without close_range: every descriptor from the given one up is marked,
// the standard ones are left alone. Checked in a child, as the daemon's children do it.
TEST(child_descriptors, marks_every_descriptor_above_the_standard_ones_close_on_exec) {
    const pipe_ends inherited(0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int standard_flags = ::fcntl(STDERR_FILENO, F_GETFD);
        process_utils::mark_close_on_exec_from(3);
        const bool marked = (::fcntl(inherited.read, F_GETFD) & FD_CLOEXEC) != 0 &&
                            (::fcntl(inherited.write, F_GETFD) & FD_CLOEXEC) != 0;
        ::_exit(marked && ::fcntl(STDERR_FILENO, F_GETFD) == standard_flags ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
