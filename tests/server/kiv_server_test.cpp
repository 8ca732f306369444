#include "server/kiv_server.h"

#include <gtest/gtest.h>

#include <atomic>

#include "host/thread.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"
#include "support/net_support.h"

namespace KivTrans2 {
namespace {

using Testing::FreePort;
using Testing::TLinePeer;
using Testing::TPortBlocker;
using Lines = std::vector<std::string>;

const std::string M = std::string(1, kDataMarker);  // the data-line marker

// A full request conversation as a client writes it.
Lines Conversation(int Code, int Priority, const Lines& Body) {
  Lines L{"@request", "@cod " + std::to_string(Code), "@prior" + std::to_string(Priority)};
  L.insert(L.end(), Body.begin(), Body.end());
  L.push_back("@end");
  return L;
}

// An active TCP server on a free loopback port. Its dispatch timer is slowed
// down so each test runs the ticks itself (TimerOnTimer) and decides exactly
// when a request is answered.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = new TKivServer(&Form);
    Server->SetName("Server1");
    Port = FreePort();
    Server->SetPort(Port);
    Server->SetInterval(3600 * 1000);
    Server->SetSeekOtherTimeout(50);
    ASSERT_TRUE(Server->Activate());
  }

  // Waits until the server holds Count requests at Priority.
  bool WaitQueued(int Priority, int Count) {
    return ProcessMessagesUntil([&] { return Server->QueueCount(Priority) == Count; }, 10000);
  }

  // Each answer is "@answer", "@cod", one data line per request entry, "@end".
  void EchoEveryEntry() {
    Server->OnRequest = [this](TKivServer*, TRequest* R) {
      Served.push_back(R->Code);
      while (!R->IsEOF()) R->WriteLine(R->ReadLine());
    };
  }

  // Declared before Form: handlers that run on connection threads while the
  // server is destroyed may still count.
  std::atomic<int> Disconnects{0};
  std::vector<int> Served;  // request codes in the order they were answered
  TOwnerComponent Form;
  TKivServer* Server = nullptr;
  int Port = 0;
};

TEST_F(ServerTest, AnswersARequestWithTheAnswerConversation) {
  std::vector<std::string> Read;
  int32_t Code = -1, Priority = -1;
  Server->OnRequest = [&](TKivServer* Sender, TRequest* R) {
    EXPECT_EQ(Sender, Server);
    Code = R->Code;
    Priority = R->Priority;
    while (!R->IsEOF()) Read.push_back(R->ReadLine());
    R->WriteLine("one");
    R->WriteLine("");
    R->WriteControlLine("@cs-end");
  };
  TLinePeer Peer(Port);
  Peer.Send(Conversation(7, 2, {M + "abc", "@emptystring", "@cs-end", "@unknown", "", M})); 
  ASSERT_TRUE(WaitQueued(2, 1));
  EXPECT_EQ(Server->IncomingCount(), 0);
  Server->TimerOnTimer();
  ASSERT_TRUE(Peer.WaitForLines(6));
  EXPECT_EQ(Peer.Received(), (Lines{"@answer", "@cod 7", M + "one", M, "@cs-end", "@end"}));
  EXPECT_EQ(Code, 7);
  EXPECT_EQ(Priority, 2);
  EXPECT_EQ(Read, (Lines{"abc", "", "@cs-end", ""}));
  EXPECT_TRUE(Server->Idle());
}

TEST_F(ServerTest, ServesTheMostUrgentQueueFirstAndFifoWithinIt) {
  EchoEveryEntry();
  TLinePeer P3(Port), P2a(Port), P2b(Port), P1(Port);
  P3.Send(Conversation(3, 3, {}));
  ASSERT_TRUE(WaitQueued(3, 1));
  P2a.Send(Conversation(21, 2, {}));
  ASSERT_TRUE(WaitQueued(2, 1));
  P2b.Send(Conversation(22, 2, {}));
  ASSERT_TRUE(WaitQueued(2, 2));
  P1.Send(Conversation(1, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 1));
  for (int Tick = 1; Tick <= 4; ++Tick) {
    Server->TimerOnTimer();  // one request per tick
    EXPECT_EQ(Served.size(), static_cast<size_t>(Tick));
  }
  EXPECT_EQ(Served, (std::vector<int>{1, 21, 22, 3}));
  Server->TimerOnTimer();  // nothing left: nothing happens
  EXPECT_EQ(Served.size(), 4u);
}

TEST_F(ServerTest, ClampsPrioritiesIntoTheExistingQueues) {
  EchoEveryEntry();
  TLinePeer A(Port), B(Port), C(Port);
  A.Send(Conversation(1, 0, {}));   // 0 → 1
  B.Send(Conversation(2, 9, {}));   // above MaxPriorities → 3
  C.Send({"@request", "@cod 3", "@prior", "@priorx", "@end"});  // no digit: stays 1
  ASSERT_TRUE(WaitQueued(1, 2));
  ASSERT_TRUE(WaitQueued(3, 1));
}

