#include "client/kiv_client.h"

#include <gtest/gtest.h>

#include "client/kiv_connection.h"
#include "host/files.h"
#include "host/thread.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"
#include "support/child_process.h"
#include "support/net_support.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using Testing::FreePort;
using Testing::TLineServer;
using Lines = std::vector<std::string>;

const std::string M = std::string(1, kDataMarker);

// A connection and a client on it; every event the client receives is logged
// as text, in order.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Conn = new TKivConnection(&Form);
    Conn->SetName("Connection1");
    Conn->SetHost("127.0.0.1");
    Client = MakeClient("Client1");
  }

  TKivClient* MakeClient(const std::string& Name) {
    auto* C = new TKivClient(&Form);
    C->SetName(Name);
    C->SetConnection(Conn);
    C->OnAnswer = [this, Name](TKivClient* Sender, bool& Success) {
      EXPECT_TRUE(IsMainThread());
      Events.push_back(Name + " answer " + (Sender->IsEOF() ? "" : Sender->ReadLine()));
      Sender->GoTopLine();
      if (FailAnswers) Success = false;
    };
    C->OnTimeOut = [this, Name](TKivClient*, bool& GiveUp, bool Coming) {
      EXPECT_TRUE(IsMainThread());
      Events.push_back(Name + " timeout " + BoolToText(GiveUp) + " " + BoolToText(Coming));
      if (KeepWaiting > 0) {
        --KeepWaiting;
        GiveUp = false;
      }
    };
    C->OnTransEnd = [this, Name](TKivClient*, bool Success) {
      EXPECT_TRUE(IsMainThread());
      Events.push_back(Name + " end " + BoolToText(Success));
    };
    return C;
  }

  // Pumps the main thread until Count events have arrived.
  bool WaitEvents(size_t Count) {
    return ProcessMessagesUntil([&] { return Events.size() >= Count; }, 15000);
  }

  // A server on a free port answering each request with its request entries
  // as they were stored.
  std::unique_ptr<TKivServer> StartEchoServer() {
    auto S = std::make_unique<TKivServer>(nullptr);
    S->SetPort(FreePort());
    S->SetInterval(1);
    S->SetSeekOtherTimeout(50);
    S->OnRequest = [this](TKivServer*, TRequest* R) {
      ServerSaw.push_back(R->Lines);
      Codes.push_back(R->Code);
      while (!R->IsEOF()) R->WriteLine(R->ReadLine());
    };
    EXPECT_TRUE(S->Activate());
    Conn->SetPort(S->Port());
    return S;
  }

  TOwnerComponent Form;
  TKivConnection* Conn = nullptr;
  TKivClient* Client = nullptr;
  Lines Events;
  bool FailAnswers = false;
  int KeepWaiting = 0;
  std::vector<Lines> ServerSaw;
  std::vector<int32_t> Codes;
};

TEST_F(ClientTest, RoundTripDeliversTheAnswerThenTheEnd) {
  auto Server = StartEchoServer();
  Client->SetPriority(2);
  Client->OnRequest = [](TKivClient* C) {
    C->WriteLine("first");
    C->WriteLine("");
    C->WriteStringList({"x", ""});
    C->WriteMultiLines("AB\r\nC", 2);
  };
  Lines Answered;
  Client->OnAnswer = [&](TKivClient* C, bool&) {
    EXPECT_EQ(C->Answer().Cursor, 0);
    C->CopyToList(Answered);
    Events.push_back("answer");
  };
  Client->Request();
  EXPECT_TRUE(Conn->Busy());
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"answer", "Client1 end True"}));
  // The body as the server stored it: "@emptystring" became an empty entry,
  // the multi-line block travelled as chunks with CR LF as 0x01 0x02.
  ASSERT_EQ(ServerSaw.size(), 1u);
  EXPECT_EQ(ServerSaw[0], (Lines{M + "first", "", M + "x", "", "@cs-end", M + "AB", M + "\x01\x02",
                                 M + "C", "@cs-end"}));
  EXPECT_EQ(Answered, (Lines{"first", "", "x", "", "@cs-end", "AB", "\x01\x02", "C", "@cs-end"}));
  EXPECT_FALSE(Conn->Busy());
  EXPECT_FALSE(Conn->Connected());  // AutoConnect closes after the answer
  // The answer stays readable after the exchange.
  Client->GoTopLine();
  EXPECT_EQ(Client->ReadLine(), "first");
}

