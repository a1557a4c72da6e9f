#pragma once

namespace fw {

// The most threads a thread-count setting ("sfm.refine.threads",
// "pointsfusion.dense_thread_num", "terrainfusion.threads") may ask for: four per hardware
// thread, and never fewer than 16, so that a task written for a larger machine still runs.
// Past that, more threads only add stacks and per-thread buffers; a count such as 1000000
// would exhaust the memory before doing any work.
int maxThreadSetting();

}  // namespace fw
