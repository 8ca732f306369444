#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "host/net_errors.h"
#include "host/net_settings.h"
#include "host/tcp_client.h"
#include "host/tcp_server.h"
#include "host/thread.h"
#include "net_test_support.h"

namespace KivTrans2 {
namespace {

using Testing::kWaitMs;
using Testing::TLog;
using Testing::TRawListener;
using Testing::TRawSocket;
using Texts = std::vector<std::string>;

// A server on 127.0.0.1 and a port the system picks, a client aimed at it, and
// the connections the server accepted.
class TcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server.OnConnect = [this](const TTcpConnectionRef& C) {
      std::lock_guard<std::mutex> Lock(FLock);
      FConnections.push_back(C);
    };
  }
  void TearDown() override {
    Server.SetActive(false);
    SetMaxLineLength(kDefaultMaxLineLength);
  }

  void Start() {
    Server.AddBinding(0, "127.0.0.1");
    Server.SetActive(true);
    ASSERT_GT(Server.BoundPort(), 0);
    Client.SetHost("127.0.0.1");
    Client.SetPort(Server.BoundPort());
  }

  size_t ConnectionsSeen() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FConnections.size();
  }
  // The Index-th connection the server accepted, once its OnConnect has run.
  TTcpConnectionRef Connection(size_t Index = 0) {
    if (!ProcessMessagesUntil([&] { return ConnectionsSeen() > Index; }, kWaitMs)) return nullptr;
    std::lock_guard<std::mutex> Lock(FLock);
    return FConnections[Index];
  }

  TTcpServer Server;
  TTcpClient Client;
  TLog Log;

 private:
  std::mutex FLock;
  std::vector<TTcpConnectionRef> FConnections;
};

// Texts written with WriteLine (which adds CR LF) and the lines the other side
// reads from them.
const struct {
  std::string Written;
  Texts Read;
} kFramingCases[] = {
    {"plain", {"plain"}},
    {"", {""}},
    {"lf\nnext", {"lf", "next"}},    // a LF alone ends a line
    {"a\r\nb", {"a", "b"}},          // so does CR LF
    {"cr\rinside", {"cr\rinside"}},  // a lone CR stays in the line
    {"two\r", {"two\r"}},            // only the one CR before the LF goes
    {std::string("nul\0\xD7", 5), {std::string("nul\0\xD7", 5)}},  // bytes pass unchanged
};

TEST_F(TcpTest, LinesEndAtLfDropOneCrAndKeepALoneCrInBothDirections) {
  Texts Expected;
  for (const auto& C : kFramingCases) Expected.insert(Expected.end(), C.Read.begin(), C.Read.end());
  Server.OnConnect = [](const TTcpConnectionRef& C) {
    for (const auto& Case : kFramingCases) C->WriteLine(Case.Written);
    C->Flush();
  };
  Server.OnExecute = [this](const TTcpConnectionRef& C) { Log.Add(C->ReadLn()); };
  Start();
  Client.Connect();

  for (const std::string& Line : Expected) {
    EXPECT_EQ(Client.ReadLn(kWaitMs), Line);
    EXPECT_FALSE(Client.ReadLnTimedOut());
  }
  for (const auto& C : kFramingCases) Client.WriteLine(C.Written);
  Client.Flush();
  ASSERT_TRUE(Log.WaitSize(Expected.size()));
  EXPECT_EQ(Log.Items(), Expected);
}

TEST_F(TcpTest, BufferedLinesLeaveBeforeEachReadWithoutAnExplicitFlush) {
  // An echo that never flushes: its answer leaves when it reads the next line.
  Server.OnExecute = [](const TTcpConnectionRef& C) { C->WriteLine("echo " + C->ReadLn()); };
  Start();
  Client.Connect();
  for (int Round = 0; Round < 2; ++Round) {
    for (int I = 0; I < 5; ++I) Client.WriteLine("line " + std::to_string(I));
    for (int I = 0; I < 5; ++I) EXPECT_EQ(Client.ReadLn(kWaitMs), "echo line " + std::to_string(I));
  }
}

