#pragma once
// A command an operator queued for the client: what runs on the command worker, and how its end
// is taken and answered on the loop (application::queue_job).

#include <functional>
#include <string>
#include <utility>

#include "command_result.hpp"
#include "file_utils.hpp"
#include "http_server.hpp"

// What a job hands from the command worker to its end on the loop.
struct job_result {
    job_result(command_result result, bool applied_settings = false)
        : command(std::move(result)), applied(applied_settings) {}

    command_result command;
    // Whether the settings of an `up`'s command line reached the client: a connected client
    // applies none of them.
    bool applied = false;
    // A file to answer with instead of a document (a debug bundle), open already.
    file_utils::unique_fd file;
};

struct command_job {
    // What runs, for GET /activity and the journal: "up", "debug bundle", ...
    std::string name;
    // On the command worker, holding the command lock: no other command runs meanwhile.
    std::function<job_result()> run;
    // On the loop once `run` returned, also when the client has gone.
    std::function<void(const job_result&)> finish = {};
    // The answer, unless the client has gone; by default the command's result document.
    std::function<void(const http_server::response_ptr&, job_result&)> answer = {};
    // Whether the answer (and a refusal when the queue is full) tells caches not to keep it.
    bool no_store = false;
    // Whether its end is journaled and wakes the status poll: it may have changed the client's state.
    bool journaled = true;
};
