// The limits on what a peer can make a server or a client hold: each test
// crosses one, then shows the server (or client) still serving.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/exceptions.h"
#include "host/files.h"
#include "host/net_settings.h"
#include "host/tcp_server.h"
#include "host/thread.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"
#include "support/net_support.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using Testing::FreePort;
using Testing::TLinePeer;
using Testing::TLineServer;
using Lines = std::vector<std::string>;

const std::string M = std::string(1, kDataMarker);

using TSetter = void (*)(size_t);
using TGetter = size_t (*)();

// Sets one process-wide limit for the length of a scope.
class TLimit {
 public:
  TLimit(TSetter Set, TGetter Get, size_t Value) : FSet(Set), FOld(Get()) { Set(Value); }
  ~TLimit() { FSet(FOld); }
  TLimit(const TLimit&) = delete;
  TLimit& operator=(const TLimit&) = delete;

 private:
  TSetter FSet;
  size_t FOld;
};

Lines Conversation(int Code, const Lines& Body) {
  Lines L{"@request", "@cod " + std::to_string(Code), "@prior1"};
  L.insert(L.end(), Body.begin(), Body.end());
  L.push_back("@end");
  return L;
}

TEST(LimitSettingsTest, DefaultsLeaveRoomForEveryLegitimateUseAndZeroIsRefused) {
  const struct {
    const char* Name;
    TSetter Set;
    TGetter Get;
    size_t Default;
  } Cases[] = {
      {"MaxRequestEntries", SetMaxRequestEntries, MaxRequestEntries, 1024 * 1024},
      {"MaxRequestBytes", SetMaxRequestBytes, MaxRequestBytes, 16 * 1024 * 1024},
      {"MaxRequestFileSize", SetMaxRequestFileSize, MaxRequestFileSize, 16 * 1024 * 1024},
      {"MaxConnections", SetMaxConnections, MaxConnections, 4096},
      {"MaxAnswerEntries", SetMaxAnswerEntries, MaxAnswerEntries, 4 * 1024 * 1024},
      {"MaxAnswerBytes", SetMaxAnswerBytes, MaxAnswerBytes, 64 * 1024 * 1024},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(C.Get(), C.Default) << C.Name;
    EXPECT_THROW(C.Set(0), Exception) << C.Name;
    EXPECT_EQ(C.Get(), C.Default) << C.Name;  // a refused value changes nothing
    TLimit Changed(C.Set, C.Get, 7);
    EXPECT_EQ(C.Get(), 7u) << C.Name;
  }
  // Well above the thousand connections of the benchmark, and a request or an
  // answer may hold many lines of the longest length.
  EXPECT_GE(MaxConnections(), 4 * 1000u);
  EXPECT_GE(MaxRequestBytes(), 16 * MaxLineLength());
  EXPECT_GE(MaxAnswerBytes(), 64 * MaxLineLength());
}

// An active TCP server on a free loopback port whose ticks the test runs
// itself; each request is answered with its entries, and its code is logged.
class TcpIntakeLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = new TKivServer(&Form);
    Port = FreePort();
    Server->SetPort(Port);
    Server->SetInterval(3600 * 1000);
    Server->SetSeekOtherTimeout(50);
    Server->OnRequest = [this](TKivServer*, TRequest* R) {
      Served.push_back(R->Code);
      while (!R->IsEOF()) R->WriteLine(R->ReadLine());
    };
    ASSERT_TRUE(Server->Activate());
  }

  bool WaitFor(const std::function<bool()>& Done) { return ProcessMessagesUntil(Done, 10000); }

  std::vector<int> Served;
  TOwnerComponent Form;
  TKivServer* Server = nullptr;
  int Port = 0;
};

