#pragma once
// Reads a child's output pipe line by line on a thread of its own. Unlike a blocking stream read it
// can be stopped: a helper that the child left behind, still holding the pipe's write end, keeps
// neither the reader nor the thread that stops it waiting.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// A line longer than `line` is passed on cut to that length with line_reader::CUT_MARKER after it,
// and the rest of it up to its newline is dropped: a child that writes without newlines cannot
// fill memory. Past `total` bytes in all (each line counted with its newline) the line that
// crosses it is cut and nothing more is passed on.
struct line_limits {
    static constexpr std::size_t DEFAULT_LINE_BYTES = 1024 * 1024;
    std::size_t line = DEFAULT_LINE_BYTES;
    std::size_t total = SIZE_MAX;
};

class line_reader {
public:
    // Called on the reader's thread with each line, its newline removed; a last line without a
    // newline is passed on too.
    using line_handler = std::function<void(std::string& line)>;

    static constexpr std::string_view CUT_MARKER = " [cut]";

    line_reader() = default;
    ~line_reader() { stop(std::chrono::milliseconds(0)); }
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    // Takes ownership of `read_end` (closed here also when this throws) and starts reading.
    // Throws std::system_error when the reader cannot be set up; a running reader is stopped first.
    // `what` names the output in the one log line the first cut gets.
    void start(int read_end, line_handler on_line, std::string what, line_limits output_limits = {});
    // Lets the reader run until end of file for at most `grace`, then has it take what the pipe
    // holds at that moment and end; returns once its thread is joined and the pipe closed.
    void stop(std::chrono::milliseconds grace);

private:
    // The line being put together from chunks, whether its end is being dropped, and how much
    // has been passed on so far.
    struct progress {
        std::string line;
        bool dropping_rest_of_line = false;
        bool cut_logged = false;
        std::size_t passed = 0;
    };

    void read_loop();
    void take_chunk(const char* data, std::size_t size, progress& state) const;
    void pass_on(progress& state) const;
    void cut(progress& state, std::size_t length, std::size_t limit) const;
    void close_descriptors();

    int m_fd = -1;
    int m_stop_fd = -1;
    line_handler m_on_line;
    std::string m_what;
    line_limits m_limits;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_ended_cv;
    bool m_ended = false;
};
