#pragma once
// What every child process of the daemon shares: it dies with the daemon, it leads a process group
// of its own that is stopped as a whole, it receives the termination signals and SIGPIPE as a
// program expects them, it inherits only its standard descriptors, and it sees the program's
// environment with the daemon's own variables laid over it.
// Include only from sources that start children: Boost.Process is slow to compile.

#include <utility>

#include <boost/process/child.hpp>
#include <boost/process/env.hpp>
#include <boost/process/environment.hpp>
#include <boost/process/error.hpp>
#include <boost/process/extend.hpp>
#include <boost/process/pipe.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace process_utils {

// The descriptors from `first` up, as /proc lists them, marked close-on-exec; up to the soft
// descriptor limit when /proc cannot be read. Async-signal-safe.
inline void mark_close_on_exec_from(int first) {
    const int listing = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        rlimit limit{};
        const rlim_t last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return;
    }
    alignas(dirent64) char buffer[4096];
    for (ssize_t got; (got = ::getdents64(listing, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            int fd = 0;
            const char* digit = entry->d_name;
            for (; *digit >= '0' && *digit <= '9'; ++digit) fd = fd * 10 + (*digit - '0');
            if (*digit == '\0' && digit != entry->d_name && fd >= first)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ::close(listing);
}

// Leaves a program started by exec its standard descriptors only, not the API socket, a client
// connection or a log file of the daemon. Marking them close-on-exec rather than closing them keeps
// Boost's own exec-status pipe (close-on-exec already) open until the exec, so a launch that fails
// is still reported. Async-signal-safe.
inline void keep_only_standard_descriptors() {
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    mark_close_on_exec_from(3);  // kernels before 5.11
}

struct child_setup : boost::process::extend::handler {
    pid_t daemon_pid = ::getpid();

    // Runs in the child between fork and exec, so it sticks to async-signal-safe calls.
    template <class Executor>
    void on_exec_setup(Executor& /*exec*/) const {
        // The kernel sends the signal when the forking thread ends; every thread that starts
        // children outlives them (one-off commands are reaped before their thread moves on).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != daemon_pid) ::_exit(127);  // the daemon died before prctl took effect
        // A group of its own: whatever the child leaves running is stopped with it. The launch
        // returns only after the exec, so the group exists before anyone signals it.
        ::setpgid(0, 0);
        sigset_t signals;
        ::sigemptyset(&signals);
        ::sigaddset(&signals, SIGINT);
        ::sigaddset(&signals, SIGTERM);
        ::sigprocmask(SIG_UNBLOCK, &signals, nullptr);
        // The daemon ignores SIGPIPE, and an ignored signal would stay ignored across exec.
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &default_action, nullptr);
        keep_only_standard_descriptors();
    }

    // Runs in the daemon when a start failed after the fork (a failed exec above all): no handle
    // to that child is ever returned, so it is killed if it still runs and reaped here, or it
    // would stay a zombie.
    template <class Executor>
    void on_error(Executor& exec, const std::error_code& /*error*/) const {
        if (exec.pid <= 0) return;
        ::kill(exec.pid, SIGKILL);
        ::waitpid(exec.pid, nullptr, 0);
    }
};

// Boost.Process makes its own exec-status pipe close-on-exec only after creating it; a child
// forked by another thread in between would keep that pipe and hang the launch until it exits.
inline std::mutex& spawn_mutex() {
    static std::mutex mutex;
    return mutex;
}

// Starts a child with the setup above; takes the same options as boost::process::child and throws
// std::system_error when the start fails. The failure is taken as an error code because Boost's
// own exception leaves before the error handlers run, so before a failed child could be reaped.
template <class... Options>
boost::process::child start_child(Options&&... options) {
    std::error_code error;
    std::lock_guard lock(spawn_mutex());
    boost::process::child child(std::forward<Options>(options)..., child_setup{}, error);
    if (error) throw std::system_error(error, "child start failed");
    return child;
}

// Kills the child's process group with SIGKILL, so that helpers it left behind go with it, and
// reaps the child; throws std::system_error when either fails. Also for a child that has ended and
// been reaped: its group lives on, under the same id, as long as one of its helpers does.
// (boost::process::child::terminate() marks the child as ended without reaping it, which would
// leave a zombie behind.)
inline void kill_group_and_reap(boost::process::child& child) {
    if (::kill(-child.id(), SIGKILL) != 0 && errno != ESRCH)
        throw std::system_error(errno, std::system_category(), "kill failed");
    child.wait();
}

// How long the output of a child that has been stopped may take to reach end of file. A pipe still
// held after it (by a helper that left the child's process group) is read no further.
inline constexpr auto OUTPUT_GRACE = std::chrono::seconds(1);

// A pipe whose ends are close-on-exec from the moment they exist, so only the child it is handed
// to holds it (as its dup'ed standard stream) and end of file arrives when that child has gone.
inline boost::process::pipe cloexec_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::system_category(), "pipe2 failed");
    return boost::process::pipe(fds[0], fds[1]);
}

// The read end of a pipe whose write end has gone to a child, for the caller to own.
inline int take_read_end(boost::process::pipe& pipe) {
    const int fd = pipe.native_source();
    pipe.assign_source(-1);
    return fd;
}

// The program's environment with `overrides` laid over it. A value is cut at its first NUL (all
// that a child could ever see of it); a name that no environment can hold (empty, or containing
// '=' or NUL) is left out rather than corrupting a neighbouring variable.
// set(), not operator[]: the lookup behind operator[] (Boost 1.74) compares the whole name
// against each entry and so reads past the end of entries shorter than the name.
inline boost::process::environment child_environment(const std::map<std::string, std::string>& overrides) {
    boost::process::environment env = boost::this_process::environment();
    for (const auto& [name, value] : overrides) {
        if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) continue;
        env.set(name, value.substr(0, value.find('\0')));
    }
    return env;
}

}  // namespace process_utils
