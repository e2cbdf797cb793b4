#pragma once
// The one place that tunes the C library's allocator and hands free heap
// memory back to the system. The allocator keeps what the program frees for
// reuse; after a large release (a closed results tab, a removed share list,
// a folder walk) the process would otherwise stay at its peak size for the
// rest of the run. Where the C library offers none of this (not glibc),
// these do nothing.

namespace heapmemory
{
// Returns the heap's free pages to the system now. Safe on any thread;
// takes a few milliseconds per hundred MiB of free heap.
void ReturnFreeMemory();

// The same, once the current turn of the main thread's event loop is over:
// any number of requests before then make one return. Without an event
// loop it runs at once.
void ReturnFreeMemorySoon();

// While one lives, each block freed is merged with its free neighbours at
// once, while still in the cache. glibc otherwise keeps its smallest freed
// blocks aside and merges them all on a later large request: hundreds of
// thousands of them, read from memory again. For freeing many small blocks
// at once, on the main thread; the setting is glibc's own again after it.
class MergeFreedBlocksAtOnce
{
public:
    MergeFreedBlocksAtOnce();
    ~MergeFreedBlocksAtOnce();
    MergeFreedBlocksAtOnce(const MergeFreedBlocksAtOnce&) = delete;
    MergeFreedBlocksAtOnce& operator=(const MergeFreedBlocksAtOnce&) = delete;
};
}