TEST_F(ClientTest, RequestCodesCountAcrossConnections) {
  auto Server = StartEchoServer();
  auto* Conn2 = new TKivConnection(&Form);
  Conn2->SetHost("127.0.0.1");
  Conn2->SetPort(Server->Port());
  auto* Client2 = MakeClient("Client2");
  Client2->SetConnection(Conn2);
  SetRequestCounter(0);
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));
  Client2->Request();
  ASSERT_TRUE(WaitEvents(4));
  Client->Request();
  ASSERT_TRUE(WaitEvents(6));
  EXPECT_EQ(Codes, (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(RequestCounter(), 3);
}

TEST_F(ClientTest, WritesTheRequestConversation) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  SetRequestCounter(41);
  Client->SetPriority(3);
  Client->Request();  // no OnRequest: an empty body
  ASSERT_TRUE(Peer.WaitForLines(4));
  EXPECT_EQ(Peer.Received(), (Lines{"@request", "@cod 41", "@prior3", "@end"}));
  Peer.Send({"@answer", "@cod 41", "@end"});
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"Client1 answer ", "Client1 end True"}));
}

TEST_F(ClientTest, ABusyConnectionNamesTheClientThatHoldsIt) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  auto* Client2 = MakeClient("Client2");
  SetRequestCounter(0);
  Client->Request();
  try {
    Client2->Request();
    FAIL();
  } catch (const EAlreadyWorking& E) {
    EXPECT_EQ(E.Message(), "Connection \"Connection1\" is in use by client \"Client1\"");
  }
  ASSERT_TRUE(Peer.WaitForLines(4));
  Peer.Send({"@answer", "@cod 0", M + "one", "@end"});
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"Client1 answer one", "Client1 end True"}));
  Client2->Request();  // free again
  ASSERT_TRUE(Peer.WaitForLines(4, 1));
  EXPECT_EQ(Peer.Received(1)[1], "@cod 1");
}

TEST_F(ClientTest, ConnectionFailuresRaiseAndLeaveTheConnectionFree) {
  int Closed = FreePort();  // nothing listens here
  Conn->SetPort(Closed);
  Conn->SetAutoConnect(false);
  try {
    Client->Request();
    FAIL();
  } catch (const ETCPError& E) {
    EXPECT_EQ(E.Message(), "Connection1 is not connected.");
  }
  Conn->SetAutoConnect(true);
  try {
    Client->Request();
    FAIL();
  } catch (const ETCPError& E) {
    EXPECT_EQ(E.Message(), "Could not establish TCP connection");
  }
  EXPECT_THROW(Conn->Connect(), ETCPError);
  EXPECT_FALSE(Conn->Busy());
  auto Server = StartEchoServer();
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("hi"); };
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"Client1 answer hi", "Client1 end True"}));
}

TEST_F(ClientTest, KeptConnectionStaysOpenAfterTheAnswer) {
  auto Server = StartEchoServer();
  Conn->SetAutoConnect(false);
  std::atomic<int> Connects{0};
  Conn->OnConnected = [&](TTcpClient*) { ++Connects; };
  Conn->Connect();
  for (int I = 0; I < 3; ++I) {
    Client->Request();
    ASSERT_TRUE(WaitEvents(static_cast<size_t>(2 * I + 2)));
    EXPECT_TRUE(Conn->Connected());
  }
  EXPECT_EQ(Connects.load(), 1);
  Conn->Connect();  // already connected: reconnects
  EXPECT_EQ(Connects.load(), 2);
  EXPECT_TRUE(Conn->Connected());
}

TEST_F(ClientTest, SilenceGivesUpAfterOneWindowAndClosesTheConnection) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  Conn->SetAnswerTimeout(100);
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"Client1 timeout True False", "Client1 end False"}));
  EXPECT_TRUE(Peer.WaitForClose());
  EXPECT_FALSE(Conn->Busy());
}

TEST_F(ClientTest, AHandlerThatKeepsWaitingGetsAnotherWindow) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  Conn->SetAnswerTimeout(100);
  KeepWaiting = 1;
  Client->Request();
  ASSERT_TRUE(WaitEvents(3));
  EXPECT_EQ(Events, (Lines{"Client1 timeout True False", "Client1 timeout True False",
                           "Client1 end False"}));
}

TEST_F(ClientTest, AWindowWithLinesNeverGivesUpTheNextSilentOneDoes) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  Conn->SetAnswerTimeout(300);
  Client->Request();
  ASSERT_TRUE(Peer.WaitForLines(4));
  Peer.Send({"@answer", M + "partial"});
  ASSERT_TRUE(WaitEvents(3));
  EXPECT_EQ(Events, (Lines{"Client1 timeout False True", "Client1 timeout True False",
                           "Client1 end False"}));
}

