#include "host/thread.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <vector>

#include "host/exceptions.h"

namespace KivTrans2 {
namespace {

// A thread whose body is a lambda.
class TLambdaThread : public TThread {
 public:
  explicit TLambdaThread(std::function<void(TLambdaThread&)> Body) : FBody(std::move(Body)) {}
  ~TLambdaThread() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(TLambdaThread&)> FBody;
};

TEST(SynchronizeTest, RunsOnTheMainThreadAndWaits) {
  std::atomic<bool> RanOnMain{false};
  std::atomic<bool> Returned{false};
  TLambdaThread T([&](TLambdaThread&) {
    EXPECT_FALSE(IsMainThread());
    Synchronize([&] { RanOnMain = IsMainThread(); });
    Returned = true;
  });
  T.Start();
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Returned.load(); }, 10000));
  EXPECT_TRUE(RanOnMain);
}

TEST(SynchronizeTest, CalledOnTheMainThreadRunsAtOnce) {
  bool Ran = false;
  Synchronize([&] { Ran = true; });
  EXPECT_TRUE(Ran);
}

TEST(SynchronizeTest, ExceptionTravelsBackToTheCallingThread) {
  std::string Caught;
  bool RightType = false;
  TLambdaThread T([&](TLambdaThread&) {
    try {
      Synchronize([] { throw EConvertError("'x' is not a valid integer value"); });
    } catch (const EConvertError& E) {
      RightType = true;
      Caught = E.Message();
    } catch (...) {
    }
  });
  T.Start();
  T.WaitFor();  // serves the queued call while it waits
  EXPECT_TRUE(RightType);
  EXPECT_EQ(Caught, "'x' is not a valid integer value");
}

TEST(SynchronizeTest, WaitForOnTheMainThreadServesAThreadInsideSynchronize) {
  // Without serving, the main thread would join a thread that waits for it.
  std::vector<int> Order;  // touched only on the main thread
  TLambdaThread T([&](TLambdaThread&) {
    for (int I = 0; I < 3; ++I) Synchronize([&, I] { Order.push_back(I); });
  });
  T.Start();
  T.WaitFor();
  EXPECT_TRUE(T.Finished());
  EXPECT_EQ(Order, (std::vector<int>{0, 1, 2}));
}

TEST(SynchronizeTest, CallsFromManyThreadsRunOneAtATime) {
  int Counter = 0;  // not atomic: a race here is what the sanitizer would report
  int Inside = 0, MaxInside = 0;
  std::vector<std::unique_ptr<TLambdaThread>> Threads;
  for (int I = 0; I < 8; ++I) {
    Threads.push_back(std::make_unique<TLambdaThread>([&](TLambdaThread&) {
      for (int K = 0; K < 50; ++K)
        Synchronize([&] {
          ++Inside;
          MaxInside = std::max(MaxInside, Inside);
          ++Counter;
          --Inside;
        });
    }));
  }
  for (auto& T : Threads) T->Start();
  for (auto& T : Threads) T->WaitFor();
  EXPECT_EQ(Counter, 400);
  EXPECT_EQ(MaxInside, 1);
}

TEST(SynchronizeTest, WakeFdAndHookSignalQueuedWork) {
  std::atomic<int> Hooked{0};
  SetMainThreadWakeHook([&] { ++Hooked; });
  std::atomic<bool> Done{false};
  TLambdaThread T([&](TLambdaThread&) {
    Synchronize([] {});
    Done = true;
  });
  T.Start();
  struct pollfd P = {MainThreadWakeFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&P, 1, 10000), 1);
  EXPECT_TRUE(CheckSynchronize(0));
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Done.load(); }, 10000));
  SetMainThreadWakeHook(nullptr);
  EXPECT_GE(Hooked.load(), 1);
  // Drained: nothing is left to signal.
  P.revents = 0;
  EXPECT_EQ(::poll(&P, 1, 0), 0);
}

TEST(ThreadTest, CreatedSuspendedStartedOnceAndTerminatedOnRequest) {
  std::atomic<int> Runs{0};
  TLambdaThread T([&](TLambdaThread& Self) {
    ++Runs;
    while (!Self.Terminated()) Sleep(1);
  });
  EXPECT_FALSE(T.Started());
  T.Start();
  T.Start();
  T.Terminate();
  T.WaitFor();
  T.WaitFor();
  EXPECT_EQ(Runs.load(), 1);
  EXPECT_TRUE(T.Finished());
}

TEST(ThreadTest, ExceptionLeavingTheBodyIsKeptNotFatal) {
  TLambdaThread T([](TLambdaThread&) { throw std::runtime_error("boom"); });
  T.Start();
  T.WaitFor();
  ASSERT_TRUE(T.FatalException());
  EXPECT_THROW(std::rethrow_exception(T.FatalException()), std::runtime_error);
}

TEST(ThreadTest, WaitForOnANeverStartedThreadReturns) {
  TLambdaThread T([](TLambdaThread&) {});
  T.WaitFor();
  EXPECT_FALSE(T.Finished());
}

}  // namespace
}  // namespace KivTrans2
