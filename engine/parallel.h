// Work spread over threads, stopping at the first failure.
#ifndef VORN_ENGINE_PARALLEL_H
#define VORN_ENGINE_PARALLEL_H

#include <cstddef>
#include <functional>

#include "status.h"

namespace vornengine {

// Calls work(i) for every i below `count` on up to `lanes` threads. After the first failure, or
// once `cancelled` says so, no further item is started; returns the first failure (Interrupted
// when cancelled), else ok.
Status runParallel(size_t count, int lanes, const std::function<Status(size_t)> &work,
                   const std::function<bool()> &cancelled = {});

} // namespace vornengine

#endif