TEST_F(ServerTest, LinesThatDoNotConvertHaveNoEffect) {
  EchoEveryEntry();
  TLinePeer Peer(Port);
  Peer.Send({"@request", "@cod 5", "@prior2", "@cod", "@cod x", "@cod 99999999999", "@prior-",
             M + "a", "@END", "@end ", "@end"});
  ASSERT_TRUE(WaitQueued(2, 1));
  Server->TimerOnTimer();
  ASSERT_TRUE(Peer.WaitForLines(4));
  EXPECT_EQ(Peer.Received(), (Lines{"@answer", "@cod 5", M + "a", "@end"}));
  // "@cod" followed directly by digits: the code starts at the 6th character.
  Peer.Send({"@request", "@cod120", "@end"});
  ASSERT_TRUE(WaitQueued(2, 1));
  Server->TimerOnTimer();
  ASSERT_TRUE(Peer.WaitForLines(7));
  EXPECT_EQ(Peer.Received()[5], "@cod 20");
}

TEST_F(ServerTest, AHandlerThatThrowsCutsTheAnswerShortAndTheNextTickGoesOn) {
  Server->OnRequest = [&](TKivServer*, TRequest* R) {
    Served.push_back(R->Code);
    R->WriteLine("partial");
    if (R->Code == 1) throw std::runtime_error("handler failed");
  };
  TLinePeer A(Port), B(Port);
  A.Send(Conversation(1, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 1));
  B.Send(Conversation(2, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 2));
  Server->TimerOnTimer();
  ASSERT_TRUE(A.WaitForLines(3));
  EXPECT_EQ(Server->QueueCount(1), 1);
  Server->TimerOnTimer();
  ASSERT_TRUE(B.WaitForLines(4));
  EXPECT_EQ(B.Received(), (Lines{"@answer", "@cod 2", M + "partial", "@end"}));
  EXPECT_EQ(A.Received(), (Lines{"@answer", "@cod 1", M + "partial"}));  // no "@end"
  EXPECT_EQ(Served, (std::vector<int>{1, 2}));
}

TEST_F(ServerTest, WithoutOnRequestEachTickDropsOneRequestSilently) {
  TLinePeer A(Port), B(Port);
  A.Send(Conversation(1, 1, {M + "x"}));
  B.Send(Conversation(2, 1, {M + "y"}));
  ASSERT_TRUE(WaitQueued(1, 2));
  Server->TimerOnTimer();
  EXPECT_EQ(Server->QueueCount(1), 1);
  Server->TimerOnTimer();
  EXPECT_TRUE(Server->Idle());
  // Nothing was written: a request sent now is answered first on its line.
  EchoEveryEntry();
  A.Send(Conversation(3, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 1));
  Server->TimerOnTimer();
  ASSERT_TRUE(A.WaitForLines(3));
  EXPECT_EQ(A.Received()[0], "@answer");
  EXPECT_EQ(A.Received()[1], "@cod 3");
}

TEST_F(ServerTest, ASecondRequestLineTakesTheQueuedRequestBack) {
  EchoEveryEntry();
  TLinePeer Peer(Port);
  Peer.Send(Conversation(1, 2, {M + "first"}));
  ASSERT_TRUE(WaitQueued(2, 1));
  Peer.Send({"@request", "@cod 2", M + "second"});
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Server->IncomingCount() == 1; }, 10000));
  EXPECT_EQ(Server->QueueCount(2), 0);  // the earlier request is never answered
  Peer.Send({"@end"});  // priority kept from the previous request
  ASSERT_TRUE(WaitQueued(2, 1));
  Server->TimerOnTimer();
  ASSERT_TRUE(Peer.WaitForLines(4));
  EXPECT_EQ(Peer.Received(), (Lines{"@answer", "@cod 2", M + "second", "@end"}));
}

TEST_F(ServerTest, ADisconnectedRequestIsNeverAnswered) {
  EchoEveryEntry();
  auto Gone = std::make_unique<TLinePeer>(Port);
  TLinePeer Stays(Port);
  Gone->Send(Conversation(1, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 1));
  Stays.Send(Conversation(2, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 2));
  Gone.reset();
  ASSERT_TRUE(WaitQueued(1, 1));
  Server->TimerOnTimer();
  EXPECT_EQ(Served, (std::vector<int>{2}));
}

