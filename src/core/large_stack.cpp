#include "core/large_stack.hpp"

#include <pthread.h>

#include "core/stop.hpp"

namespace quarnel::detail {
namespace {

// Deepest tree: about 1600 levels per axis, 8 axes, well under 1 KiB a level.
constexpr std::size_t stack_bytes = std::size_t{64} << 20;

struct Task {
    void (*fn)(void*);
    void* ctx;
    std::exception_ptr error;
};

void* run_task(void* arg) {
    auto* task = static_cast<Task*>(arg);
    try {
        task->fn(task->ctx);
    } catch (...) {
        task->error = std::current_exception();
    }
    return nullptr;
}

void* thread_entry(void* arg) {
    set_thread_name("quarnel-build");
    return run_task(arg);
}

}  // namespace

std::exception_ptr run_on_large_stack(void (*fn)(void*), void* ctx) {
    Task task{fn, ctx, nullptr};
    pthread_attr_t attr;
    pthread_t thread;
    bool started = false;
    if (pthread_attr_init(&attr) == 0) {
        started = pthread_attr_setstacksize(&attr, stack_bytes) == 0 &&
                  pthread_create(&thread, &attr, &thread_entry, &task) == 0;
        pthread_attr_destroy(&attr);
    }
    if (started) {
        pthread_join(thread, nullptr);
    } else {
        run_task(&task);  // no thread to be had: the calling thread's stack it is
    }
    return task.error;
}

}  // namespace quarnel::detail
