// How many worker threads the process-wide pool gets.
#pragma once

#include <cstddef>

namespace quarnel {

// RAYON_NUM_THREADS when it holds a positive decimal integer; otherwise
// (unset or not a number) RAYON_RS_NUM_CPUS when it holds one; otherwise,
// and whenever RAYON_NUM_THREADS is 0, the CPUs available to the process
// (affinity set, limited by a cgroup CPU quota), or 1 if unknown.
std::size_t configured_pool_size();

// The CPUs available to this process: affinity set and cgroup quota.
std::size_t available_cpus();

}  // namespace quarnel