TEST_F(TcpTest, ReadTimesOutWithAFlagAndKeepsAPartialLine) {
  TRawListener Listener;
  Client.SetHost("127.0.0.1");
  Client.SetPort(Listener.Port());
  Client.Connect();
  auto Peer = Listener.Accept();
  ASSERT_TRUE(Peer);

  EXPECT_EQ(Client.ReadLn(30), "");
  EXPECT_TRUE(Client.ReadLnTimedOut());
  ASSERT_TRUE(Peer->Send("par"));
  EXPECT_EQ(Client.ReadLn(30), "");  // no LF yet
  EXPECT_TRUE(Client.ReadLnTimedOut());
  ASSERT_TRUE(Peer->Send("tial\r\nnext\n"));
  EXPECT_EQ(Client.ReadLn(kWaitMs), "partial");
  EXPECT_FALSE(Client.ReadLnTimedOut());
  EXPECT_EQ(Client.ReadLn(0), "next");  // already buffered: no wait needed
  EXPECT_FALSE(Client.ReadLnTimedOut());
}

TEST_F(TcpTest, PeerCloseRaisesAfterTheLastLineAndTheClientCanConnectAgain) {
  Server.OnConnect = [](const TTcpConnectionRef& C) {
    C->WriteLine("bye");
    C->Disconnect();  // sends what is buffered first
  };
  Start();
  int Connects = 0;
  Client.OnConnected = [&](TTcpClient* Sender) {
    EXPECT_EQ(Sender, &Client);
    ++Connects;
  };
  Client.Connect();
  EXPECT_EQ(Client.ReadLn(kWaitMs), "bye");
  EXPECT_THROW(Client.ReadLn(kWaitMs), EConnectionClosed);
  EXPECT_FALSE(Client.Connected());
  EXPECT_THROW(Client.CheckForDisconnect(), ENotConnected);
  // A connection the peer closed is not "already connected".
  Client.Connect();
  EXPECT_EQ(Client.ReadLn(kWaitMs), "bye");
  EXPECT_EQ(Connects, 2);
}

TEST_F(TcpTest, ServerRunsDisconnectAfterAFailedReadOnTheConnectionThread) {
  std::atomic<std::thread::id> ConnectThread{}, DisconnectThread{};
  Server.OnConnect = [&](const TTcpConnectionRef&) {
    ConnectThread = std::this_thread::get_id();
    Log.Add("connect");
  };
  Server.OnExecute = [&](const TTcpConnectionRef& C) { Log.Add(C->ReadLn()); };
  Server.OnDisconnect = [&](const TTcpConnectionRef& C) {
    DisconnectThread = std::this_thread::get_id();
    EXPECT_FALSE(C->Connected());
    Log.Add("disconnect");
  };
  Start();
  Client.Connect();
  Client.WriteLine("one");
  Client.WriteLine("two");
  Client.Disconnect();  // the buffered lines still go out first
  ASSERT_TRUE(Log.WaitSize(4));
  EXPECT_EQ(Log.Items(), (Texts{"connect", "one", "two", "disconnect"}));
  EXPECT_EQ(ConnectThread.load(), DisconnectThread.load());
  EXPECT_NE(ConnectThread.load(), std::this_thread::get_id());
}

TEST_F(TcpTest, ConnectErrorsAreDistinctAndNotificationsRunOnTheCallingThread) {
  Start();
  std::thread::id DisconnectedOn;
  Client.OnDisconnected = [&](TTcpClient*) { DisconnectedOn = std::this_thread::get_id(); };
  Client.Connect();
  EXPECT_TRUE(Client.Connected());
  EXPECT_NO_THROW(Client.CheckForDisconnect());
  EXPECT_THROW(Client.Connect(), ETcpAlreadyConnected);

  std::thread Other([&] { Client.Disconnect(); });
  Other.join();
  EXPECT_NE(DisconnectedOn, std::thread::id());
  EXPECT_NE(DisconnectedOn, std::this_thread::get_id());
  EXPECT_FALSE(Client.Connected());
  EXPECT_THROW(Client.WriteLine("x"), ENotConnected);
  EXPECT_THROW(Client.ReadLn(0), ENotConnected);

  DisconnectedOn = {};
  Client.Disconnect();  // not connected: no notification
  EXPECT_EQ(DisconnectedOn, std::thread::id());

  int FreePort = Server.BoundPort();
  Server.SetActive(false);  // nothing listens there now
  Client.SetPort(FreePort);
  EXPECT_THROW(Client.Connect(), ESocketError);
  Client.SetHost("localhost");  // resolved from the hosts file, not the network
  EXPECT_THROW(Client.Connect(), ESocketError);
}

