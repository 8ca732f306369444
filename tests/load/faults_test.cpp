// Faults: a server killed or restarted under its clients, clients that go away
// in the middle of a request or of its answer, request files that appear while
// the server stops. Nothing may hang, and no accepted request may be lost.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/files.h"
#include "host/tcp_server.h"
#include "load/load_support.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"
#include "support/child_process.h"
#include "support/net_support.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using Testing::FreePort;
using Testing::NowMs;
using Testing::TClientFleet;
using Testing::TLinePeer;
using Lines = std::vector<std::string>;

const std::string M = std::string(1, kDataMarker);

Lines Conversation(int Code, const Lines& Body) {
  Lines L{"@request", "@cod " + std::to_string(Code), "@prior1"};
  L.insert(L.end(), Body.begin(), Body.end());
  L.push_back("@end");
  return L;
}

int Queued(const TKivServer& Server) {
  int N = 0;
  for (int P = 1; P <= Server.MaxPriorities(); ++P) N += Server.QueueCount(P);
  return N;
}

// A server that never answers: its dispatch timer waits an hour. It reports
// "queued" once Args[1] requests are queued. Args: port, count.
KIV_TEST_CHILD(QueueServer) {
  TKivServer Server(nullptr);
  Server.SetPort(std::stoi(Args.at(0)));
  Server.SetInterval(3600 * 1000);
  Server.SetSeekOtherTimeout(50);
  Server.OnRequest = [](TKivServer*, TRequest* R) { R->WriteLine("late"); };
  if (!Server.Activate()) return 3;
  std::printf("ready\n");
  std::fflush(stdout);
  const int Count = std::stoi(Args.at(1));
  if (!ProcessMessagesUntil([&] { return Queued(Server) >= Count; }, 120000)) return 4;
  std::printf("queued\n");
  std::fflush(stdout);
  ProcessMessagesUntil([] { return false; }, 600000);
  return 0;
}

TEST(ServerProcessFaultTest, AServerKilledWithRequestsQueuedEndsEveryExchangeAsFailedAtOnce) {
  constexpr int kClients = 20;
  constexpr int kWindowMs = 5000;
  const int Port = FreePort();
  TClientFleet Fleet(kClients, [&](TKivConnection* C, int I) {
    C->SetHost("127.0.0.1");
    C->SetPort(Port);
    C->SetAutoConnect(I % 2 == 0);
    C->SetAnswerTimeout(kWindowMs);
  });
  {
    Testing::TChildProcess Server("QueueServer", {std::to_string(Port), std::to_string(kClients)});
    ASSERT_EQ(Server.ReadLine(), "ready");
    for (int I = 1; I < kClients; I += 2) Fleet.Connection(I)->Connect();
    for (int I = 0; I < kClients; ++I) Fleet.Send(I);
    ASSERT_EQ(Server.ReadLine(), "queued");
    const int64_t Killed = NowMs();
    Server.Signal(SIGKILL);
    EXPECT_TRUE(Fleet.Pump([&] { return Fleet.Ended() == kClients; }, 30000));
    EXPECT_EQ(Fleet.Failed, kClients);
    EXPECT_EQ(Fleet.TimeOuts, 0);  // ended by the closed connection, not by the window
    for (int I = 0; I < kClients; ++I) {
      EXPECT_LT(Fleet.EndedAtMs(I) - Killed, kWindowMs) << "client " << I;
      EXPECT_FALSE(Fleet.Connection(I)->Busy());
    }
    EXPECT_NE(Server.Wait(), 0);
  }
  // A new server on the port: every client is served again, the kept
  // connections once they have connected anew.
  Testing::TChildProcess Server("LoadEchoServer", {std::to_string(Port)});
  ASSERT_EQ(Server.ReadLine(), "ready");
  for (int I = 1; I < kClients; I += 2) Fleet.Connection(I)->Connect();
  for (int I = 0; I < kClients; ++I) Fleet.Send(I);
  EXPECT_TRUE(Fleet.Pump([&] { return Fleet.Ended() == 2 * kClients; }, 30000));
  EXPECT_EQ(Fleet.Answered, kClients);
}

