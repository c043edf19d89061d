#pragma once
// Reads a child's output pipe line by line on a thread of its own. Unlike a blocking stream read it
// can be stopped: a helper that the child left behind, still holding the pipe's write end, keeps
// neither the reader nor the thread that stops it waiting.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class line_reader {
public:
    // Called on the reader's thread with each line, its newline removed; a last line without a
    // newline is passed on too.
    using line_handler = std::function<void(std::string& line)>;

    line_reader() = default;
    ~line_reader() { stop(std::chrono::milliseconds(0)); }
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    // Takes ownership of `read_end` (closed here also when this throws) and starts reading.
    // Throws std::system_error when the reader cannot be set up; a running reader is stopped first.
    void start(int read_end, line_handler on_line);
    // Lets the reader run until end of file for at most `grace`, then has it take what the pipe
    // holds at that moment and end; returns once its thread is joined and the pipe closed.
    void stop(std::chrono::milliseconds grace);
    bool active() const { return m_thread.joinable(); }

private:
    void read_loop();
    void take_chunk(const char* data, std::size_t size, std::string& pending) const;
    void close_descriptors();

    int m_fd = -1;
    int m_stop_fd = -1;
    line_handler m_on_line;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_ended_cv;
    bool m_ended = false;
};
