#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "host/net_errors.h"
#include "host/thread.h"
#include "host/udp.h"
#include "net_test_support.h"

namespace KivTrans2 {
namespace {

using Testing::kWaitMs;
using Texts = std::vector<std::string>;

// A UDP server on a port the system picks and a client; every datagram stays
// on loopback (broadcasts go to 127.255.255.255, set by the tests' main).
class UdpTest : public ::testing::Test {
 protected:
  void Start() {
    Server.SetBroadcastEnabled(true);
    Server.SetActive(true);
    ASSERT_GT(Server.BoundPort(), 0);
    Client.SetHost("127.0.0.1");
    Client.SetPort(Server.BoundPort());
  }
  // Pumps the main thread until the handler has seen N datagrams.
  bool WaitReceived(size_t N) {
    return ProcessMessagesUntil([&] { return Received.size() >= N; }, kWaitMs);
  }

  TUdpServer Server;
  TUdpClient Client;
  Texts Received;  // written by the handler, on the main thread only
};

TEST_F(UdpTest, ABroadcastReachesTheServerAndTheReplyComesFromItsPort) {
  std::string PeerIP;
  int PeerPort = 0;
  Server.OnUDPRead = [&](TUdpServer* Sender, const std::string& Data, TUdpBinding& Binding) {
    EXPECT_EQ(Sender, &Server);
    Received.push_back(Data);
    PeerIP = Binding.PeerIP();
    PeerPort = Binding.PeerPort();
    Binding.SendTo(Binding.PeerIP(), Binding.PeerPort(), "reply to " + Data);
  };
  Start();
  Client.SetBroadcastEnabled(true);
  Client.Broadcast("@seekother", Server.BoundPort());
  ASSERT_TRUE(WaitReceived(1));
  EXPECT_EQ(Received, Texts{"@seekother"});
  EXPECT_EQ(PeerIP, "127.0.0.1");

  TUdpDatagram Reply = Client.Receive(kWaitMs);
  ASSERT_TRUE(Reply.Received);
  EXPECT_EQ(Reply.Data, "reply to @seekother");
  EXPECT_EQ(Reply.PeerPort, Server.BoundPort());  // answered from the server's own socket
  EXPECT_EQ(Reply.PeerIP, "127.0.0.1");
  EXPECT_GT(PeerPort, 0);
}

TEST_F(UdpTest, DatagramsArriveOnTheMainThreadOneAtATimeInOrder) {
  int Inside = 0, MaxInside = 0;
  bool AllOnMain = true;
  Server.OnUDPRead = [&](TUdpServer*, const std::string& Data, TUdpBinding&) {
    ++Inside;
    MaxInside = std::max(MaxInside, Inside);
    AllOnMain = AllOnMain && IsMainThread();
    Received.push_back(Data);
    --Inside;
  };
  Start();
  Texts Sent;
  for (int I = 0; I < 20; ++I) Sent.push_back("@notify " + std::to_string(I));
  Sent.push_back(std::string("\0\xD7 bytes\r\n", 10));  // any bytes, nothing added
  for (const std::string& Text : Sent) Client.Send(Text);
  ASSERT_TRUE(WaitReceived(Sent.size()));
  EXPECT_EQ(Received, Sent);
  EXPECT_TRUE(AllOnMain);
  EXPECT_EQ(MaxInside, 1);
}

TEST_F(UdpTest, AHandlerExceptionIsContainedAndTheServerKeepsReceiving) {
  Server.OnUDPRead = [&](TUdpServer*, const std::string& Data, TUdpBinding&) {
    Received.push_back(Data);
    if (Data == "bad") throw std::runtime_error("handler failed");
  };
  Start();
  Client.Send("bad");
  ASSERT_TRUE(WaitReceived(1));
  Client.Send("good");
  ASSERT_TRUE(WaitReceived(2));
  EXPECT_EQ(Received, (Texts{"bad", "good"}));
  EXPECT_TRUE(Server.Active());
}

TEST_F(UdpTest, ABusyPortRaisesCouldNotBind) {
  Start();
  TUdpServer Second;
  Second.SetDefaultPort(Server.BoundPort());
  EXPECT_THROW(Second.SetActive(true), ECouldNotBind);
  EXPECT_FALSE(Second.Active());
  // Once the port is free again it binds.
  int Port = Server.BoundPort();
  Server.SetActive(false);
  Second.SetActive(true);
  EXPECT_EQ(Second.BoundPort(), Port);
}

TEST_F(UdpTest, DeactivatingWhileTheListenerWaitsOnTheMainThreadDropsTheDatagram) {
  Server.OnUDPRead = [&](TUdpServer*, const std::string& Data, TUdpBinding&) {
    Received.push_back(Data);
  };
  Start();
  CheckSynchronize(0);  // nothing stale on the main thread's wake descriptor
  Client.Send("late");
  // The listener now waits inside Synchronize for a main thread that does not pump.
  ASSERT_TRUE(Testing::WaitForQueuedSynchronize());
  Server.SetActive(false);
  EXPECT_FALSE(Server.Active());
  EXPECT_TRUE(Received.empty());  // no event after deactivation began
  CheckSynchronize(0);
  EXPECT_TRUE(Received.empty());
}

TEST_F(UdpTest, DestroyingWhileTheListenerWaitsOnTheMainThreadReturns) {
  auto Owned = std::make_unique<TUdpServer>();
  bool Called = false;
  Owned->OnUDPRead = [&](TUdpServer*, const std::string&, TUdpBinding&) { Called = true; };
  Owned->SetActive(true);
  Client.SetHost("127.0.0.1");
  Client.SetPort(Owned->BoundPort());
  CheckSynchronize(0);
  Client.Send("x");
  ASSERT_TRUE(Testing::WaitForQueuedSynchronize());
  Owned.reset();
  CheckSynchronize(0);
  EXPECT_FALSE(Called);
}

TEST_F(UdpTest, DeactivatingFromItsOwnHandlerIsRefusedNotADeadlock) {
  bool Refused = false;
  Server.OnUDPRead = [&](TUdpServer* Sender, const std::string& Data, TUdpBinding&) {
    Received.push_back(Data);
    try {
      Sender->SetActive(false);
    } catch (const Exception&) {
      Refused = true;
    }
  };
  Start();
  Client.Send("x");
  ASSERT_TRUE(WaitReceived(1));
  EXPECT_TRUE(Refused);
  EXPECT_TRUE(Server.Active());
}

TEST_F(UdpTest, ReceiveGivesTheEmptyTextWhenNothingArrives) {
  Client.SetActive(true);
  EXPECT_TRUE(Client.Active());
  EXPECT_EQ(Client.ReceiveString(30), "");
  EXPECT_FALSE(Client.Receive(0).Received);
  Client.SetActive(false);
  EXPECT_FALSE(Client.Active());
}

TEST_F(UdpTest, BroadcastNeedsBroadcastEnabled) {
  Start();
  Client.SetBroadcastEnabled(false);
  EXPECT_THROW(Client.Broadcast("@seek x", Server.BoundPort()), ESocketError);
  Client.SetBroadcastEnabled(true);  // applies to the open socket at once
  EXPECT_NO_THROW(Client.Broadcast("@seek x", Server.BoundPort()));
}

}  // namespace
}  // namespace KivTrans2
