#include "service/analysis/scan_pool.h"

#include <sys/resource.h>
#include <unistd.h>

ScanPool::ScanPool(unsigned jobs)
{
    for (unsigned slot = 0; slot < jobs; ++slot)
        threads_.emplace_back([this, slot] { work(slot); });
}

ScanPool::~ScanPool()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

bool ScanPool::try_run(std::function<void(unsigned slot)> job)
{
    {
        const std::lock_guard lock(mutex_);
        if (busy_ >= threads_.size())
            return false;
        ++busy_;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void ScanPool::work(unsigned slot)
{
    // Digesting and streaming an upload must not take the cores from the
    // threads that answer look-ups: a scan may wait, a look-up should not.
    // On Linux a thread's nice value is its own.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    for (;;) {
        std::function<void(unsigned)> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job(slot);
        const std::lock_guard lock(mutex_);
        --busy_;
    }
}
