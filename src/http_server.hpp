#pragma once
// A small HTTP/1.1 server on a Unix socket, with the shape of the handlers above it:
// routes by method and exact path, a response handle that may be answered later from the
// event loop, body chunks with a "last" flag, and an abort callback when the client goes away.
// Beast and Asio stay inside http_server.cpp.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace http_server {

class request {
public:
    request(std::string method, std::string target);

    std::string_view method() const { return m_method; }
    // The path without the query string.
    std::string_view path() const { return std::string_view(m_target).substr(0, m_path_end); }
    std::string_view query() const;
    // The first value of a query parameter with its percent escapes decoded; "" when missing.
    std::string query_value(std::string_view key) const;

private:
    std::string m_method;
    std::string m_target;
    std::size_t m_path_end;  // where the query's '?' is, or the end
};

// The statuses handlers answer with; each has its one status line text inside the server. The
// interim "100 Continue" is the server's own business.
enum class status : unsigned {
    ok = 200,
    bad_request = 400,
    not_found = 404,
    payload_too_large = 413,
    internal_server_error = 500,
    service_unavailable = 503,
};

class session;

// Handle of one request's answer. A handler may keep it (shared) and answer later on the event
// loop. After the client has gone away (abort) writing through it does nothing.
class response {
public:
    using data_handler = std::function<void(std::string_view chunk, bool last)>;
    using abort_handler = std::function<void()>;

    explicit response(std::weak_ptr<session> owner);

    response& write_status(status code);
    response& write_header(std::string_view name, std::string_view value);
    // Writes the status, the headers in the order given, and the body with its length.
    void end(std::string_view body);
    // Answers with the content of the open file `fd` as the body: its length as it is now, then its
    // bytes from the start, read in bounded chunks only as fast as the client takes them. Takes the
    // descriptor over. False when `fd` is not a regular file: nothing is written, the status and
    // headers set so far are dropped, and the response is still to be answered.
    bool end_with_file(int fd);

    void on_data(data_handler handler) { m_on_data = std::move(handler); }
    // Replaces any abort handler attached before.
    void on_aborted(abort_handler handler) { m_on_aborted = std::move(handler); }

    bool ended() const { return m_ended; }
    bool has_abort_handler() const { return static_cast<bool>(m_on_aborted); }

private:
    friend class session;
    void deliver_data(std::string_view chunk, bool last);
    void abort();
    void release_handlers();

    std::weak_ptr<session> m_owner;
    std::string_view m_status_line;  // a static text, such as "200 OK"
    std::string m_header_lines;  // "Name: value\r\n" each, in order
    data_handler m_on_data;
    abort_handler m_on_aborted;
    bool m_ended = false;
};

using response_ptr = std::shared_ptr<response>;
using handler = std::function<void(const response_ptr& res, const request& req)>;

// The main thread's event loop; defer() may be called from any thread.
class event_loop {
public:
    virtual ~event_loop() = default;
    virtual void defer(std::function<void()> task) = 0;
};

// Values that suit the camera's web server, which proxies to this socket and keeps its
// connections to it open between requests: the idle time is longer than a proxy keeps an unused
// upstream connection (nginx 60 s), so that the proxy, not the server, ends them.
inline constexpr std::chrono::milliseconds IDLE_TIMEOUT = std::chrono::seconds(75);
// From a request head's first byte to its end; a client that trickles a head (slow loris) is cut
// off after this.
inline constexpr std::chrono::milliseconds HEAD_DEADLINE = std::chrono::seconds(20);
// From the end of a request head to the end of its body; a client that trickles a body is cut off
// after this.
inline constexpr std::chrono::milliseconds BODY_DEADLINE = std::chrono::seconds(20);
// Well below the 1024 descriptors a camera process gets; a lower descriptor limit lowers it
// further. At the cap the connection idle longest makes room for a new one, else the one stuck
// longest in a transfer (a body trickling in, an answer its client reads slowly).
inline constexpr std::size_t MAX_CONNECTIONS = 256;

struct limits {
    // Closes a connection that waits this long for a request, or that stalls this long while a
    // body is read or an answer written.
    std::chrono::milliseconds idle_timeout = IDLE_TIMEOUT;
    std::chrono::milliseconds head_deadline = HEAD_DEADLINE;
    std::chrono::milliseconds body_deadline = BODY_DEADLINE;
    std::size_t max_connections = MAX_CONNECTIONS;
};

// Opaque marker of a listening socket; null in the listen callback means listening failed.
struct listen_socket;

class app {
public:
    explicit app(limits connection_limits = {});
    ~app();
    app(const app&) = delete;
    app& operator=(const app&) = delete;

    app& get(std::string path, handler h);
    app& post(std::string path, handler h);

    // Binds, calls on_bound (when given) while no client can connect yet, to set up the socket
    // file, such as its mode, so that no client is ever turned away for want of permission;
    // listens, then calls on_listen with the socket or null.
    void listen(const std::string& socket_path, const std::function<void(listen_socket*)>& on_listen,
                const std::function<void()>& on_bound = {});

    event_loop& loop();
    // Runs until nothing is left to serve or stop() was called.
    void run();
    // Ends run() after the current step; usable only on the loop's own thread.
    void stop();

    struct impl;

private:
    std::unique_ptr<impl> m_impl;
};

}  // namespace http_server