// An active TCP server in this process; each request is answered with its
// entries, its code logged. The dispatch timer ticks on its own unless a test
// slows it down.
class ServerFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = new TKivServer(&Form);
    Port = FreePort();
    Server->SetPort(Port);
    Server->SetInterval(1);
    Server->SetSeekOtherTimeout(50);
    Server->OnPeerDisconnect = [this](const std::shared_ptr<TTcpServerConnection>&) {
      ++Disconnects;
    };
    Server->OnRequest = [this](TKivServer*, TRequest* R) {
      Served.push_back(R->Code);
      while (!R->IsEOF()) R->WriteLine(R->ReadLine());
    };
    ASSERT_TRUE(Server->Activate());
  }

  bool WaitFor(const std::function<bool()>& Done) { return ProcessMessagesUntil(Done, 10000); }

  // Before the form: connection threads may still count while it goes.
  std::atomic<int> Disconnects{0};
  std::vector<int> Served;
  TOwnerComponent Form;
  TKivServer* Server = nullptr;
  int Port = 0;
};

TEST_F(ServerFaultTest, AClientThatSendsHalfARequestAndGoesIsFreedAndOthersAreServed) {
  {
    TLinePeer Peer(Port);  // stops after whole lines
    Peer.Send({"@request", "@cod 1", M + "half"});
    ASSERT_TRUE(WaitFor([&] { return Server->IncomingCount() == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return Disconnects == 1 && Server->IncomingCount() == 0; }));
  {
    TLinePeer Peer(Port);  // stops in the middle of a line
    Peer.SendRaw("@request\r\n@cod 2\r\n" + M + "half a li");
    ASSERT_TRUE(WaitFor([&] { return Server->IncomingCount() == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return Disconnects == 2 && Server->IncomingCount() == 0; }));
  EXPECT_TRUE(Server->Idle());
  TLinePeer Next(Port);
  Next.Send(Conversation(3, {M + "whole"}));
  ASSERT_TRUE(Next.WaitForLines(4));
  EXPECT_EQ(Next.Received(), (Lines{"@answer", "@cod 3", M + "whole", "@end"}));
  EXPECT_EQ(Served, std::vector<int>{3});
}

TEST_F(ServerFaultTest, AClientThatClosesWhileItsAnswerIsWrittenCostsOnlyThatAnswer) {
  auto Leaving = std::make_unique<TLinePeer>(Port);
  bool WriteFailed = false;
  Server->OnRequest = [&](TKivServer*, TRequest* R) {
    Served.push_back(R->Code);
    if (R->Code != 1) {
      R->WriteLine("fine");
      return;
    }
    Leaving.reset();  // gone before most of its answer is written
    const std::string Chunk(1024, 'z');
    try {
      for (int I = 0; I < 64 * 1024; ++I) R->WriteLine(Chunk);
    } catch (...) {
      WriteFailed = true;
      throw;
    }
  };
  Leaving->Send(Conversation(1, {}));
  ASSERT_TRUE(WaitFor([&] { return !Served.empty(); }));
  EXPECT_TRUE(WriteFailed);
  ASSERT_TRUE(WaitFor([&] { return Disconnects == 1; }));
  TLinePeer Next(Port);
  Next.Send(Conversation(2, {}));
  ASSERT_TRUE(Next.WaitForLines(4));
  EXPECT_EQ(Next.Received(), (Lines{"@answer", "@cod 2", M + "fine", "@end"}));
  EXPECT_EQ(Served, (std::vector<int>{1, 2}));
}

TEST_F(ServerFaultTest, KeptConnectionsFailCleanlyAcrossARestartAndWorkAfterConnect) {
  constexpr int kClients = 10;
  // This test runs the ticks; a restart makes the longer pause apply at once.
  Server->SetInterval(3600 * 1000);
  Server->DeActivate();
  ASSERT_TRUE(Server->Activate());
  TClientFleet Fleet(kClients, [&](TKivConnection* C, int) {
    C->SetHost("127.0.0.1");
    C->SetPort(Port);
    C->SetAutoConnect(false);
    C->SetAnswerTimeout(60000);  // a wait left hanging would outlast the test's waits
  });
  for (int I = 0; I < kClients; ++I) {
    Fleet.Connection(I)->Connect();
    Fleet.Send(I);
  }
  ASSERT_TRUE(WaitFor([&] { return Queued(*Server) == kClients; }));
  for (int I = 0; I < kClients; ++I) Server->TimerOnTimer();
  ASSERT_TRUE(Fleet.Pump([&] { return Fleet.Ended() == kClients; }, 10000));
  ASSERT_EQ(Fleet.Answered, kClients);

  // Half the clients have requests queued when the server stops: those are
  // answered before it closes its connections.
  for (int I = 0; I < kClients / 2; ++I) Fleet.Send(I);
  ASSERT_TRUE(WaitFor([&] { return Queued(*Server) == kClients / 2; }));
  Server->DeActivate();
  ASSERT_TRUE(Server->Activate());
  ASSERT_TRUE(Fleet.Pump([&] { return Fleet.Ended() == kClients + kClients / 2; }, 10000));
  EXPECT_EQ(Fleet.Answered, kClients + kClients / 2);

  // Every kept connection is dead now: each request fails, either at once
  // (Request raises) or by its wait ending as failed; none hangs.
  for (int I = 0; I < kClients; ++I) Fleet.Send(I);
  ASSERT_TRUE(Fleet.Pump([&] { return Fleet.Ended() == 2 * kClients + kClients / 2; }, 15000));
  EXPECT_EQ(Fleet.Failed, kClients);
  EXPECT_EQ(Fleet.TimeOuts, 0);
  for (int I = 0; I < kClients; ++I) EXPECT_FALSE(Fleet.Connection(I)->Busy());

  for (int I = 0; I < kClients; ++I) {
    Fleet.Connection(I)->Connect();
    Fleet.Send(I);
  }
  ASSERT_TRUE(WaitFor([&] { return Queued(*Server) == kClients; }));
  for (int I = 0; I < kClients; ++I) Server->TimerOnTimer();
  ASSERT_TRUE(Fleet.Pump([&] { return Fleet.Ended() == 3 * kClients + kClients / 2; }, 10000));
  EXPECT_EQ(Fleet.Answered, 2 * kClients + kClients / 2);
  EXPECT_EQ(Fleet.Wrong, 0);
  EXPECT_EQ(Fleet.Doubled, 0);
}

// Writes a request file as a client does: under the working name, then renamed.
void PostRequest(const Testing::TTempDir& Dir, const std::string& Name) {
  Dir.Write(Name + ".RE1", "@prior1" + std::string(kLineBreak) + M + Name + kLineBreak);
  std::filesystem::rename(Dir.File(Name + ".RE1"), Dir.File(Name + ".REQ"));
}

TEST(FileServerFaultTest, RequestFilesThatAppearWhileTheServerStopsAreAnsweredOrLeftInPlace) {
  Testing::TTempDir Dir;
  TOwnerComponent Form;
  auto* Server = new TKivServer(&Form);
  Server->SetUseTCP(false);
  Server->SetServerDir(Dir.Path());
  Server->SetInterval(1);
  int Posted = 0;
  auto Post = [&] {
    char Name[16];
    std::snprintf(Name, sizeof Name, "S%07d", Posted++);
    PostRequest(Dir, Name);
  };
  std::set<std::string> Answered;
  bool Stopping = false;
  Server->OnRequest = [&](TKivServer*, TRequest* R) {
    const std::string Name = R->BaseName.substr(Dir.Path().size() + 1);
    EXPECT_EQ(R->ReadLine(), Name);
    Answered.insert(Name);
    R->WriteLine(Name);
    if (Stopping) Post();  // a client posts while the server drains its queues
  };
  ASSERT_TRUE(Server->Activate());
  for (int I = 0; I < 40; ++I) Post();
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Answered.size() >= 5; }, 10000));
  // The file tick takes every file at once, the dispatch answers one per tick:
  // the server stops with requests queued.
  ASSERT_GT(Queued(*Server), 0);
  Stopping = true;
  Server->DeActivate();
  Stopping = false;
  for (int I = 0; I < 10; ++I) Post();  // after the stop

  int Left = 0;
  for (int I = 0; I < Posted; ++I) {
    char Name[16];
    std::snprintf(Name, sizeof Name, "S%07d", I);
    const bool Served = Answered.count(Name) > 0;
    const bool Waiting = FileExists(Dir.File(std::string(Name) + ".REQ"));
    EXPECT_NE(Served, Waiting) << Name;  // one or the other, never both
    if (Served) {
      EXPECT_TRUE(FileExists(Dir.File(std::string(Name) + ".ANS"))) << Name;
    }
    Left += Waiting;
  }
  EXPECT_GT(Posted, 50);  // some appeared while the server was stopping
  EXPECT_GE(Left, 10);
  EXPECT_TRUE(Server->Idle());
  EXPECT_FALSE(FileExists(Dir.File(kMarkerFileName)));
}

}  // namespace
}  // namespace KivTrans2
