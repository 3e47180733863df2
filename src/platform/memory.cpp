#include "platform/memory.h"

#include <malloc.h>

namespace dovan {

namespace {
// Above a chunk frame (256 KiB plus headers), below anything a transfer keeps for long.
constexpr int kMapThreshold = 1 << 20;
// The in-flight data of a transfer is bounded near 8 MiB; the heap's top may hold that much
// free between chunks without being cut back after each one.
constexpr int kTrimThreshold = 8 << 20;
}  // namespace

void keep_stream_buffers() {
    // Fixed values also stop the library's own threshold drift. mallopt is not thread-safe:
    // this runs once in main, before any thread starts.
    ::mallopt(M_MMAP_THRESHOLD, kMapThreshold);  // NOLINT(concurrency-mt-unsafe)
    ::mallopt(M_TRIM_THRESHOLD, kTrimThreshold);  // NOLINT(concurrency-mt-unsafe)
    // One arena: a chunk is made on the reader thread and freed on the writer's, a few times
    // per quarter megabyte, so sharing costs nothing; and only the main arena's free top can be
    // handed back on request.
    ::mallopt(M_ARENA_MAX, 1);  // NOLINT(concurrency-mt-unsafe)
}

void release_free_memory() { ::malloc_trim(0); }

}  // namespace dovan
