#pragma once
// Runs a program for the tests and captures what it prints.

#include <string>
#include <vector>

namespace jettest {

struct ProcessResult {
    int exit_code = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up in PATH when it has no slash) with the arguments,
// stdin from /dev/null. Throws std::runtime_error when it cannot be started.
ProcessResult run_process(const std::vector<std::string>& argv);

// True when `program` is found in PATH.
bool in_path(const std::string& program);

}  // namespace jettest
