// The Windows suite's program: a crash in the plugin fails the test at once instead of leaving
// Wine waiting on a debugger.
#include <gtest/gtest.h>

#include "standin-host/player.h"

int main(int argc, char** argv) {
  ExitOnCrash();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
