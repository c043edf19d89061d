#pragma once
// The outcome of one child command; failures are exit codes, never exceptions.

#include <string>

struct command_result {
    int exit_code = 0;
    std::string stdout_data;
    std::string stderr_data;
    std::string combined() const { return stdout_data + stderr_data; }
};