TEST_F(ClientTest, AnAnswerWithAStaleCodeIsDiscarded) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  SetRequestCounter(5);
  Client->Request();
  ASSERT_TRUE(Peer.WaitForLines(4));
  Peer.Send({"@answer", "@cod 4", M + "stale", "@end", "@answer", "@cod 5", M + "fresh", "@end"});
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"Client1 answer fresh", "Client1 end True"}));
  EXPECT_EQ(Client->Answer().Lines, (Lines{M + "fresh"}));
}

TEST_F(ClientTest, OnAnswerCanTurnTheOutcomeIntoAFailure) {
  auto Server = StartEchoServer();
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("x"); };
  FailAnswers = true;
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"Client1 answer x", "Client1 end False"}));
}

TEST_F(ClientTest, AWaitEndedByAFailureReportsTheEndAsFailed) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  SetRequestCounter(0);
  Client->Request();
  ASSERT_TRUE(Peer.WaitForLines(4));
  Peer.Send({"@answer", "@cod x"});  // does not convert
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(Events, (Lines{"Client1 end False"}));
  Client->Request();  // the connection is free again
  ASSERT_TRUE(Peer.WaitForLines(4, 1));
  Peer.Drop(1);  // the server closes during the wait
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events[1], "Client1 end False");
}

TEST_F(ClientTest, AFailingRequestBodyLeavesNothingHalfSent) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  Client->OnRequest = [](TKivClient* C) {
    C->WriteLine("a");
    throw std::runtime_error("application failure");
  };
  EXPECT_THROW(Client->Request(), std::runtime_error);
  EXPECT_FALSE(Conn->Busy());
  EXPECT_TRUE(Peer.WaitForClose());  // the server drops the partial request
  EXPECT_FALSE(Peer.Received().empty() && Peer.Received().back() == "@end");
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("a\nb"); };
  try {
    Client->Request();
    FAIL();
  } catch (const EKivClientError& E) {
    EXPECT_EQ(E.Message(), "Line break in text passed to WriteLine");
  }
  EXPECT_FALSE(Conn->Busy());
  EXPECT_TRUE(Events.empty());  // no exchange got as far as its wait
}

TEST_F(ClientTest, ARequestFromInsideTheEventsOfTheSameConnectionWorks) {
  auto Server = StartEchoServer();
  auto* Client2 = MakeClient("Client2");
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("one"); };
  Client2->OnRequest = [](TKivClient* C) { C->WriteLine("two"); };
  Client->OnAnswer = [&](TKivClient* C, bool&) {
    Events.push_back("Client1 answer " + C->ReadLine());
    Client2->Request();  // the connection is free already
  };
  Client->Request();
  ASSERT_TRUE(WaitEvents(4));
  // Each exchange's events went to its own client.
  std::sort(Events.begin(), Events.end());
  EXPECT_EQ(Events, (Lines{"Client1 answer one", "Client1 end True", "Client2 answer two",
                           "Client2 end True"}));
}

TEST_F(ClientTest, DestroyingTheClientOrTheConnectionCancelsTheWait) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  Client->Request();
  ASSERT_TRUE(Peer.WaitForLines(4));
  delete Client;  // no event reaches it, the connection is usable again
  EXPECT_TRUE(ProcessMessagesUntil([&] { return !Conn->Busy(); }, 5000));
  auto* Client2 = MakeClient("Client2");
  Client2->Request();
  ASSERT_TRUE(Peer.WaitForLines(4, 1));
  delete Conn;  // no event, no hang
  EXPECT_EQ(Client2->Connection(), nullptr);
  CheckSynchronize(50);
  EXPECT_TRUE(Events.empty());
  EXPECT_THROW(Client2->Request(), EKivClientError);
}

TEST_F(ClientTest, BlockingFollowsTheBuildsBehaviour) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  Conn->SetBlocking(true);
  EXPECT_TRUE(Conn->Blocking());
  Conn->SetAnswerTimeout(100);
  Client->Request();
#if defined(KIVTRANS2_VARIANT_lnx)
  EXPECT_TRUE(Events.empty());  // returned before the answer
  ASSERT_TRUE(WaitEvents(2));
#else
  EXPECT_EQ(Events.size(), 2u);  // returned after the wait, the events delivered meanwhile
#endif
  EXPECT_EQ(Events.back(), "Client1 end False");
}

