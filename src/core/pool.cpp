// The process-wide thread pool behind parallel_for.
//
// One pool per process, created by the first parallel loop with the number
// of threads given by RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS or the CPUs
// available to the process. The caller publishes a job and waits; workers
// take chunks from an atomic counter. After fork() the child has none of
// the parent's threads: a pthread_atfork handler forgets the inherited pool
// (its mutexes may be held by threads that no longer exist) so that the
// child's first loop starts a fresh one.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel.hpp"
#include "core/pool_size.hpp"
#include "core/stop.hpp"

namespace quarnel {
namespace {

struct Job {
    std::size_t n = 0;
    std::size_t grain = 1;
    detail::ChunkFn fn = nullptr;
    void* ctx = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // first failure, guarded by Pool::mutex
};

class Pool {
public:
    explicit Pool(std::size_t threads) {
        workers_.reserve(threads);
        try {
            for (std::size_t t = 0; t < threads; ++t)
                workers_.emplace_back([this, t] { worker(t); });
        } catch (const std::exception& e) {
            shut_down();
            stop(std::string("The global thread pool has not been initialized.: ") + e.what());
        }
    }

    std::size_t size() const noexcept { return workers_.size(); }

    void run(Job& job) {
        // One job at a time: callers that let go of the interpreter lock
        // (the driver's searches) may come from several threads at once.
        std::lock_guard one_job(serial_);
        std::unique_lock lock(mutex_);
        job_ = &job;
        busy_ = workers_.size();
        ++generation_;
        wake_.notify_all();
        done_.wait(lock, [this] { return busy_ == 0; });
        job_ = nullptr;
    }

    // Process exit: the pool is deliberately never destroyed (workers may be
    // blocked forever in a forked child or during interpreter teardown).

private:
    void worker(std::size_t index) {
        set_thread_name("quarnel-worker-" + std::to_string(index));
        std::uint64_t seen = 0;
        for (;;) {
            Job* job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return generation_ != seen || quit_; });
                if (quit_) return;
                seen = generation_;
                job = job_;
            }
            work_on(*job);
            std::lock_guard lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    void work_on(Job& job) {
        while (!job.failed.load(std::memory_order_relaxed)) {
            std::size_t begin = job.next.fetch_add(job.grain, std::memory_order_relaxed);
            if (begin >= job.n) return;
            std::size_t end = std::min(job.n, begin + job.grain);
            try {
                job.fn(job.ctx, begin, end);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!job.failed.exchange(true)) job.error = std::current_exception();
                return;
            }
        }
    }

    void shut_down() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            wake_.notify_all();
        }
        for (auto& w : workers_)
            if (w.joinable()) w.join();
        workers_.clear();
    }

    std::mutex serial_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> workers_;
    Job* job_ = nullptr;
    std::size_t busy_ = 0;
    std::uint64_t generation_ = 0;
    bool quit_ = false;
};

// The pool pointer is reset in a forked child; the old pool is leaked there
// on purpose (its threads do not exist in the child).
Pool* the_pool = nullptr;
std::mutex creation_mutex;  // replaced in the child as well
bool atfork_registered = false;

void forget_pool_in_child() {
    the_pool = nullptr;
    new (&creation_mutex) std::mutex();
}

Pool& pool() {
    std::lock_guard lock(creation_mutex);
    if (!the_pool) {
        if (!atfork_registered) {
            pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
            atfork_registered = true;
        }
        std::size_t threads = configured_pool_size();
        the_pool = new Pool(threads);
    }
    return *the_pool;
}

// Loops with at most this many chunks run on the calling thread once the pool
// exists: waking the workers costs more than the work.
constexpr std::size_t inline_chunks = 1;

}  // namespace

std::size_t pool_size() { return pool().size(); }

namespace detail {

void run_parallel(std::size_t n, std::size_t grain, ChunkFn fn, void* ctx) {
    Pool& p = pool();  // the first loop creates the pool, whatever its size
    grain = std::max<std::size_t>(grain, 1);
    if (n == 0) return;
    if (n <= grain * inline_chunks) {
        fn(ctx, 0, n);
        return;
    }
    Job job;
    job.n = n;
    job.grain = grain;
    job.fn = fn;
    job.ctx = ctx;
    p.run(job);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace detail
}  // namespace quarnel