TEST_F(TcpIntakeLimitTest, ARequestBeyondALimitIsDroppedWithItsConnectionAndOthersAreServed) {
  const std::string X15(15, 'x');
  const struct {
    const char* Name;
    TSetter Set;
    TGetter Get;
    size_t Value;
    Lines AtLimit, Beyond;
  } Cases[] = {
      // Entries: data lines, empty entries and "@cs-end" all count.
      {"entries",
       SetMaxRequestEntries,
       MaxRequestEntries,
       3,
       {M + "a", "@emptystring", "@cs-end"},
       {M + "a", "@emptystring", "@cs-end", M + "b"}},
      // Bytes: the entries as stored, the marker included.
      {"bytes",
       SetMaxRequestBytes,
       MaxRequestBytes,
       12,
       {M + "abcd", "@cs-end", "@emptystring"},
       {M + "abcd", "@cs-end", M}},
      {"line length", SetMaxLineLength, MaxLineLength, 16, {M + X15}, {M + X15 + "y"}},
  };
  int Code = 0;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLimit Limit(C.Set, C.Get, C.Value);
    Served.clear();
    TLinePeer Queued(Port);
    const int QueuedCode = ++Code;
    Queued.Send(Conversation(QueuedCode, {M + "waiting"}));
    ASSERT_TRUE(WaitFor([&] { return Server->QueueCount(1) == 1; }));

    TLinePeer Big(Port);
    Big.Send(Conversation(++Code, C.Beyond));
    EXPECT_TRUE(Big.WaitForClose());
    EXPECT_TRUE(WaitFor([&] { return Server->IncomingCount() == 0; }));
    EXPECT_EQ(Server->QueueCount(1), 1);  // only the one queued before

    // The limit holds per request: at the limit a request passes, and the
    // next request on the same connection starts counting afresh.
    TLinePeer Fits(Port);
    const int FitsCode = ++Code;
    Fits.Send(Conversation(FitsCode, C.AtLimit));
    ASSERT_TRUE(WaitFor([&] { return Server->QueueCount(1) == 2; }));
    Server->TimerOnTimer();
    Server->TimerOnTimer();
    ASSERT_TRUE(Fits.WaitForLines(3 + C.AtLimit.size()));
    const int NextCode = ++Code;
    Fits.Send(Conversation(NextCode, C.AtLimit));
    ASSERT_TRUE(WaitFor([&] { return Server->QueueCount(1) == 1; }));
    Server->TimerOnTimer();
    EXPECT_EQ(Served, (std::vector<int>{QueuedCode, FitsCode, NextCode}));
    ASSERT_TRUE(Queued.WaitForLines(4));
    EXPECT_EQ(Queued.Received()[2], M + "waiting");
    EXPECT_TRUE(Big.Received().empty());
    EXPECT_TRUE(Server->Idle());
  }
}

TEST_F(TcpIntakeLimitTest, ARepeatedEndQueuesTheRequestOnceUnderItsLatestPriority) {
  Lines L{"@request", "@cod 1", "@prior2", M + "a"};
  for (int I = 0; I < 1000; ++I) L.push_back("@end");
  L.insert(L.end(), {"@prior3", "@end"});
  TLinePeer Peer(Port);
  Peer.Send(L);
  ASSERT_TRUE(WaitFor([&] { return Server->QueueCount(3) == 1; }));
  EXPECT_EQ(Server->QueueCount(2), 0);
  Server->TimerOnTimer();
  Server->TimerOnTimer();
  EXPECT_EQ(Served, (std::vector<int>{1}));  // answered once
  ASSERT_TRUE(Peer.WaitForLines(4));
  EXPECT_EQ(Peer.Received(), (Lines{"@answer", "@cod 1", M + "a", "@end"}));
  EXPECT_TRUE(Server->Idle());
}

// An FS-mode server on a temporary directory whose ticks the test runs.
TEST(FileIntakeLimitTest, ARequestFileBeyondALimitIsDeletedUnservedAndOthersAreServed) {
  const std::string LB = kLineBreak;
  const std::string AtLimit = "@prior1" + LB + M + "a" + LB + M + "b" + LB;
  const std::string Beyond = AtLimit + M + LB;
  const struct {
    const char* Name;
    TSetter Set;
    TGetter Get;
    size_t Value;
  } Cases[] = {
      {"file size", SetMaxRequestFileSize, MaxRequestFileSize, AtLimit.size()},
      {"entries", SetMaxRequestEntries, MaxRequestEntries, 2},  // the priority line aside
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLimit Limit(C.Set, C.Get, C.Value);
    Testing::TTempDir Dir;
    TOwnerComponent Form;
    auto* Server = new TKivServer(&Form);
    Server->SetUseTCP(false);
    Server->SetServerDir(Dir.Path());
    Server->SetInterval(3600 * 1000);
    Lines Answered;
    Server->OnRequest = [&](TKivServer*, TRequest* R) {
      Answered.push_back(R->BaseName.substr(Dir.Path().size() + 1));
      R->WriteLine("ok");
    };
    ASSERT_TRUE(Server->Activate());
    Dir.Write("B0000001.REQ", Beyond);
    Dir.Write("A0000001.REQ", AtLimit);
    Server->ReadFileTimerOnTimer();
    EXPECT_FALSE(FileExists(Dir.File("B0000001.REQ")));
    EXPECT_EQ(Server->QueueCount(1), 1);
    Server->TimerOnTimer();
    EXPECT_EQ(Answered, Lines{"A0000001"});
    EXPECT_TRUE(FileExists(Dir.File("A0000001.ANS")));
    EXPECT_FALSE(FileExists(Dir.File("B0000001.ANS")));
  }
}

