// WakeOnRequest: the dispatch timer sleeps while nothing is queued and wakes for
// a request, keeping ticks Interval apart and the queues' order.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "host/files.h"
#include "host/thread.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"
#include "server/thread_timer.h"
#include "support/net_support.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using Testing::FreePort;
using Testing::TLinePeer;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr uint32_t kHour = 3600 * 1000;
// How long a test watches for something that must not happen.
constexpr int kQuietWindowMs = 300;

// Pumps the main thread for a while; true when Happened() stayed false.
bool StaysFalse(const std::function<bool()>& Happened, int Ms = kQuietWindowMs) {
  return !ProcessMessagesUntil(Happened, Ms);
}

int64_t MsBetween(Clock::time_point A, Clock::time_point B) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(B - A).count();
}

Lines Conversation(int Code, int Priority) {
  return {"@request", "@cod " + std::to_string(Code), "@prior" + std::to_string(Priority),
          std::string(1, kDataMarker) + "x", "@end"};
}

// --- The timer ------------------------------------------------------------------------

TEST(WakeOnRequestTimerTest, ByDefaultItTicksWithoutBeingAsked) {
  TKivTransThreadTimer Timer;
  EXPECT_FALSE(Timer.WakeOnRequest());
  int Ticks = 0;
  Timer.OnTimer = [&] { ++Ticks; };
  Timer.SetInterval(1);
  Timer.Wake();  // changes nothing without the option
  Timer.SetEnabled(true);
  EXPECT_TRUE(ProcessMessagesUntil([&] { return Ticks >= 3; }, 10000));
}

TEST(WakeOnRequestTimerTest, SleepsUntilWokenAndTicksOncePerWake) {
  TKivTransThreadTimer Timer;
  int Ticks = 0;
  Timer.OnTimer = [&] { ++Ticks; };
  Timer.SetInterval(1);
  Timer.SetWakeOnRequest(true);
  Timer.SetEnabled(true);
  EXPECT_TRUE(StaysFalse([&] { return Ticks > 0; }));
  Timer.Wake();
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Ticks == 1; }, 10000));
  EXPECT_TRUE(StaysFalse([&] { return Ticks > 1; }));
  // Disabled, a wake waits for the next enabling.
  Timer.SetEnabled(false);
  Timer.Wake();
  EXPECT_TRUE(StaysFalse([&] { return Ticks > 1; }));
  Timer.SetEnabled(true);
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Ticks == 2; }, 10000));
  // Switched off, it ticks every Interval again.
  Timer.SetWakeOnRequest(false);
  EXPECT_TRUE(ProcessMessagesUntil([&] { return Ticks >= 5; }, 10000));
}

TEST(WakeOnRequestTimerTest, TheFirstWakeTicksAtOnceAndLaterTicksStayIntervalApart) {
  TKivTransThreadTimer Timer;
  std::vector<Clock::time_point> Starts;
  Timer.OnTimer = [&] {
    Starts.push_back(Clock::now());
    if (Starts.size() < 4) Timer.Wake();  // always more work
  };
  Timer.SetWakeOnRequest(true);
  Timer.SetInterval(kHour);
  Timer.SetEnabled(true);
  Timer.Wake();
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Starts.size() == 1; }, 10000));
  // The second tick is an hour away; a shorter interval applies to it.
  EXPECT_TRUE(StaysFalse([&] { return Starts.size() > 1; }));
  constexpr uint32_t kInterval = 100;
  Timer.SetInterval(kInterval);
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Starts.size() == 4; }, 10000));
  for (size_t I = 2; I < Starts.size(); ++I)
    EXPECT_GE(MsBetween(Starts[I - 1], Starts[I]), kInterval) << "tick " << I;
  EXPECT_TRUE(StaysFalse([&] { return Starts.size() > 4; }));
}

