// The tests' main: the gtest runner's thread is the library's main thread, and
// nothing a test sends may leave loopback. Started as a child process
// (--kiv-child=Name) it runs that routine instead of the tests.
#include <gtest/gtest.h>

#include "host/thread.h"
#include "support/child_process.h"
#include "support/loopback.h"

int main(int argc, char** argv) {
  KivTrans2::SetMainThread();
  KivTrans2::Testing::UseLoopbackOnly();
  int Status = 0;
  if (KivTrans2::Testing::RunChildIfAsked(argc, argv, Status)) return Status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
