#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace vornengine {

Status runParallel(size_t count, int lanes, const std::function<Status(size_t)> &work,
                   const std::function<bool()> &cancelled) {
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    Status first;
    auto run = [&] {
        for (size_t i; !stop && (i = next++) < count;) {
            Status status = (cancelled && cancelled()) ? Status::interrupted() : work(i);
            if (!status.isOk()) {
                std::lock_guard<std::mutex> lock(mutex);
                if (first.isOk()) {
                    first = status;
                }
                stop = true;
            }
        }
    };
    const size_t threads = std::min<size_t>(std::max(lanes, 1), count);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t) {
        pool.emplace_back(run);
    }
    run();
    for (std::thread &thread : pool) {
        thread.join();
    }
    return first;
}

} // namespace vornengine
