#include "progress_entry.h"

const ProgressEntry& taskProgressModel() {
  static const ProgressEntry model{"Mapping",
                                   0.0,
                                   1.0,
                                   1.0f,
                                   0.0f,
                                   -1.0,
                                   {ProgressEntry{"Locate", 0.0, -1.0, 0.7f, 0.0f, -1.0, {}},
                                    ProgressEntry{"Map Fusion", 0.0, -1.0, 0.3f, 0.7f, -1.0, {}}}};
  return model;
}
