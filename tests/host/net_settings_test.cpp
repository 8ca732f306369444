#include "host/net_settings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>

#include "host/exceptions.h"
#include "host/ip_watch.h"

namespace KivTrans2 {
namespace {

using Texts = std::vector<std::string>;

TInterfaceAddress Iface(const std::string& Name, const std::string& Address,
                        const std::string& Broadcast, bool Up = true, bool Loopback = false) {
  TInterfaceAddress I;
  I.Name = Name;
  I.Address = Address;
  I.Netmask = "255.255.255.0";
  I.Broadcast = Broadcast;
  I.Up = Up;
  I.Loopback = Loopback;
  return I;
}

TEST(DefaultBroadcastTargetsTest, OneDatagramPerUpInterfaceWithABroadcastAddress) {
  const TInterfaceAddress Lo = Iface("lo", "127.0.0.1", "", true, true);
  const TInterfaceAddress Eth0 = Iface("eth0", "192.168.1.20", "192.168.1.255");
  const TInterfaceAddress Eth1 = Iface("eth1", "10.0.0.7", "10.0.0.255");
  const TInterfaceAddress Down = Iface("eth2", "172.16.0.3", "172.16.0.255", false);
  const TInterfaceAddress Alias = Iface("eth0:1", "192.168.1.21", "192.168.1.255");
  const TInterfaceAddress PointToPoint = Iface("tun0", "10.8.0.2", "");
  struct {
    std::vector<TInterfaceAddress> Interfaces;
    Texts Expected;
  } Cases[] = {
      {{}, {"255.255.255.255"}},
      {{Lo}, {"255.255.255.255"}},
      {{Lo, PointToPoint}, {"255.255.255.255"}},
      {{Lo, Eth0}, {"192.168.1.255"}},
      {{Lo, Eth0, Eth1}, {"192.168.1.255", "10.0.0.255"}},  // multi-homed: each network
      {{Eth1, Down, Eth0}, {"10.0.0.255", "192.168.1.255"}},
      {{Eth0, Alias}, {"192.168.1.255"}},  // one network, one datagram
      {{Down}, {"255.255.255.255"}},
  };
  for (const auto& C : Cases) {
    Texts Names;
    for (const auto& I : C.Interfaces) Names.push_back(I.Name);
    EXPECT_EQ(DefaultBroadcastTargets(C.Interfaces), C.Expected) << ::testing::PrintToString(Names);
  }
}

TEST(BroadcastTargetTest, TheTestsSendOnlyToLoopbackAndTheSettingIsChecked) {
  // Set once by the tests' main; every broadcast of the suite goes here.
  EXPECT_EQ(BroadcastTargets(), Texts{"127.255.255.255"});
  EXPECT_THROW(SetBroadcastTarget("not an address"), Exception);
  EXPECT_THROW(SetBroadcastTarget("300.1.1.1"), Exception);
  EXPECT_EQ(BroadcastTarget(), "127.255.255.255");  // a refused value changes nothing
  SetBroadcastTarget("127.0.0.255");
  EXPECT_EQ(BroadcastTargets(), Texts{"127.0.0.255"});
  SetBroadcastTarget("127.255.255.255");
}

TEST(MaxLineLengthTest, DefaultsToOneMebibyteAndRefusesZero) {
  EXPECT_EQ(MaxLineLength(), 1024u * 1024u);
  EXPECT_THROW(SetMaxLineLength(0), Exception);
  EXPECT_EQ(MaxLineLength(), 1024u * 1024u);
}

TEST(IPWatchTest, LocalIPIsTheFirstUpNonLoopbackAddressOrLoopback) {
  std::vector<TInterfaceAddress> Interfaces = LocalInterfaces();
  auto First = std::find_if(Interfaces.begin(), Interfaces.end(),
                            [](const TInterfaceAddress& I) { return I.Up && !I.Loopback; });
  std::string Expected = First == Interfaces.end() ? "127.0.0.1" : First->Address;
  EXPECT_EQ(LocalIP(), Expected);
  EXPECT_EQ(TIPWatch().LocalIP(), Expected);
  in_addr Parsed;
  EXPECT_EQ(::inet_pton(AF_INET, LocalIP().c_str(), &Parsed), 1);
  EXPECT_FALSE(GetLocalName().empty());
  EXPECT_TRUE(std::any_of(Interfaces.begin(), Interfaces.end(),
                          [](const TInterfaceAddress& I) { return I.Loopback; }));
}

}  // namespace
}  // namespace KivTrans2