// The pause before a tick counts from the return of the previous handler, not
// from its start: a slow handler never brings the next tick closer.
TEST(WakeOnRequestTimerTest, ThePauseCountsFromTheEndOfTheHandlerInBothModes) {
  constexpr uint32_t kInterval = 60;
  constexpr int kHandlerMs = 40;
  for (bool Wake : {false, true}) {
    SCOPED_TRACE(Wake ? "WakeOnRequest" : "by default");
    TKivTransThreadTimer Timer;
    std::vector<Clock::time_point> Starts, Ends;
    Timer.OnTimer = [&] {
      Starts.push_back(Clock::now());
      std::this_thread::sleep_for(std::chrono::milliseconds(kHandlerMs));  // the handler's work
      Ends.push_back(Clock::now());
      if (Wake && Starts.size() < 4) Timer.Wake();  // always more work
    };
    Timer.SetInterval(kInterval);
    Timer.SetWakeOnRequest(Wake);
    Timer.SetEnabled(true);
    if (Wake) Timer.Wake();
    ASSERT_TRUE(ProcessMessagesUntil([&] { return Starts.size() >= 4; }, 10000));
    Timer.SetEnabled(false);
    for (size_t I = 1; I < 4; ++I)
      EXPECT_GE(MsBetween(Ends[I - 1], Starts[I]), kInterval) << "tick " << I;
  }
}

TEST(WakeOnRequestTimerTest, AWatchedDirectoryWakesTheTimerUntilTheWatchStops) {
  Testing::TTempDir Dir;
  TKivTransThreadTimer Timer;
  int Ticks = 0;
  Timer.OnTimer = [&] { ++Ticks; };
  Timer.SetInterval(1);
  Timer.SetWakeOnRequest(true);
  Timer.SetEnabled(true);
  Timer.WatchDirectory(Dir.Path());
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Ticks == 1; }, 10000));  // a first look at once
  Dir.Write("A0000001.REQ", "@prior1\n");
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Ticks >= 2; }, 10000));
  Timer.StopWatchingDirectory();
  const int Seen = Ticks;
  // One file gives several change events: a wake asked by a later one before
  // the stop may still bring one tick. Nothing wakes it after that, not even
  // the fallback of a watch (which would tick twice in this window).
  EXPECT_TRUE(StaysFalse([&] { return Ticks > Seen + 1; },
                         2 * TKivTransThreadTimer::kDirFallbackMs + kQuietWindowMs));
}

// --- The server -----------------------------------------------------------------------

// An active TCP server on a free loopback port whose handler records when each
// request (by code) was answered.
class WakeOnRequestServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = new TKivServer(&Form);
    Server->SetName("Server1");
    Port = FreePort();
    Server->SetPort(Port);
    Server->SetSeekOtherTimeout(50);
    Server->OnRequest = [this](TKivServer*, TRequest* R) {
      if (BeforeAnswer) BeforeAnswer(R);
      Served.push_back(R->Code);
      Times.push_back(Clock::now());
      R->WriteLine("ok");
    };
  }

  bool WaitQueued(int Priority, int Count) {
    return ProcessMessagesUntil([&] { return Server->QueueCount(Priority) == Count; }, 10000);
  }
  bool WaitServed(size_t Count) {
    return ProcessMessagesUntil([&] { return Served.size() >= Count; }, 10000);
  }

  std::function<void(TRequest*)> BeforeAnswer;
  std::vector<int> Served;
  std::vector<Clock::time_point> Times;
  TOwnerComponent Form;
  TKivServer* Server = nullptr;
  int Port = 0;
};

TEST_F(WakeOnRequestServerTest, OffByDefaultARequestWaitsForTheTickAndSwitchingOnServesIt) {
  EXPECT_FALSE(Server->WakeOnRequest());
  Server->SetInterval(kHour);
  ASSERT_TRUE(Server->Activate());
  TLinePeer Peer(Port);
  Peer.Send(Conversation(1, 1));
  ASSERT_TRUE(WaitQueued(1, 1));
  EXPECT_TRUE(StaysFalse([&] { return !Served.empty(); }));
  Server->SetWakeOnRequest(true);
  ASSERT_TRUE(WaitServed(1));
  ASSERT_TRUE(Peer.WaitForLines(4));
  EXPECT_EQ(Peer.Received().back(), "@end");
  EXPECT_TRUE(Server->Idle());
}

