// The process's one pool of batch workers.
#pragma once

#include <oneapi/tbb/task_arena.h>

namespace zarel {

// Sized on first use by RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or the CPU affinity of the process.
tbb::task_arena& batch_pool();

}  // namespace zarel
