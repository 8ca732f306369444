// Discovery and notification between servers and connections of this process,
// on loopback: every datagram goes to 127.0.0.1 or 127.255.255.255, and every
// server listens on a port of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/kiv_connection.h"
#include "discovery/datagrams.h"
#include "host/component.h"
#include "host/ip_watch.h"
#include "host/net_settings.h"
#include "host/thread.h"
#include "host/udp.h"
#include "message/kiv_errors.h"
#include "server/kiv_server.h"
#include "support/net_support.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using namespace std::string_literals;
using Testing::FreePort;
using Testing::TPortBlocker;
using Texts = std::vector<std::string>;

// The discovery window of the tests: long enough for a reply on a loaded
// machine, short enough for searches that must come back empty.
constexpr int kWindowMs = 300;
constexpr int kWaitMs = 10000;

// "IP,Name,SeekKey" of every entry, in order.
Texts Describe(const std::vector<std::unique_ptr<TMachine>>& Machines) {
  Texts Result;
  for (const auto& M : Machines) Result.push_back(M->IP + "," + M->Name + "," + M->SeekKey);
  return Result;
}

// What this machine's servers put into their replies.
std::string Here() {
  return LocalIP() + "," + GetLocalName();
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(BroadcastTarget(), "127.255.255.255"); }

  TKivServer* NewServer(const std::string& Key, int Port, const std::string& Name = "Server1") {
    auto* S = new TKivServer(&Form);
    S->SetName(Name);
    S->SetPort(Port);
    S->SetSeekKey(Key);
    S->SetSeekOtherTimeout(kWindowMs);
    return S;
  }

  TKivConnection* NewConnection(const std::string& Key, int Port) {
    auto* C = new TKivConnection(&Form);
    C->SetHost("127.0.0.1");
    C->SetPort(Port);
    C->SetSeekKey(Key);
    C->SetSeekTimeout(kWindowMs);
    return C;
  }

  TOwnerComponent Form;
};

TEST_F(DiscoveryTest, SeekServerFindsAnActiveServerOnlyWithItsOwnKey) {
  const int Port = FreePort();
  TKivServer* North = NewServer("north", Port);
  ASSERT_TRUE(North->Activate());
  struct Case {
    std::string Key;
    Texts Found;
  } Cases[] = {
      {"north", {Here() + ","}}, {"North", {}}, {"nort", {}}, {"north ", {}}, {"", {}},
  };
  TKivConnection* C = NewConnection("", Port);
  for (const Case& Case : Cases) {
    C->SetSeekKey(Case.Key);
    EXPECT_EQ(Describe(C->SeekServer()), Case.Found) << "key '" << Case.Key << "'";
  }

  // A server without a key answers exactly "@seek ".
  const int EmptyPort = FreePort();
  ASSERT_TRUE(NewServer("", EmptyPort, "Server2")->Activate());
  C->SetPort(EmptyPort);
  C->SetSeekKey("");
  EXPECT_EQ(Describe(C->SeekServer()), Texts{Here() + ","});
  C->SetSeekKey("north");
  EXPECT_EQ(Describe(C->SeekServer()), Texts{});
}

TEST_F(DiscoveryTest, WithNoServerSeekServerReturnsEmptyAfterOneDefaultWindow) {
  auto* C = new TKivConnection(&Form);
  C->SetPort(FreePort());
  ASSERT_EQ(C->SeekTimeout(), 1000);
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_TRUE(C->SeekServer().empty());
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(1000));
}

