#pragma once
// Threads that are joined when they go, also when an exception passes.

#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace jet {

class JoinedThreads {
  public:
    JoinedThreads() = default;
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;
    ~JoinedThreads() { join(); }
    // Starts `run` on a thread of its own; false when no thread is to be had.
    template <typename Run>
    bool start(Run&& run) {
        try {
            threads_.emplace_back(std::forward<Run>(run));
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    void join() {
        for (auto& t : threads_) {
            t.join();
        }
        threads_.clear();
    }

  private:
    std::vector<std::thread> threads_;
};

}  // namespace jet