TEST(ConnectionLimitTest, AConnectionBeyondTheCapIsClosedAtOnceAndAFreedPlaceIsTakenAgain) {
  TLimit Limit(SetMaxConnections, MaxConnections, 2);
  TTcpServer Server;
  Server.OnExecute = [](const TTcpConnectionRef& C) {
    std::string Line = C->ReadLn();
    C->WriteLine("echo " + Line);
  };
  Server.AddBinding(0, "127.0.0.1");
  Server.SetActive(true);
  const int Port = Server.BoundPort();
  auto A = std::make_unique<TLinePeer>(Port);
  TLinePeer B(Port);
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Server.ConnectionCount() == 2; }, 10000));

  TLinePeer Refused(Port);  // the system completes the handshake; the server closes it
  EXPECT_TRUE(Refused.WaitForClose());
  EXPECT_TRUE(Refused.Received().empty());
  EXPECT_EQ(Server.ConnectionCount(), 2);

  A->Close();
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Server.ConnectionCount() == 1; }, 10000));
  TLinePeer C(Port);
  C.Send({"c"});
  B.Send({"b"});
  ASSERT_TRUE(C.WaitForLines(1));
  ASSERT_TRUE(B.WaitForLines(1));
  EXPECT_EQ(C.Received(), Lines{"echo c"});
  EXPECT_EQ(B.Received(), Lines{"echo b"});
  Server.SetActive(false);
}

TEST(ConnectionLimitTest, AClientBeyondTheCapEndsItsExchangeAtOnceAndSucceedsOnceThereIsRoom) {
  TLimit Limit(SetMaxConnections, MaxConnections, 1);
  TOwnerComponent Form;
  auto* Server = new TKivServer(&Form);
  Server->SetPort(FreePort());
  Server->SetInterval(1);
  Server->SetSeekOtherTimeout(50);
  std::atomic<int> Peers{0};
  Server->OnPeerConnect = [&](const std::shared_ptr<TTcpServerConnection>&) { ++Peers; };
  Server->OnRequest = [](TKivServer*, TRequest* R) { R->WriteLine("served"); };
  ASSERT_TRUE(Server->Activate());
  auto Holder = std::make_unique<TLinePeer>(Server->Port());
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Peers == 1; }, 10000));

  auto* Conn = new TKivConnection(&Form);
  Conn->SetHost("127.0.0.1");
  Conn->SetPort(Server->Port());
  Conn->SetAnswerTimeout(60000);  // a queued connection would outlast the wait below
  auto* Client = new TKivClient(&Form);
  Client->SetConnection(Conn);
  Lines Events;
  Client->OnAnswer = [&](TKivClient* C, bool&) { Events.push_back("answer " + C->ReadLine()); };
  Client->OnTimeOut = [&](TKivClient*, bool&, bool) { Events.push_back("timeout"); };
  Client->OnTransEnd = [&](TKivClient*, bool Success) {
    Events.push_back(Success ? "end True" : "end False");
  };
  Client->Request();
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Events.size() == 1; }, 10000));
  EXPECT_EQ(Events, Lines{"end False"});
  EXPECT_EQ(Peers, 1);  // the refused connection never reached the server's handlers

  Holder.reset();
  // The place is free once the holder's connection thread has ended; until
  // then a request is refused as before.
  bool Answered = false;
  for (int Attempt = 0; Attempt < 200 && !Answered; ++Attempt) {
    Events.clear();
    Client->Request();
    ASSERT_TRUE(ProcessMessagesUntil(
        [&] { return !Events.empty() && Events.back() != "answer served"; }, 10000));
    Answered = Events == Lines{"answer served", "end True"};
  }
  EXPECT_TRUE(Answered);
}

// A client that talks to a scripted server; every event is logged.
class AnswerLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Conn = new TKivConnection(&Form);
    Conn->SetHost("127.0.0.1");
    Conn->SetAnswerTimeout(60000);  // a wait that went on would outlast the test's wait
    Client = new TKivClient(&Form);
    Client->SetConnection(Conn);
    Client->OnAnswer = [this](TKivClient* C, bool&) {
      Lines Got;
      C->CopyToList(Got);
      Events.push_back("answer " + std::to_string(Got.size()));
    };
    Client->OnTimeOut = [this](TKivClient*, bool&, bool) { Events.push_back("timeout"); };
    Client->OnTransEnd = [this](TKivClient*, bool Success) {
      Events.push_back(Success ? "end True" : "end False");
    };
    Conn->OnDisconnected = [this](TTcpClient*) { ++Disconnects; };
  }

  bool WaitEvents(size_t Count) {
    return ProcessMessagesUntil([&] { return Events.size() >= Count; }, 15000);
  }

  TOwnerComponent Form;
  TKivConnection* Conn = nullptr;
  TKivClient* Client = nullptr;
  Lines Events;
  std::atomic<int> Disconnects{0};  // run on the wait thread
};

