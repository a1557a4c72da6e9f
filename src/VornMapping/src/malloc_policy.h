#pragma once

// Makes every thread allocate from the one shared heap of the C library. By default each
// thread that meets a busy heap gets a heap of its own, up to eight per core; images freed by
// one stage and allocated again by another then land in different heaps, each of which keeps
// the space it once held, and the resident memory of the process grows frame after frame well
// beyond what it uses. Call first thing in main, before any thread starts. Does nothing where
// the C library has no such setting.
void shareOneHeapAcrossThreads();

// Keeps the blocks of up to `kHeapBlockLimit` a run frees, and up to `kKeptFreeTop` free at the
// top of the heap, for the allocations that follow. Each frame's feature search allocates its
// scale space afresh (some 150 MB of images) and frees it again, as the dense stages do their
// images: handed back to the system each time, they come back as fresh pages, zeroed and faulted
// in one by one (half a million page faults in a run of 64 frames of 12 MP). Call first thing
// in main. Does nothing where the C library has no such settings.
constexpr int kHeapBlockLimit = 32 << 20;  // bytes: larger blocks are mapped apart
constexpr int kKeptFreeTop = 128 << 20;    // bytes
void keepFreedBlocksForReuse();