TEST_F(ServerTest, ADisconnectWhileAnsweringEndsTheAnswerQuietly) {
  Server->OnPeerDisconnect = [&](const std::shared_ptr<TTcpServerConnection>&) { ++Disconnects; };
  auto Gone = std::make_unique<TLinePeer>(Port);
  TLinePeer Next(Port);
  Server->OnRequest = [&](TKivServer*, TRequest* R) {
    Served.push_back(R->Code);
    if (R->Code != 1) return;
    Gone.reset();  // the client goes away in the middle of its answer
    ASSERT_TRUE(ProcessMessagesUntil([&] { return Disconnects.load() == 1; }, 10000));
    for (int I = 0; I < 100; ++I) R->WriteLine("into the void");
  };
  Gone->Send(Conversation(1, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 1));
  Next.Send(Conversation(2, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 2));
  Server->TimerOnTimer();
  EXPECT_EQ(Server->QueueCount(1), 1);  // the disconnect removed it; the tick left the next
  Server->TimerOnTimer();
  ASSERT_TRUE(Next.WaitForLines(3));
  EXPECT_EQ(Served, (std::vector<int>{1, 2}));
}

TEST_F(ServerTest, LinesOfTheNextRequestWaitUntilTheAnswerIsComplete) {
  TLinePeer Peer(Port);
  Lines Seen;
  Server->OnRequest = [&](TKivServer*, TRequest* R) {
    Served.push_back(R->Code);
    if (R->Code == 1) {
      // The client gave up and sends its next request on the same connection.
      Peer.Send(Conversation(2, 1, {M + "new"}));
      for (int I = 0; I < 50; ++I) {  // a window for a stray write to show
        R->GoTopLine();
        Seen = {R->ReadLine(), std::to_string(R->Lines.size()), std::to_string(R->Priority)};
        ASSERT_EQ(Seen, (Lines{"old", "1", "3"}));
        Sleep(1);
      }
    }
    R->GoTopLine();
    R->WriteLine(R->ReadLine());
  };
  Peer.Send(Conversation(1, 3, {M + "old"}));
  ASSERT_TRUE(WaitQueued(3, 1));
  Server->TimerOnTimer();
  ASSERT_TRUE(WaitQueued(1, 1));
  Server->TimerOnTimer();
  ASSERT_TRUE(Peer.WaitForLines(8));
  EXPECT_EQ(Peer.Received(), (Lines{"@answer", "@cod 1", M + "old", "@end", "@answer", "@cod 2",
                                    M + "new", "@end"}));
}

TEST_F(ServerTest, DeActivateAnswersEverythingQueuedThenIgnoresLines) {
  EchoEveryEntry();
  TLinePeer A(Port), B(Port);
  A.Send(Conversation(1, 2, {}));
  B.Send(Conversation(2, 3, {}));
  ASSERT_TRUE(WaitQueued(2, 1));
  ASSERT_TRUE(WaitQueued(3, 1));
  Server->DeActivate();
  EXPECT_EQ(Served, (std::vector<int>{1, 2}));
  EXPECT_FALSE(Server->Active());
  ASSERT_TRUE(A.WaitForLines(3));
  ASSERT_TRUE(B.WaitForLines(3));
  EXPECT_TRUE(A.WaitForClose());  // the TCP server closed after the answers went out
  EXPECT_THROW(TLinePeer{Port}, std::runtime_error);
}

TEST_F(ServerTest, TheDispatchTimerAnswersByItself) {
  EchoEveryEntry();
  // A new interval applies from the next pause on; restart to begin one now.
  Server->DeActivate();
  Server->SetInterval(1);
  ASSERT_TRUE(Server->Activate());
  TLinePeer Peer(Port);
  for (int Code = 1; Code <= 3; ++Code) {
    Peer.Send(Conversation(Code, 1, {M + "x"}));
    ASSERT_TRUE(Peer.WaitForLines(static_cast<size_t>(Code) * 4));
  }
  EXPECT_EQ(Served, (std::vector<int>{1, 2, 3}));
}

TEST_F(ServerTest, MaxPrioritiesCannotChangeWhileActiveOrBusy) {
  EXPECT_THROW(
      {
        try {
          Server->SetMaxPriorities(5);
        } catch (const EKivServerError& E) {
          EXPECT_EQ(E.Message(), "Could not set MaxPriorities. Server is active.");
          throw;
        }
      },
      EKivServerError);
  TLinePeer Peer(Port);
  Peer.Send(Conversation(1, 1, {}));
  ASSERT_TRUE(WaitQueued(1, 1));
  try {
    Server->SetMaxPriorities(5);
    FAIL();
  } catch (const EKivServerError& E) {
    // Pending requests are reported first, even on an active server.
    EXPECT_EQ(E.Message(), "Could not set MaxPriorities. Pending requests on queues.");
  }
  EXPECT_EQ(Server->MaxPriorities(), 3);
}

