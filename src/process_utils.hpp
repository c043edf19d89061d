#pragma once
// What every child process of the daemon shares: it dies with the daemon, it receives the
// termination signals that the daemon blocks for itself, it inherits no other child's pipe, and it
// sees the program's environment with the daemon's own variables laid over it.
// Include only from sources that start children: Boost.Process is slow to compile.

#include <utility>

#include <boost/process/child.hpp>
#include <boost/process/env.hpp>
#include <boost/process/environment.hpp>
#include <boost/process/error.hpp>
#include <boost/process/extend.hpp>
#include <boost/process/pipe.hpp>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace process_utils {

struct child_setup : boost::process::extend::handler {
    pid_t daemon_pid = ::getpid();

    // Runs in the child between fork and exec, so it sticks to async-signal-safe calls.
    template <class Executor>
    void on_exec_setup(Executor& /*exec*/) const {
        // The kernel sends the signal when the forking thread ends; every thread that starts
        // children outlives them (one-off commands are reaped before their thread moves on).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != daemon_pid) ::_exit(127);  // the daemon died before prctl took effect
        sigset_t signals;
        ::sigemptyset(&signals);
        ::sigaddset(&signals, SIGINT);
        ::sigaddset(&signals, SIGTERM);
        ::sigprocmask(SIG_UNBLOCK, &signals, nullptr);
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

// Kills the child with SIGKILL and reaps it; throws std::system_error when either fails.
// (boost::process::child::terminate() marks the child as ended without reaping it, which would
// leave a zombie behind.)
inline void kill_and_reap(boost::process::child& child) {
    if (child.running()) {
        if (::kill(child.id(), SIGKILL) != 0) throw std::system_error(errno, std::system_category(), "kill failed");
        child.wait();
    }
}

// A pipe whose ends are close-on-exec from the moment they exist, so only the child it is handed
// to holds it (as its dup'ed standard stream) and end of file arrives when that child has gone.
inline boost::process::pipe cloexec_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::system_category(), "pipe2 failed");
    return boost::process::pipe(fds[0], fds[1]);
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