TEST_F(AnswerLimitTest, AnAnswerBeyondALimitEndsTheExchangeAsFailedAndClosesTheConnection) {
  const std::string X15(15, 'x');
  const struct {
    const char* Name;
    TSetter Set;
    TGetter Get;
    size_t Value;
    Lines AtLimit, Beyond;
  } Cases[] = {
      {"entries",
       SetMaxAnswerEntries,
       MaxAnswerEntries,
       3,
       {M + "a", M + "b", "@cs-end"},
       {M + "a", M + "b", "@cs-end", M + "c"}},
      {"bytes",
       SetMaxAnswerBytes,
       MaxAnswerBytes,
       12,
       {M + "abcd", "@cs-end"},
       {M + "abcd", "@cs-end", M}},
      {"line length", SetMaxLineLength, MaxLineLength, 16, {M + X15}, {M + X15 + "y"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLimit Limit(C.Set, C.Get, C.Value);
    TLineServer Peer;
    Conn->SetPort(Peer.Port());
    Events.clear();
    Disconnects = 0;
    SetRequestCounter(0);
    Client->Request();
    ASSERT_TRUE(Peer.WaitForLines(4, 0));
    Lines Answer{"@answer", "@cod 0"};
    Answer.insert(Answer.end(), C.Beyond.begin(), C.Beyond.end());
    Answer.push_back("@end");
    Peer.Send(Answer, 0);
    ASSERT_TRUE(WaitEvents(1));
    EXPECT_EQ(Events, Lines{"end False"});
    EXPECT_TRUE(Peer.WaitForClose(0));
    EXPECT_EQ(Disconnects, 1);  // closed by the wait, as after a give-up
    EXPECT_FALSE(Conn->Connected());
    EXPECT_FALSE(Conn->Busy());

    // The next exchange works. An answer at the limit passes, and the count
    // starts again at every "@answer": a stale answer before it does not add.
    Client->Request();
    ASSERT_TRUE(Peer.WaitForLines(4, 1));
    Lines Stale{"@answer", "@cod 7"};
    Stale.insert(Stale.end(), C.AtLimit.begin(), C.AtLimit.end());
    Stale.insert(Stale.end(), {"@end", "@answer", "@cod 1"});
    Stale.insert(Stale.end(), C.AtLimit.begin(), C.AtLimit.end());
    Stale.push_back("@end");
    Peer.Send(Stale, 1);
    ASSERT_TRUE(WaitEvents(3));
    EXPECT_EQ(Events[1], "answer " + std::to_string(C.AtLimit.size()));
    EXPECT_EQ(Events[2], "end True");
  }
}

TEST_F(AnswerLimitTest, AnAnswerFileBeyondALimitEndsTheExchangeAsFailedAndIsDeleted) {
  const std::string LB = kLineBreak;
  const std::string AtLimit = M + "a" + LB + M + "b" + LB;
  const std::string Beyond = AtLimit + M + "c" + LB;
  const struct {
    const char* Name;
    TSetter Set;
    TGetter Get;
    size_t Value;
  } Cases[] = {
      {"bytes", SetMaxAnswerBytes, MaxAnswerBytes, AtLimit.size()},
      {"entries", SetMaxAnswerEntries, MaxAnswerEntries, 2},
  };
  Testing::TTempDir Dir;
  Dir.Write(kMarkerFileName, "");
  Conn->SetUseTCP(false);
  Conn->SetServerDir(Dir.Path());
  // Answers the request file in the directory as a server would: the answer
  // file is written under its working name, then renamed.
  auto AnswerWith = [&](const std::string& Content) {
    Lines Requests;
    ASSERT_TRUE(ProcessMessagesUntil(
        [&] { return !(Requests = FindFiles(Dir.Path(), "*.REQ")).empty(); }, 10000));
    const std::string Base = Dir.File(Requests[0].substr(0, Requests[0].find('.')));
    DeleteFile(Base + ".REQ");
    Dir.Write(Requests[0].substr(0, Requests[0].find('.')) + ".AN1", Content);
    std::filesystem::rename(Base + ".AN1", Base + ".ANS");
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLimit Limit(C.Set, C.Get, C.Value);
    Events.clear();
    Client->Request();
    AnswerWith(Beyond);
    ASSERT_TRUE(WaitEvents(1));
    EXPECT_EQ(Events, Lines{"end False"});
    EXPECT_TRUE(FindFiles(Dir.Path(), "*.ANS").empty());
    Client->Request();
    AnswerWith(AtLimit);
    ASSERT_TRUE(WaitEvents(3));
    EXPECT_EQ(Events, (Lines{"end False", "answer 2", "end True"}));
  }
}

}  // namespace
}  // namespace KivTrans2
