// A fixed number of scan jobs, each on a thread of its own, so that uploads
// and their scans never hold the threads that answer look-ups. A job is taken
// only when a thread is free for it: past that the caller is told at once.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ScanPool {
public:
    explicit ScanPool(unsigned jobs);
    // Finishes the jobs taken, then ends the threads.
    ~ScanPool();
    ScanPool(const ScanPool&) = delete;
    ScanPool& operator=(const ScanPool&) = delete;

    // Runs `job` on a free thread, with that thread's number (0 .. jobs-1),
    // so that each may own a store connection. False when none is free.
    bool try_run(std::function<void(unsigned slot)> job);

    unsigned jobs() const { return static_cast<unsigned>(threads_.size()); }

private:
    void work(unsigned slot);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void(unsigned)>> queue_;
    unsigned busy_ = 0;  // taken and not yet finished, queued ones included
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