// A stand-in server that answers every datagram with fixed replies, to show
// which replies a search takes.
TEST_F(DiscoveryTest, SeekServerTakesEveryMatchingReplyInOrderAndStopsAtAnEmptyOne) {
  struct Case {
    Texts Replies;
    Texts Found;
  } Cases[] = {
      {{"@serverfound$ab|10.0.0.1,one^", "@serverfound$xy|10.0.0.9,other^", "garbage",
        "@serverfound$abc|10.0.0.5,hal^", "@serverfound$ab", "@serverfound$ab|10.0.0.1,one^"},
       {"10.0.0.1,one,", "10.0.0.5,hal,", "10.0.0.1,one,"}},
      // An empty datagram ends the search like the end of the window.
      {{"@serverfound$ab|10.0.0.1,one^", "", "@serverfound$ab|10.0.0.2,two^"}, {"10.0.0.1,one,"}},
  };
  for (const Case& Case : Cases) {
    TUdpServer Fake;
    Texts Heard;
    Fake.OnUDPRead = [&](TUdpServer*, const std::string& Data, TUdpBinding& Binding) {
      Heard.push_back(Data);
      for (const std::string& R : Case.Replies)
        Binding.SendTo(Binding.PeerIP(), Binding.PeerPort(), R);
    };
    Fake.SetActive(true);
    TKivConnection* C = NewConnection("ab", Fake.BoundPort());
    EXPECT_EQ(Describe(C->SeekServer()), Case.Found);
    EXPECT_EQ(Heard, Texts{"@seek ab"});
    Fake.SetActive(false);
  }
}

TEST_F(DiscoveryTest, TheResponderAnswersByTheRules) {
  const int Port = FreePort();
  TKivServer* S = NewServer("north", Port);
  Texts Notes;
  S->OnNotificationReceived = [&](TKivServer* Sender, const std::string& Data) {
    EXPECT_EQ(Sender, S);
    EXPECT_TRUE(IsMainThread());
    Notes.push_back(Data);
  };
  ASSERT_TRUE(S->Activate());

  const std::string Found = "@serverfound$north|" + LocalIP() + "," + GetLocalName() + "^";
  const std::string Other = "@otherserverfound$north|" + LocalIP() + "," + GetLocalName() + "^";
  struct Case {
    std::string Datagram;
    Texts Replies;
    Texts Notes;
  } Cases[] = {
      {"@seek north", {Found}, {}},
      {"@seek north ", {}, {}},
      {"@seek North", {}, {}},
      {"@seek ", {}, {}},
      {"@seekother", {Other}, {}},
      {"@seekother and more", {Other}, {}},
      {"@serverfound$north|1.2.3.4,x^", {}, {}},
      {"@notify hello", {}, {"hello"}},
      {"@notify", {}, {""}},
      {"@notifyXhello", {}, {"hello"}},
      {"@notify @seek north", {}, {"@seek north"}},
      {"", {}, {}},
  };
  TUdpClient Raw;
  Raw.SetHost("127.0.0.1");
  Raw.SetPort(Port);
  int Sentinel = 0;
  for (const Case& Case : Cases) {
    SCOPED_TRACE("datagram '" + Case.Datagram + "'");
    Notes.clear();
    Raw.Send(Case.Datagram);
    // Datagrams from one socket are handled in order: once the sentinel
    // notification is in, every reply to the case has been sent.
    const std::string Mark = "sentinel " + std::to_string(++Sentinel);
    Raw.Send("@notify " + Mark);
    ASSERT_TRUE(
        ProcessMessagesUntil([&] { return !Notes.empty() && Notes.back() == Mark; }, kWaitMs));
    Notes.pop_back();
    Texts Replies;
    for (TUdpDatagram D = Raw.Receive(0); D.Received; D = Raw.Receive(0)) {
      EXPECT_EQ(D.PeerPort, Port);  // from the server's own socket
      Replies.push_back(D.Data);
    }
    EXPECT_EQ(Replies, Case.Replies);
    EXPECT_EQ(Notes, Case.Notes);
  }
}

