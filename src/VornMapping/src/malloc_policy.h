#pragma once

// Makes every thread allocate from the one shared heap of the C library. By default each
// thread that meets a busy heap gets a heap of its own, up to eight per core; images freed by
// one stage and allocated again by another then land in different heaps, each of which keeps
// the space it once held, and the resident memory of the process grows frame after frame well
// beyond what it uses. Call first thing in main, before any thread starts. Does nothing where
// the C library has no such setting.
void shareOneHeapAcrossThreads();
