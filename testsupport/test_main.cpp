#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // Tests that draw random numbers must be repeatable run to run.
  std::srand(12345);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