TEST_F(TcpTest, DisconnectFromAnotherThreadWakesABlockedRead) {
  Start();
  Client.Connect();
  std::atomic<bool> Reading{false}, Raised{false};
  std::thread Reader([&] {
    Reading = true;
    try {
      Client.ReadLn(-1);
    } catch (const EConnectionClosed&) {
      Raised = true;  // woken out of the read
    } catch (const ENotConnected&) {
      Raised = true;  // the disconnect came before the read began
    }
  });
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Reading.load(); }, kWaitMs));
  Client.Disconnect();
  EXPECT_TRUE(ProcessMessagesUntil([&] { return Raised.load(); }, kWaitMs));
  Reader.join();
}

TEST_F(TcpTest, ALineLongerThanTheLimitRaisesAndClosesTheConnection) {
  SetMaxLineLength(16);
  Server.OnConnect = [](const TTcpConnectionRef& C) {
    C->WriteLine(std::string(16, 'a'));  // at the limit
    C->WriteLine(std::string(17, 'b'));  // past it
    C->Flush();
  };
  Server.OnExecute = [&](const TTcpConnectionRef& C) {
    try {
      C->ReadLn();
    } catch (const ELineTooLong&) {
      Log.Add("too long");
      throw;
    }
  };
  Start();
  Client.Connect();
  EXPECT_EQ(Client.ReadLn(kWaitMs), std::string(16, 'a'));
  EXPECT_THROW(Client.ReadLn(kWaitMs), ELineTooLong);
  EXPECT_FALSE(Client.Connected());

  // A peer that never sends a LF: the server stops buffering and closes.
  auto Peer = TRawSocket::ConnectTo(Server.BoundPort());
  ASSERT_TRUE(Peer);
  ASSERT_TRUE(Peer->Send(std::string(40, 'x')));
  EXPECT_TRUE(Peer->WaitForEnd(kWaitMs));
  ASSERT_TRUE(Log.WaitSize(1));
  EXPECT_EQ(Log.Items(), Texts{"too long"});
}

TEST_F(TcpTest, ABusyPortRaisesCouldNotBindAndARestartedServerBindsAgain) {
  Server.OnExecute = [](const TTcpConnectionRef& C) { C->WriteLine(C->ReadLn()); };
  Start();
  int Port = Server.BoundPort();
  TTcpServer Second;
  Second.AddBinding(Port, "127.0.0.1");
  EXPECT_THROW(Second.SetActive(true), ECouldNotBind);
  EXPECT_FALSE(Second.Active());
  Second.ClearBindings();
  Second.SetDefaultPort(Port);  // every interface, same port
  EXPECT_THROW(Second.SetActive(true), ECouldNotBind);

  // The server closes an open connection itself, leaving TIME_WAIT behind.
  Client.Connect();
  Client.WriteLine("ping");
  EXPECT_EQ(Client.ReadLn(kWaitMs), "ping");
  Server.SetActive(false);
  EXPECT_THROW(Client.ReadLn(kWaitMs), EConnectionClosed);
  Server.ClearBindings();
  Server.AddBinding(Port, "127.0.0.1");
  Server.SetActive(true);
  EXPECT_EQ(Server.BoundPort(), Port);
  Client.Connect();
  Client.WriteLine("again");
  EXPECT_EQ(Client.ReadLn(kWaitMs), "again");
}

TEST_F(TcpTest, ShutdownWithFiftyIdleConnectionsEndsEveryThreadPromptly) {
  std::atomic<int> Disconnects{0};
  Server.OnExecute = [](const TTcpConnectionRef& C) { C->ReadLn(); };
  Server.OnDisconnect = [&](const TTcpConnectionRef&) { ++Disconnects; };
  Start();
  std::vector<std::unique_ptr<TTcpClient>> Clients;
  for (int I = 0; I < 50; ++I) {
    Clients.push_back(std::make_unique<TTcpClient>());
    Clients.back()->SetHost("127.0.0.1");
    Clients.back()->SetPort(Server.BoundPort());
    Clients.back()->Connect();
  }
  ASSERT_TRUE(Connection(49));
  EXPECT_EQ(Server.ConnectionCount(), 50);

  auto Begin = std::chrono::steady_clock::now();
  Server.SetActive(false);
  auto Took = std::chrono::steady_clock::now() - Begin;
  EXPECT_LT(Took, std::chrono::seconds(5));  // a bound against hanging, not a measurement
  EXPECT_EQ(Disconnects.load(), 50);
  EXPECT_EQ(Server.ConnectionCount(), 0);
  for (auto& C : Clients) EXPECT_THROW(C->ReadLn(kWaitMs), EConnectionClosed);
}

