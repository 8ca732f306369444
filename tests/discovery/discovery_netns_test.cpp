// Discovery between hosts: network namespaces joined by a bridge stand in for
// machines on one network segment, each with an address of its own. Needs root
// and iproute2; skips elsewhere.
//
// The test network is 10.213.0.0/24 on a bridge inside a namespace of its own;
// it exists only inside the namespaces this test creates and removes, and the
// broadcasts of its servers and clients go to its directed broadcast address.
// Nothing is sent outside those namespaces.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/kiv_connection.h"
#include "discovery/datagrams.h"
#include "host/component.h"
#include "host/ip_watch.h"
#include "host/net_settings.h"
#include "host/thread.h"
#include "server/kiv_server.h"
#include "support/child_process.h"

namespace KivTrans2 {
namespace {

using Testing::TChildProcess;
using Texts = std::vector<std::string>;

constexpr char kSubnet[] = "10.213.0.";
constexpr char kBroadcast[] = "10.213.0.255";

// Runs a shell command quietly; true when it succeeded.
bool RunQuietly(const std::string& Command) {
  return std::system((Command + " >/dev/null 2>&1").c_str()) == 0;
}

// A bridge in a namespace of its own and Hosts namespaces, each joined to it by
// a veth pair, host I with the address 10.213.0.I/24. Everything goes with the
// namespaces when the lab is destroyed.
class TNetnsLab {
 public:
  TNetnsLab() : FPrefix("kivdisc" + std::to_string(::getpid()) + "-") {}
  ~TNetnsLab() {
    for (auto It = FCreated.rbegin(); It != FCreated.rend(); ++It)
      RunQuietly("ip netns del " + *It);
  }
  TNetnsLab(const TNetnsLab&) = delete;
  TNetnsLab& operator=(const TNetnsLab&) = delete;

  // Empty on success, else the command that failed.
  std::string Build(int Hosts) {
    const std::string Switch = FPrefix + "sw";
    if (!AddNamespace(Switch)) return "ip netns add " + Switch;
    for (const std::string& C :
         {"ip -n " + Switch + " link add br0 type bridge", "ip -n " + Switch + " link set br0 up"})
      if (!RunQuietly(C)) return C;
    for (int I = 1; I <= Hosts; ++I) {
      const std::string Ns = Host(I), Port = "p" + std::to_string(I);
      if (!AddNamespace(Ns)) return "ip netns add " + Ns;
      for (const std::string& C :
           {"ip -n " + Ns + " link set lo up",
            "ip -n " + Ns + " link add eth0 type veth peer name " + Port + " netns " + Switch,
            "ip -n " + Switch + " link set " + Port + " master br0",
            "ip -n " + Switch + " link set " + Port + " up",
            "ip -n " + Ns + " addr add " + Address(I) + "/24 broadcast + dev eth0",
            "ip -n " + Ns + " link set eth0 up"})
        if (!RunQuietly(C)) return C;
    }
    return "";
  }

  std::string Host(int I) const { return FPrefix + "h" + std::to_string(I); }
  static std::string Address(int I) { return kSubnet + std::to_string(I); }

 private:
  bool AddNamespace(const std::string& Name) {
    if (!RunQuietly("ip netns add " + Name)) return false;
    FCreated.push_back(Name);
    return true;
  }

