// The tests' main: the gtest runner's thread is the library's main thread, and
// nothing a test sends may leave loopback.
#include <gtest/gtest.h>

#include "host/thread.h"
#include "support/loopback.h"

int main(int argc, char** argv) {
  KivTrans2::SetMainThread();
  KivTrans2::Testing::UseLoopbackOnly();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