TEST_F(TcpTest, DeactivatingOnTheMainThreadServesAHandlerWaitingInSynchronize) {
  std::atomic<bool> RanOnMain{false};
  Server.OnExecute = [&](const TTcpConnectionRef& C) {
    C->ReadLn();
    Synchronize([&] { RanOnMain = IsMainThread(); });
  };
  Start();
  Client.Connect();
  CheckSynchronize(0);  // nothing stale on the main thread's wake descriptor
  Client.WriteLine("go");
  Client.Flush();
  // The connection thread now waits for the main thread, which does not pump.
  ASSERT_TRUE(Testing::WaitForQueuedSynchronize());
  Server.SetActive(false);
  EXPECT_TRUE(RanOnMain);
  EXPECT_EQ(Server.ConnectionCount(), 0);
}

TEST_F(TcpTest, AHandlerExceptionClosesTheConnectionAndTheObjectOutlivesItsThread) {
  struct TRequestLike {
    TTcpConnectionRef Peer;  // refers back to the connection: a cycle until cleared
  };
  std::weak_ptr<TRequestLike> Request;
  std::mutex KeepLock;
  TTcpConnectionRef Kept;  // the library's reference beyond the thread
  std::atomic<bool> Disconnected{false};
  Server.OnConnect = [&](const TTcpConnectionRef& C) {
    auto R = std::make_shared<TRequestLike>(TRequestLike{C});
    Request = R;
    C->SetData(R);
    std::lock_guard<std::mutex> Lock(KeepLock);
    Kept = C;
  };
  Server.OnExecute = [](const TTcpConnectionRef& C) {
    if (C->ReadLn() == "fail") throw std::runtime_error("handler failed");
  };
  Server.OnDisconnect = [&](const TTcpConnectionRef& C) {
    EXPECT_TRUE(C->Data());  // still there for the library's last look
    Disconnected = true;
  };
  Start();
  Client.Connect();
  Client.WriteLine("ok");
  Client.WriteLine("fail");
  EXPECT_THROW(Client.ReadLn(kWaitMs), EConnectionClosed);
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Disconnected.load(); }, kWaitMs));
  ASSERT_TRUE(ProcessMessagesUntil([&] { return Server.ConnectionCount() == 0; }, kWaitMs));

  TTcpConnectionRef C;
  {
    std::lock_guard<std::mutex> Lock(KeepLock);
    C = Kept;
  }
  EXPECT_TRUE(Request.expired());  // the slot was cleared, the cycle broken
  EXPECT_EQ(C->PeerIP(), "127.0.0.1");
  EXPECT_GT(C->PeerPort(), 0);
  EXPECT_FALSE(C->Connected());
  EXPECT_THROW(C->WriteLine("late answer"), EConnectionClosed);
  EXPECT_THROW(C->Flush(), EConnectionClosed);
  C->Disconnect();  // harmless once closed
}

TEST_F(TcpTest, WritingToAClosedPeerRaisesInsteadOfKillingTheProcess) {
  Server.OnConnect = [](const TTcpConnectionRef& C) { C->Disconnect(); };
  Start();
  Client.Connect();
  // The first send may still be accepted; the reset it provokes fails a later one.
  bool Raised = ProcessMessagesUntil(
      [&] {
        try {
          Client.WriteLine(std::string(1000, 'x'));
          Client.Flush();
          return false;
        } catch (const EConnectionClosed&) {
          return true;
        }
      },
      kWaitMs);
  EXPECT_TRUE(Raised);
}

TEST_F(TcpTest, DeactivatingFromAConnectionThreadIsRefusedNotADeadlock) {
  Server.OnExecute = [&](const TTcpConnectionRef& C) {
    C->ReadLn();
    try {
      Server.SetActive(false);
    } catch (const Exception&) {
      Log.Add("refused");
    }
  };
  Start();
  Client.Connect();
  Client.WriteLine("x");
  Client.Flush();
  ASSERT_TRUE(Log.WaitSize(1));
  EXPECT_TRUE(Server.Active());
}

}  // namespace
}  // namespace KivTrans2