  const std::string FPrefix;
  Texts FCreated;
};

// --- The child processes, one per test host ---------------------------------------

// Moves this (still single-threaded) process into the named namespace, before
// it opens any socket, and points its broadcasts at the test network.
bool EnterHost(const std::string& Namespace) {
  int Fd = ::open(("/run/netns/" + Namespace).c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return false;
  bool Ok = ::setns(Fd, CLONE_NEWNET) == 0;
  ::close(Fd);
  if (Ok) SetBroadcastTarget(kBroadcast);
  return Ok;
}

void Say(const std::string& Line) {
  std::printf("%s\n", Line.c_str());
  std::fflush(stdout);
}

std::atomic<bool> GStop{false};
extern "C" void OnStopSignal(int) {
  GStop = true;
}

// Args: namespace, port, key, reply window. Prints "other KEY IP NAME FLAG" for
// each server its start heard of (FLAG: the automatic give-up decision), then
// "started" or "gaveup", and serves until SIGTERM.
KIV_TEST_CHILD(DiscoveryServer) {
  if (Args.size() != 4 || !EnterHost(Args[0])) return 2;
  std::signal(SIGTERM, OnStopSignal);
  TOwnerComponent Form;
  auto* S = new TKivServer(&Form);
  S->SetPort(std::stoi(Args[1]));
  S->SetSeekKey(Args[2]);
  S->SetSeekOtherTimeout(std::stoi(Args[3]));
  S->OnOtherServerFound = [](TKivServer*, const std::vector<std::unique_ptr<TMachine>>& Others,
                             bool& GiveUpFlag) {
    for (const auto& M : Others)
      Say("other " + M->SeekKey + " " + M->IP + " " + M->Name + " " + (GiveUpFlag ? "1" : "0"));
  };
  try {
    Say(S->Activate() ? "started" : "gaveup");
  } catch (const std::exception& E) {
    Say(std::string("error ") + E.what());
    return 1;
  }
  while (!GStop) CheckSynchronize(20);
  S->DeActivate();
  return 0;
}

// Args: namespace, port, key, reply window. Prints "found IP NAME KEY" for each
// server found, then "done".
KIV_TEST_CHILD(DiscoverySeek) {
  if (Args.size() != 4 || !EnterHost(Args[0])) return 2;
  TOwnerComponent Form;
  auto* C = new TKivConnection(&Form);
  C->SetPort(std::stoi(Args[1]));
  C->SetSeekKey(Args[2]);
  C->SetSeekTimeout(std::stoi(Args[3]));
  try {
    for (const auto& M : C->SeekServer()) Say("found " + M->IP + " " + M->Name + " " + M->SeekKey);
  } catch (const std::exception& E) {
    Say(std::string("error ") + E.what());
    return 1;
  }
  Say("done");
  return 0;
}

// Lines of Child up to (not including) Last, sorted: the order of replies from
// several hosts is the order of arrival.
Texts LinesUntil(TChildProcess& Child, const std::string& Last) {
  Texts Lines;
  for (std::string L = Child.ReadLine(); L != Last; L = Child.ReadLine()) {
    if (L.empty() || L.rfind("error", 0) == 0) {
      ADD_FAILURE() << "expected '" << Last << "', got '" << L << "'";
      break;
    }
    Lines.push_back(L);
  }
  std::sort(Lines.begin(), Lines.end());
  return Lines;
}

TEST(DiscoveryNetnsTest, AClientFindsTheServersWithItsKeyOnOtherHosts) {
  if (::geteuid() != 0) GTEST_SKIP() << "building network namespaces needs root";
  if (!RunQuietly("ip -V")) GTEST_SKIP() << "building network namespaces needs iproute2 (ip)";
  TNetnsLab Lab;
  if (std::string Failed = Lab.Build(4); !Failed.empty())
    GTEST_SKIP() << "cannot build the test network: '" << Failed << "' failed";

  // Hosts 1 to 3 run a server each on the same port; host 4 searches.
  const std::string Port = "2000", Window = "400";
  const std::string Name = GetLocalName();  // the namespaces share the host name
  const std::string H1 = TNetnsLab::Address(1), H2 = TNetnsLab::Address(2);

  TChildProcess North1("DiscoveryServer", {Lab.Host(1), Port, "north", Window});
  EXPECT_EQ(LinesUntil(North1, "started"), Texts{});

  // The same key on another host is reported but does not stop the start.
  TChildProcess North2("DiscoveryServer", {Lab.Host(2), Port, "north", Window});
  EXPECT_EQ(LinesUntil(North2, "started"), Texts{"other north " + H1 + " " + Name + " 0"});

  TChildProcess South("DiscoveryServer", {Lab.Host(3), Port, "south", Window});
  EXPECT_EQ(LinesUntil(South, "started"), (Texts{"other north " + H1 + " " + Name + " 0",
                                                 "other north " + H2 + " " + Name + " 0"}));

  TChildProcess Seeker("DiscoverySeek", {Lab.Host(4), Port, "north", Window});
  EXPECT_EQ(LinesUntil(Seeker, "done"),
            (Texts{"found " + H1 + " " + Name + " ", "found " + H2 + " " + Name + " "}));
  EXPECT_EQ(Seeker.Wait(), 0);

  for (TChildProcess* Server : {&North1, &North2, &South}) {
    Server->Signal(SIGTERM);
    EXPECT_EQ(Server->Wait(), 0);
  }
}

}  // namespace
}  // namespace KivTrans2
