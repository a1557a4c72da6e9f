#pragma once

// The depth stage's settings, read from the configuration store once, when the stage is
// built. What the stage writes back into the store (the matcher's fall-back to the CPU and
// the GPU band size) stays there, because other readers of the store depend on it.
struct DenseDepthOptions {
  static constexpr int kGpuMethod = 3;  // the value of `method` that asks for the GPU matcher

  int threads = 4;          // "pointsfusion.dense_thread_num": pair tasks run at once
  int method = kGpuMethod;  // "pointsfusion.dense_method": any other value means the CPU
  bool cloneFrame = false;  // "pointsfusion.clone_frame": work on a copy of each frame fed
  // "pointsfusion.search_range_factor": the largest disparity searched, as a multiple of the
  // one the nearest depth gives; a factor that leaves nothing to search keeps the smallest.
  double searchRangeFactor = 3.0;

  // The stored settings, mended, then checked.
  static DenseDepthOptions fromConfig();
  // Keeps threads within 1 .. fw::maxThreadSetting(), with a warning naming the setting.
  void mend();
  // Throws std::invalid_argument, naming the setting, for values outside their ranges.
  void check() const;
};
