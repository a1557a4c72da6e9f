#include "tiles/cpu_features.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // Tests that draw random numbers must be repeatable run to run.
  std::srand(12345);
  // As in the programs: the checksums take the processor's fast paths where it has them.
  detectCpuFeatures();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