TEST(ClientSettingsTest, DefaultsAndStoredProperties) {
  RegisterClass(&TKivClient::Class());
  RegisterClass(&TKivConnection::Class());
  TOwnerComponent Form;
  auto* Conn = new TKivConnection(&Form);
  auto* Client = new TKivClient(&Form);
  Conn->SetName("Connection1");
  Client->SetName("Client1");
  EXPECT_EQ(Client->Priority(), 1);
  EXPECT_EQ(Client->Connection(), nullptr);
  EXPECT_TRUE(Conn->UseTCP());
  EXPECT_EQ(Conn->Port(), 2000);
  EXPECT_TRUE(Conn->AutoConnect());
  EXPECT_FALSE(Conn->Blocking());
  EXPECT_EQ(Conn->AnswerTimeout(), 8000);
  EXPECT_EQ(Conn->SeekTimeout(), 1000);
  EXPECT_EQ(SaveForm(Form), "object Connection1: TKivConnection\nend\nobject Client1: TKivClient\nend\n");
  try {
    Client->Request();
    FAIL();
  } catch (const EKivClientError& E) {
    EXPECT_EQ(E.Message(), "There is no connection for client \"Client1\"");
  }
  Client->SetPriority(4);
  Client->SetConnection(Conn);
  Conn->SetHost("127.0.0.9");
  Conn->SetAutoConnect(false);
  std::string Text = SaveForm(Form);
  EXPECT_EQ(Text,
            "object Connection1: TKivConnection\n  Host = '127.0.0.9'\n  AutoConnect = False\nend\n"
            "object Client1: TKivClient\n  Priority = 4\n  Connection = Connection1\nend\n");
  TOwnerComponent Loaded;
  LoadForm(Loaded, Text);
  auto* C2 = dynamic_cast<TKivClient*>(Loaded.FindComponent("Client1"));
  ASSERT_NE(C2, nullptr);
  EXPECT_EQ(C2->Connection(), Loaded.FindComponent("Connection1"));
  EXPECT_EQ(C2->Priority(), 4);
  UnRegisterClasses();
}

TEST(ClientSaveTest, SaveToFileWritesTheUnreadRest) {
  Testing::TTempDir Dir;
  TOwnerComponent Form;
  auto* Client = new TKivClient(&Form);
  Client->Answer().Lines = {M + "a", M + "b", "@cs-end"};
  Client->ReadLine();
  Client->SaveToFile(Dir.File("out"), "txt");
  EXPECT_EQ(Dir.Read("out.txt"), std::string("b") + kLineBreak + "@cs-end" + kLineBreak);
  EXPECT_TRUE(Client->IsEOF());
  Client->SaveToFile(Dir.File("empty"), "");
  EXPECT_TRUE(FileExists(Dir.File("empty.")));
  EXPECT_EQ(Dir.Read("empty."), "");
  try {
    Client->SaveToFile("", "txt");
    FAIL();
  } catch (const EKivClientError& E) {
    EXPECT_EQ(E.Message(), "Missing FileName in call to TKivClient.SaveToFile");
  }
}

// The server of the two-process test: echoes every request entry.
KIV_TEST_CHILD(EchoServer) {
  TKivServer Server(nullptr);
  Server.SetPort(std::stoi(Args.at(0)));
  Server.SetInterval(1);
  Server.SetSeekOtherTimeout(50);
  Server.OnRequest = [](TKivServer*, TRequest* R) {
    while (!R->IsEOF()) R->WriteLine(R->ReadLine());
  };
  if (!Server.Activate()) return 3;
  std::printf("ready\n");
  std::fflush(stdout);
  ProcessMessagesUntil([] { return false; }, 120000);
  return 0;
}

TEST(ClientProcessTest, HundredRoundTripsWithAServerInAnotherProcess) {
  int Port = FreePort();
  Testing::TChildProcess Child("EchoServer", {std::to_string(Port)});
  ASSERT_EQ(Child.ReadLine(), "ready");
  TOwnerComponent Form;
  auto* Conn = new TKivConnection(&Form);
  Conn->SetHost("127.0.0.1");
  Conn->SetPort(Port);
  auto* Client = new TKivClient(&Form);
  Client->SetConnection(Conn);
  int Sent = 0;
  Client->OnRequest = [&](TKivClient* C) {
    C->WriteLine("request " + std::to_string(Sent));
    C->WriteLine("");
  };
  int Good = 0, Ended = 0;
  Client->OnAnswer = [&](TKivClient* C, bool&) {
    if (C->ReadLine() == "request " + std::to_string(Sent) && C->ReadLine().empty() && C->IsEOF())
      ++Good;
  };
  Client->OnTransEnd = [&](TKivClient*, bool) { ++Ended; };
  for (Sent = 0; Sent < 100; ++Sent) {
    Client->Request();
    ASSERT_TRUE(ProcessMessagesUntil([&] { return Ended == Sent + 1; }, 15000));
  }
  EXPECT_EQ(Good, 100);
}

}  // namespace
}  // namespace KivTrans2