TEST_F(DiscoveryTest, NotificationsReachTheHandlerOnTheMainThreadUnchanged) {
  const int Port = FreePort();
  TKivServer* S = NewServer("north", Port);
  Texts Notes;
  S->OnNotificationReceived = [&](TKivServer* Sender, const std::string& Data) {
    EXPECT_EQ(Sender, S);
    EXPECT_TRUE(IsMainThread());
    Notes.push_back(Data);
  };
  ASSERT_TRUE(S->Activate());
  // Notifications are not filtered by key.
  TKivConnection* C = NewConnection("south", Port);
  const Texts Sent{"hello", "", "two\r\nlines\xD7", "nul\0byte"s};
  for (const std::string& Data : Sent) C->SendNotification(Data);
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Notes.size() == Sent.size(); }, kWaitMs));
  EXPECT_EQ(Notes, Sent);
}

TEST_F(DiscoveryTest, AFailingNotificationHandlerDoesNotStopTheResponder) {
  const int Port = FreePort();
  TKivServer* S = NewServer("north", Port);
  Texts Notes;
  S->OnNotificationReceived = [&](TKivServer*, const std::string& Data) {
    Notes.push_back(Data);
    if (Data == "boom") throw std::runtime_error("handler failed");
  };
  ASSERT_TRUE(S->Activate());
  TKivConnection* C = NewConnection("north", Port);
  C->SendNotification("boom");
  C->SendNotification("after");
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Notes.size() == 2; }, kWaitMs));
  EXPECT_EQ(Notes, (Texts{"boom", "after"}));
  EXPECT_EQ(C->SeekServer().size(), 1u);
  EXPECT_TRUE(S->Active());
}

TEST_F(DiscoveryTest, InactiveAndDeactivatedServersAnswerNothingAndDropNotifications) {
  const int Port = FreePort();
  TKivServer* S = NewServer("north", Port);
  Texts Notes;
  S->OnNotificationReceived = [&](TKivServer*, const std::string& Data) { Notes.push_back(Data); };
  TKivConnection* C = NewConnection("north", Port);

  EXPECT_TRUE(C->SeekServer().empty());  // never activated

  ASSERT_TRUE(S->Activate());
  S->DeActivate();
  C->SendNotification("lost");
  // The search window is long enough for the notification sent before it to
  // have been handled, had the server taken it.
  EXPECT_TRUE(C->SeekServer().empty());
  EXPECT_TRUE(Notes.empty());

  // The same server and connection work again once it is active.
  ASSERT_TRUE(S->Activate());
  C->SendNotification("kept");
  EXPECT_EQ(C->SeekServer().size(), 1u);
  EXPECT_EQ(Notes, Texts{"kept"});
}

TEST_F(DiscoveryTest, AServerInFSModeAnswersNothingThoughItsUDPPortStaysBound) {
  const int Port = FreePort();
  TKivServer* S = NewServer("north", Port);
  Texts Notes;
  S->OnNotificationReceived = [&](TKivServer*, const std::string& Data) { Notes.push_back(Data); };
  ASSERT_TRUE(S->Activate());
  S->DeActivate();
  Testing::TTempDir Dir;
  S->SetUseTCP(false);
  S->SetServerDir(Dir.Path());
  ASSERT_TRUE(S->Activate());
  ASSERT_THROW(TPortBlocker(Port, true), std::runtime_error);  // still bound

  TKivConnection* C = NewConnection("north", Port);
  C->SendNotification("lost");
  EXPECT_TRUE(C->SeekServer().empty());
  EXPECT_TRUE(Notes.empty());
  S->DeActivate();
  delete S;  // before its directory goes
}