TEST(ServerSettingsTest, DefaultsAndQueueArray) {
  TOwnerComponent Form;
  auto* S = new TKivServer(&Form);
  EXPECT_EQ(S->MaxPriorities(), 3);
  EXPECT_EQ(S->Port(), 2000);
  EXPECT_EQ(S->Interval(), 25u);
  EXPECT_TRUE(S->UseTCP());
  EXPECT_EQ(S->SeekOtherTimeout(), 1000);
  EXPECT_FALSE(S->Active());
  EXPECT_TRUE(S->Idle());
  EXPECT_EQ(S->ServerDir(), "");
  EXPECT_EQ(S->SeekKey(), "");
  S->SetMaxPriorities(5);
  EXPECT_EQ(S->MaxPriorities(), 5);
  S->SetMaxPriorities(2);
  EXPECT_EQ(S->MaxPriorities(), 2);
  for (int Bad : {0, -1}) {
    EXPECT_THROW(S->SetMaxPriorities(Bad), EKivServerError);
    EXPECT_EQ(S->MaxPriorities(), 2);
  }
}

TEST(ServerSettingsTest, DesignModeOnlyStores) {
  TDesignScope Designing;
  TOwnerComponent Form;
  auto* S = new TKivServer(&Form);
  EXPECT_TRUE(S->Designing());
  S->SetMaxPriorities(7);  // no queues at design time, no checks
  EXPECT_EQ(S->MaxPriorities(), 7);
  EXPECT_TRUE(S->Idle());
  S->SetPort(2100);
  EXPECT_EQ(S->Port(), 2100);
}

TEST(ServerSettingsTest, AFormStoresOnlyChangedProperties) {
  RegisterClass(&TKivServer::Class());
  TOwnerComponent Form;
  auto* S = new TKivServer(&Form);
  S->SetName("Server1");
  EXPECT_EQ(SaveForm(Form), "object Server1: TKivServer\nend\n");
  S->SetMaxPriorities(5);
  S->SetUseTCP(false);
  S->SetPort(2100);
  S->SetSeekKey("north");
  S->OnRequest = [](TKivServer*, TRequest*) {};
  std::string Text = SaveForm(Form);
  EXPECT_EQ(Text,
            "object Server1: TKivServer\n  MaxPriorities = 5\n  UseTCP = False\n"
            "  Port = 2100\n  SeekKey = 'north'\nend\n");
  TOwnerComponent Loaded;
  LoadForm(Loaded, Text);
  auto* L = dynamic_cast<TKivServer*>(Loaded.FindComponent("Server1"));
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->MaxPriorities(), 5);
  EXPECT_FALSE(L->UseTCP());
  EXPECT_EQ(L->Port(), 2100);
  EXPECT_EQ(L->SeekKey(), "north");
  UnRegisterClasses();
}

TEST(ServerPortTest, PortConflictsRaiseAndLeaveNothingBound) {
  TOwnerComponent Form;
  auto* S = new TKivServer(&Form);
  S->SetName("Server1");
  int Port = FreePort();
  S->SetPort(Port);
  S->SetSeekOtherTimeout(50);
  {
    TPortBlocker Tcp(Port, false);
    try {
      S->Activate();
      FAIL();
    } catch (const EKivServerError& E) {
      EXPECT_EQ(E.Message(), "Server \"Server1\" requested TCP port already in use");
    }
    EXPECT_FALSE(S->Active());
  }
  {
    TPortBlocker Udp(Port, true);
    try {
      S->Activate();
      FAIL();
    } catch (const EKivServerError& E) {
      EXPECT_EQ(E.Message(), "Server \"Server1\" requested UDP port already in use");
    }
    EXPECT_FALSE(S->Active());
    // Rolled back: no client is accepted by a server that would never answer.
    EXPECT_THROW(TLinePeer{Port}, std::runtime_error);
  }
  EXPECT_TRUE(S->Activate());
  S->DeActivate();
}

TEST(ServerLifetimeTest, DestroyingAnActiveServerWithWorkPendingIsSafe) {
  TOwnerComponent Form;
  auto* S = new TKivServer(&Form);
  int Port = FreePort();
  S->SetPort(Port);
  S->SetInterval(1);
  S->SetSeekOtherTimeout(50);
  std::atomic<int> Answered{0};
  S->OnRequest = [&](TKivServer*, TRequest* R) { ++Answered; };
  ASSERT_TRUE(S->Activate());
  TLinePeer A(Port), B(Port);
  A.Send(Conversation(1, 1, {M + "x"}));
  B.Send({"@request", "@cod 2", M + "half"});
  ProcessMessagesUntil([&] { return Answered.load() == 1; }, 10000);
  delete S;
  EXPECT_TRUE(A.WaitForClose());
  EXPECT_TRUE(B.WaitForClose());
}

}  // namespace
}  // namespace KivTrans2
