#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace jettest {

namespace {

void wait_for(pid_t pid, int* status) {
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const RunOptions& options)
    : timeout_(options.timeout), started_(std::chrono::steady_clock::now()) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!options.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_ = out_pipe[0];
    err_ = err_pipe[0];
    if (rc != 0) {
        close(out_);
        close(err_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        wait_for(pid_, &status);
        close(out_);
        close(err_);
    }
}

ProcessResult Process::wait() {
    ProcessResult result;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        int wait_ms = -1;
        if (timeout_.count() > 0 && !result.timed_out) {
            const auto left = timeout_ - std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - started_);
            if (left.count() <= 0) {
                result.timed_out = true;
                ::kill(pid_, SIGKILL);
            } else {
                wait_ms = static_cast<int>(left.count());
            }
        }
        const int ready = poll(fds, 2, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<std::size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_count;
                }
            }
        }
    }
    for (const pollfd& f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    int status = 0;
    wait_for(pid_, &status);
    pid_ = -1;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ProcessResult run_process(const std::vector<std::string>& argv, const RunOptions& options) {
    return Process(argv, options).wait();
}

bool in_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return false;
    }
    std::string p = path;
    std::size_t start = 0;
    while (start <= p.size()) {
        const std::size_t end = p.find(':', start);
        const std::string dir = p.substr(start, end == std::string::npos ? end : end - start);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

LockHolder::LockHolder(const std::filesystem::path& file, off_t start, off_t length) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (::pipe2(release, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        const int fd = ::open(file.c_str(), O_RDWR);
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        l.l_start = start;
        l.l_len = length;
        const char ok = fd >= 0 && ::fcntl(fd, F_SETLK, &l) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        char c;
        (void)!::read(release[0], &c, 1);  // until the parent closes its end
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char ok = 'n';
    const bool heard = pid_ > 0 && ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    if (!heard || ok != 'y') {
        ::close(release_);
        if (pid_ > 0) {
            int status = 0;
            wait_for(pid_, &status);
        }
        throw std::runtime_error("the child could not take its lock on " + file.string());
    }
}

LockHolder::~LockHolder() {
    ::close(release_);
    int status = 0;
    wait_for(pid_, &status);
}

}  // namespace jettest