TEST_F(DiscoveryTest, ASecondServerWithTheSameKeyOnThisMachineGivesUpItsStart) {
  const int Port = FreePort();
  TKivServer* First = NewServer("north", Port, "First");
  First->OnOtherServerFound = [](TKivServer*, const auto&, bool&) {
    ADD_FAILURE() << "no other server runs yet";
  };
  ASSERT_TRUE(First->Activate());

  enum TOutcome { GivesUp, PortError };
  enum THandler { None, Keep, Clear, Set };
  struct Case {
    std::string Key;
    THandler Handler;
    bool FlagIn;  // the automatic decision the handler sees
    TOutcome Outcome;
  } Cases[] = {
      {"north", None, true, GivesUp},    {"north", Keep, true, GivesUp},
      {"north", Clear, true, PortError},  // goes on, to find the port taken
      {"south", Keep, false, PortError},  // another key does not stop the start
      {"south", Set, false, GivesUp},     // unless the handler says so
  };
  std::vector<TKivServer*> GaveUp;
  for (const Case& Case : Cases) {
    SCOPED_TRACE(Case.Key + " / handler " + std::to_string(Case.Handler));
    TKivServer* Second = NewServer(Case.Key, Port, "Second");
    int Calls = 0;
    if (Case.Handler != None) {
      Second->OnOtherServerFound = [&](TKivServer* Sender,
                                       const std::vector<std::unique_ptr<TMachine>>& Others,
                                       bool& GiveUpFlag) {
        ++Calls;
        EXPECT_EQ(Sender, Second);
        EXPECT_TRUE(IsMainThread());
        EXPECT_EQ(Describe(Others), Texts{Here() + ",north"});
        EXPECT_EQ(GiveUpFlag, Case.FlagIn);
        if (Case.Handler == Clear) GiveUpFlag = false;
        if (Case.Handler == Set) GiveUpFlag = true;
      };
    }
    if (Case.Outcome == GivesUp) {
      EXPECT_FALSE(Second->Activate());
      GaveUp.push_back(Second);
    } else {
      try {
        Second->Activate();
        ADD_FAILURE() << "Activate went through on a taken port";
      } catch (const EKivServerError& E) {
        EXPECT_EQ(E.Message(), "Server \"Second\" requested TCP port already in use");
      }
    }
    EXPECT_FALSE(Second->Active());
    EXPECT_EQ(Calls, Case.Handler == None ? 0 : 1);
  }
  EXPECT_TRUE(First->Active());

  // The servers that gave up hold nothing: with the first one gone, the port
  // is free for anyone.
  delete First;
  EXPECT_NO_THROW(TPortBlocker(Port, false));
  EXPECT_NO_THROW(TPortBlocker(Port, true));
}

TEST_F(DiscoveryTest, SeekOtherServerInFSModeSendsNothing) {
  const int Port = FreePort();
  TUdpServer Listener;
  Listener.SetDefaultPort(Port);
  Texts Heard;
  Listener.OnUDPRead = [&](TUdpServer*, const std::string& Data, TUdpBinding&) {
    Heard.push_back(Data);
  };
  Listener.SetActive(true);
  TKivServer* S = NewServer("north", Port);
  S->SetUseTCP(false);
  EXPECT_FALSE(S->SeekOtherServer());
  // A probe sent afterwards is the first datagram the listener hears.
  TUdpClient Probe;
  Probe.SetHost("127.0.0.1");
  Probe.SetPort(Port);
  Probe.Send("probe");
  ASSERT_TRUE(ProcessMessagesUntil([&] { return !Heard.empty(); }, kWaitMs));
  EXPECT_EQ(Heard, Texts{"probe"});

  // In TCP mode the same call does broadcast.
  S->SetUseTCP(true);
  EXPECT_TRUE(S->SeekOtherServer());
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Heard.size() == 2; }, kWaitMs));
  EXPECT_EQ(Heard[1], "@seekother");
}

TEST_F(DiscoveryTest, InFSModeTheConnectionRefusesBothOperations) {
  TKivConnection* C = NewConnection("north", FreePort());
  C->SetUseTCP(false);
  try {
    C->SeekServer();
    ADD_FAILURE() << "SeekServer ran in FS mode";
  } catch (const EKivWrongModeError& E) {
    EXPECT_EQ(E.Message(), "Cannot run \"SeekServer\" in FS mode");
  }
  try {
    C->SendNotification("hello");
    ADD_FAILURE() << "SendNotification ran in FS mode";
  } catch (const EKivWrongModeError& E) {
    EXPECT_EQ(E.Message(), "Cannot run \"SendNotification\" in FS mode.");
  }
}

}  // namespace
}  // namespace KivTrans2