TEST_F(WakeOnRequestServerTest, AnIdleServerAnswersAtOnceButKeepsTicksIntervalApart) {
  Server->SetInterval(kHour);
  Server->SetWakeOnRequest(true);
  ASSERT_TRUE(Server->Activate());
  TLinePeer Peer(Port);
  Peer.Send(Conversation(1, 2));
  ASSERT_TRUE(WaitServed(1));  // not an hour later
  ASSERT_TRUE(Peer.WaitForLines(4));
  // The next tick may not come before an hour has passed since this one.
  Peer.Send(Conversation(2, 2));
  ASSERT_TRUE(WaitQueued(2, 1));
  EXPECT_TRUE(StaysFalse([&] { return Served.size() > 1; }));
  EXPECT_EQ(Served, (std::vector<int>{1}));
}

TEST_F(WakeOnRequestServerTest, QueuedRequestsGoOneATickMostUrgentFirst) {
  constexpr uint32_t kInterval = 100;
  Server->SetInterval(kInterval);
  Server->SetWakeOnRequest(true);
  ASSERT_TRUE(Server->Activate());
  TLinePeer Gate(Port), Low(Port), Mid(Port), High(Port);
  // While the first request is being answered, three more arrive, least
  // urgent first; each tick then serves the most urgent one left.
  BeforeAnswer = [&](TRequest* R) {
    if (R->Code != 10) return;
    Low.Send(Conversation(3, 3));
    Mid.Send(Conversation(2, 2));
    High.Send(Conversation(1, 1));
    auto Deadline = Clock::now() + std::chrono::seconds(10);
    while (Server->QueueCount(1) + Server->QueueCount(2) + Server->QueueCount(3) < 4 &&
           Clock::now() < Deadline)
      std::this_thread::yield();
  };
  Gate.Send(Conversation(10, 2));
  ASSERT_TRUE(WaitServed(4));
  EXPECT_EQ(Served, (std::vector<int>{10, 1, 2, 3}));
  for (size_t I = 1; I < Times.size(); ++I)
    EXPECT_GE(MsBetween(Times[I - 1], Times[I]), kInterval) << "answer " << I;
  EXPECT_TRUE(Server->Idle());
  for (TLinePeer* P : {&Gate, &Low, &Mid, &High}) EXPECT_TRUE(P->WaitForLines(4));
}

TEST(WakeOnRequestFsTest, RequestFilesAreTakenAndAnsweredWithBothTimersAsleepBetween) {
  Testing::TTempDir Dir;
  TOwnerComponent Form;
  auto* Server = new TKivServer(&Form);
  Server->SetUseTCP(false);
  Server->SetServerDir(Dir.Path());
  Server->SetInterval(1);
  Server->SetWakeOnRequest(true);
  Server->OnRequest = [](TKivServer*, TRequest* R) { R->WriteLine("ok " + R->ReadLine()); };
  ASSERT_TRUE(Server->Activate());
  // Published as a client does: written under ".RE1", then renamed.
  for (const std::string Name : {"A0000001", "B0000002"}) {
    Dir.Write(Name + ".RE1", "@prior1\n" + std::string(1, kDataMarker) + Name + "\n");
    ASSERT_TRUE(RenameFile(Dir.File(Name + ".RE1"), Dir.File(Name + ".REQ")));
    ASSERT_TRUE(ProcessMessagesUntil([&] { return FileExists(Dir.File(Name + ".ANS")); }, 10000));
    EXPECT_EQ(Dir.Read(Name + ".ANS").substr(1, 11), "ok " + Name);
  }
  Server->DeActivate();
}

}  // namespace
}  // namespace KivTrans2
