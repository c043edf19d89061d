#include "application.hpp"

#include "api_helpers.hpp"
#include "debug_bundle.hpp"
#include "log_utils.hpp"
#include "traced_exception.hpp"

#include <boost/process/child.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <spdlog/spdlog.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t EXE_PATH_BUFFER = 4096;

// True when a process accepts connections on the Unix socket at `path`; a full backlog (EAGAIN)
// still means that one listens. A socket file that nobody listens on refuses (ECONNREFUSED).
bool socket_answers(const fs::path& path) {
    sockaddr_un address{};
    const std::string& name = path.native();
    if (name.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN;
    ::close(fd);
    return answers;
}

// The API's connection limits, each second of them as long as `second`.
http_server::limits connection_limits(std::chrono::steady_clock::duration second) {
    const auto scaled = [second](std::chrono::milliseconds limit) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(limit.count() * second / 1000);
    };
    http_server::limits limits;
    limits.idle_timeout = scaled(limits.idle_timeout);
    limits.head_deadline = scaled(limits.head_deadline);
    limits.body_deadline = scaled(limits.body_deadline);
    return limits;
}

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

application::application(std::string name) : m_app_name(std::move(name)) { init_paths(); }

application::application(std::string name, fs::path app_dir) : m_app_name(std::move(name)) {
    init_paths_from(app_dir);
}

application::~application() { stop_background_work(); }

void application::init_paths() {
    char buffer[EXE_PATH_BUFFER];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, EXE_PATH_BUFFER - 1);
    if (length <= 0) throw traced_exception("Unable to resolve application path");
    buffer[length] = '\0';
    init_paths_from(fs::path(buffer).parent_path());
}

void application::init_paths_from(const fs::path& app_dir) {
    m_data_dir = app_dir / "localdata";
    m_netbird_path = app_dir / "lib" / "netbird";
    m_iperf3_path = app_dir / "lib" / "iperf3";
    m_config_path = m_data_dir / "config.json";
    m_log_path = m_data_dir / "client.log";
    m_log_dir = m_data_dir / log_utils::LOG_DIR_NAME;
    m_socket_path = m_data_dir / "netbird.sock";
    m_api_socket_path = fs::path("/run/http") / m_app_name / "api.sock";
    m_env_path = m_data_dir / "env.json";
    m_app_config_path = m_data_dir / "app.json";
    m_journal_path = m_data_dir / "journal.json";
    m_registration_path = m_data_dir / "registration.json";
}

void application::ensure_data_dir() const {
    std::error_code ec;
    fs::create_directories(m_data_dir, ec);
    if (ec) throw traced_exception("Unable to create localdata directory");
    // NetBird makes its daemon socket writable by everyone, so only this directory keeps other
    // local users from driving the client (and from reading its configuration and logs).
    constexpr auto others = fs::perms::group_all | fs::perms::others_all;
    if ((fs::status(m_data_dir, ec).permissions() & others) == fs::perms::none) return;
    fs::permissions(m_data_dir, others, fs::perm_options::remove, ec);
    if (ec) spdlog::warn("Could not keep other users out of {}: {}", m_data_dir.string(), ec.message());
}

void application::run() {
    // A second daemon started by mistake would take the API away from the one that serves it.
    if (socket_answers(m_api_socket_path))
        throw traced_exception("API socket " + m_api_socket_path.string() + " is in use by a running instance");
    const sigset_t signals = termination_signals();
    const int mask_error = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (mask_error != 0) spdlog::warn("Failed to block signals: {}", std::strerror(mask_error));

    // The loop exists before the first save: the settings writer reports every save's end through
    // it, and a document whose report were lost would never save again.
    http_server::app app(connection_limits(m_limit_second));
    setup_routes(app);
    m_http = &app;
    m_loop = &app.loop();
    // Whatever ends the loop (signal, failed listen, an escaping exception), the threads and
    // children that refer to this object and to the loop are stopped before either goes away.
    struct teardown {
        application& self;
        ~teardown() {
            self.stop_background_work();
            // A bundle cut short by the shutdown left a zip that is of no use to anyone now.
            debug_bundle::remove_leftover_bundles();
            self.m_loop = nullptr;
            self.m_http = nullptr;
        }
    } guard{*this};

    ensure_data_dir();
    load_state();
    load_journal();
    record_event("daemon_started");
    std::error_code ec;
    assume_registration_at_start();
    debug_bundle::remove_leftover_bundles();
    start_service();

    m_command_thread = std::thread([this] { command_worker_loop(); });
    start_watchdog();
    start_signal_reader();
    if (mask_error == 0 && m_signal_fd < 0) ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

    fs::create_directories(m_api_socket_path.parent_path(), ec);
    fs::remove(m_api_socket_path, ec);
    app.listen(
        m_api_socket_path.string(), [this](http_server::listen_socket* socket) { on_listen(socket); },
        [this] { open_api_socket_to_all(); });
    app.run();
}

