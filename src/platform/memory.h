// How the process keeps and returns heap memory while files stream through it.
#pragma once

namespace dovan {

// A file moves as a steady stream of quarter-megabyte buffers. By default the C library maps
// each one fresh and unmaps it when freed, so every chunk pays for zeroed pages again (about a
// fifth of a transfer's CPU). Called once at start: buffers of that size come from the heap and
// stay there while a transfer runs.
void keep_stream_buffers();

// Hands freed heap pages back to the system; called when the last transfer ends so an idle
// process does not keep its transfer peak.
void release_free_memory();

}  // namespace dovan
