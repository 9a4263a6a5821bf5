#pragma once
// Runs a program for the tests and captures what it prints; holds a lock on
// a file from another process, as another program would.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace jettest {

struct ProcessResult {
    int exit_code = -1;      // -1 when it did not exit normally
    bool timed_out = false;  // killed when the timeout passed
    std::string out;
    std::string err;
};

struct RunOptions {
    std::filesystem::path cwd;  // where the program runs; empty: here
    // Killed (SIGKILL) when it runs longer; zero: no limit.
    std::chrono::milliseconds timeout{0};
};

// A started program; wait() collects it. Two may run at once (each keeps
// what it prints in its pipes until waited for, so it should print little).
class Process {
  public:
    // Starts argv[0] (looked up in PATH when it has no slash) with the
    // arguments, stdin from /dev/null. Throws std::runtime_error when it
    // cannot be started.
    explicit Process(const std::vector<std::string>& argv, const RunOptions& options = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ProcessResult wait();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::chrono::milliseconds timeout_{0};
    std::chrono::steady_clock::time_point started_;
};

ProcessResult run_process(const std::vector<std::string>& argv, const RunOptions& options = {});

// True when `program` is found in PATH.
bool in_path(const std::string& program);

// Another process holding a POSIX byte-range write lock on `file`, as a Jet
// client here or a file server for its clients does, until destroyed.
// Throws std::runtime_error when it could not take the lock.
class LockHolder {
  public:
    LockHolder(const std::filesystem::path& file, off_t start, off_t length);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

  private:
    pid_t pid_ = -1;
    int release_ = -1;
};

}  // namespace jettest