// The web server runs as another user. Done before the socket listens: changed afterwards, the
// first requests could find it closed to them.
void application::open_api_socket_to_all() const {
    if (::chmod(m_api_socket_path.c_str(), 0666) != 0)
        spdlog::warn("Failed to chmod API socket {}: {}", m_api_socket_path.string(), std::strerror(errno));
}

void application::on_listen(http_server::listen_socket* listen_socket) {
    if (listen_socket == nullptr) {
        spdlog::error("Failed to listen on {}", m_api_socket_path.string());
        return;
    }
    spdlog::info("API server listening on {}", m_api_socket_path.string());
}

// The reader waits on the signal descriptor and on a stop event, so teardown can end it.
void application::start_signal_reader() {
    const sigset_t signals = termination_signals();
    m_signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (m_signal_fd < 0) {
        spdlog::warn("Failed to create signalfd: {}", std::strerror(errno));
        return;
    }
    // Without the stop event teardown could never join the reader: the signals then keep their
    // default effect, as without a signal descriptor.
    m_stop_event_fd = ::eventfd(0, EFD_CLOEXEC);
    if (m_stop_event_fd < 0) {
        spdlog::warn("Failed to create eventfd: {}", std::strerror(errno));
        close_signal_fd();
        return;
    }
    m_signal_thread = std::thread([this, fd = m_signal_fd, stop_fd = m_stop_event_fd] {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
        if (fds[1].revents != 0) return;
        signalfd_siginfo info{};
        const ssize_t got = ::read(fd, &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info)) {
            const int signal_number = static_cast<int>(info.ssi_signo);
            m_loop->defer([this, signal_number] { on_signal(signal_number); });
        } else {
            m_loop->defer([this] { close_signal_fd(); });
        }
    });
}

void application::on_signal(int signal_number) {
    spdlog::info("Signal {} received, shutting down", signal_number);
    m_shutting_down = true;
    record_event("daemon_stopped");  // saved before the service's stop, which may not reach the disk
    m_lifecycle.stopping();
    stop_service();
    stop_iperf_server();
    close_signal_fd();
    m_stopped_by_signal = true;
    m_http->stop();
}

void application::close_signal_fd() {
    if (m_signal_fd >= 0) ::close(m_signal_fd);
    m_signal_fd = -1;
}

void application::stop_background_work() {
    m_stopping = true;
    {
        std::lock_guard lock(m_queue_mutex);
        m_command_queue.clear();
    }
    m_queue_cv.notify_all();
    {
        std::lock_guard lock(m_poll_mutex);
        m_poll_wake = true;
    }
    m_poll_cv.notify_all();
    if (m_stop_event_fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_stop_event_fd, &one, sizeof one);
    }
    for (std::thread* thread : {&m_signal_thread, &m_command_thread, &m_watchdog_thread})
        if (thread->joinable()) thread->join();
    m_settings_writer.stop();  // saves already asked for still reach the disk
    m_log_maintenance.stop();
    if (m_stop_event_fd >= 0) ::close(m_stop_event_fd);
    m_stop_event_fd = -1;
    close_signal_fd();
    stop_service();
    stop_iperf_server();
}

bool application::queue_job(const response_ptr& res, command_job job) {
    if (!job.answer)
        job.answer = [no_store = job.no_store](const response_ptr& answered, job_result& result) {
            api_helpers::write_json(answered, vpn_api::build_json_result(result.command), http_server::status::ok,
                                    no_store);
        };
    const bool no_store = job.no_store;
    std::string name = job.name;
    // The worker hands the job on to its end on the loop, so the response and the job's captures
    // are released on the loop's thread, not on the worker's.
    auto run = [this, res, aborted = api_helpers::make_abort_guard(res), job = std::move(job)]() mutable {
        auto result = [&] {
            const auto lock = lock_for_command();
            return std::make_shared<job_result>(job.run());
        }();
        defer([this, res = std::move(res), aborted = std::move(aborted), job = std::move(job),
               result = std::move(result)] {
            if (job.finish) job.finish(*result);
            if (job.journaled) {
                note_command_end(job.name, result->command.exit_code);
                wake_status_poller();
            }
            if (!aborted->load()) job.answer(res, *result);
        });
    };
    if (enqueue_command(std::move(name), std::move(run))) return true;
    api_helpers::write_json(res, vpn_api::build_json_result(503, "VPN service busy"),
                            http_server::status::service_unavailable, no_store);
    return false;
}

std::function<job_result()> application::one_command(std::vector<std::string> args) {
    return [this, args = std::move(args)] { return job_result{run_command(args, false)}; };
}

bool application::enqueue_command(std::string name, std::function<void()> job) {
    {
        std::lock_guard lock(m_queue_mutex);
        if (m_command_queue.size() >= MAX_QUEUED_COMMANDS) return false;
        m_command_queue.push_back({std::move(name), std::move(job)});
    }
    m_queue_cv.notify_one();
    return true;
}

void application::enqueue_command_first(std::string name, std::function<void()> job) {
    {
        std::lock_guard lock(m_queue_mutex);
        m_command_queue.push_front({std::move(name), std::move(job)});
    }
    m_queue_cv.notify_one();
}

void application::command_worker_loop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_queue_mutex);
            m_queue_cv.wait(lock, [this] { return !m_command_queue.empty() || stopping(); });
            if (stopping()) return;
            job = std::move(m_command_queue.front().run);
            m_running_command = std::move(m_command_queue.front().name);
            m_running_since = clock::now();
            m_command_queue.pop_front();
        }
        job();
        std::lock_guard lock(m_queue_mutex);
        m_running_command.reset();
    }
}

void application::wake_status_poller() {
    {
        std::lock_guard lock(m_poll_mutex);
        m_poll_wake = true;
    }
    m_poll_cv.notify_one();
}

void application::defer(std::function<void()> task) {
    if (m_loop != nullptr) m_loop->defer(std::move(task));
}

void application::setup_routes(http_server::app& app) {
    using member = void (application::*)(const response_ptr&, const request&);
    struct route {
        bool is_post;
        const char* suffix;
        member handler;
    };
    static constexpr route ROUTES[] = {
        {false, "/status", &application::api_status},
        {true, "/up", &application::api_up},
        {true, "/down", &application::api_down},
        {true, "/restart", &application::api_restart},
        {true, "/reconnect", &application::api_reconnect},
        {true, "/deregister", &application::api_deregister},
        {false, "/env", &application::api_env_get},
        {true, "/env", &application::api_env_set},
        {false, "/config", &application::api_config_get},
        {true, "/config", &application::api_config_set},
        {false, "/logs/tail", &application::api_logs_tail},
        {false, "/logs/list", &application::api_logs_list},
        {false, "/logs/download", &application::api_logs_download},
        {false, "/storage", &application::api_storage},
        {false, "/debug-bundle", &application::api_debug_bundle},
        {true, "/debug-bundle/upload", &application::api_debug_bundle_upload},
        {true, "/iperf/server/start", &application::api_iperf_start},
        {true, "/iperf/server/stop", &application::api_iperf_stop},
        {false, "/iperf/server/status", &application::api_iperf_status},
        {false, "/activity", &application::api_activity},
        {false, "/journal", &application::api_journal},
    };
    const std::string prefix = "/local/" + m_app_name + "/api/vpn";
    for (const route& r : ROUTES) {
        auto handler = [this, h = r.handler](const response_ptr& res, const request& req) { (this->*h)(res, req); };
        if (r.is_post)
            app.post(prefix + r.suffix, std::move(handler));
        else
            app.get(prefix + r.suffix, std::move(handler));
    }
}
