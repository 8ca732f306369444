// This machine's IPv4 addresses and host name.
#include "host/ip_watch.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "host/net_errors.h"

namespace KivTrans2 {
namespace {

std::string AddressText(const sockaddr* Address) {
  if (Address == nullptr || Address->sa_family != AF_INET) return "";
  char Text[INET_ADDRSTRLEN] = {};
  const auto* In = reinterpret_cast<const sockaddr_in*>(Address);
  if (::inet_ntop(AF_INET, &In->sin_addr, Text, sizeof Text) == nullptr) return "";
  return Text;
}

}  // namespace

std::vector<TInterfaceAddress> LocalInterfaces() {
  ifaddrs* List = nullptr;
  if (::getifaddrs(&List) != 0)
    throw ESocketError(std::string("Could not list the network interfaces: ") +
                       std::strerror(errno));
  std::vector<TInterfaceAddress> Result;
  for (ifaddrs* I = List; I != nullptr; I = I->ifa_next) {
    if (I->ifa_addr == nullptr || I->ifa_addr->sa_family != AF_INET) continue;
    TInterfaceAddress Entry;
    Entry.Name = I->ifa_name != nullptr ? I->ifa_name : "";
    Entry.Address = AddressText(I->ifa_addr);
    Entry.Netmask = AddressText(I->ifa_netmask);
    if ((I->ifa_flags & IFF_BROADCAST) != 0) Entry.Broadcast = AddressText(I->ifa_broadaddr);
    Entry.Up = (I->ifa_flags & IFF_UP) != 0;
    Entry.Loopback = (I->ifa_flags & IFF_LOOPBACK) != 0;
    Result.push_back(Entry);
  }
  ::freeifaddrs(List);
  return Result;
}

std::string LocalIP() {
  try {
    for (const TInterfaceAddress& I : LocalInterfaces())
      if (I.Up && !I.Loopback && !I.Address.empty()) return I.Address;
  } catch (const ESocketError&) {
    // No list: fall back to loopback like a machine without a network.
  }
  return "127.0.0.1";
}

std::string GetLocalName() {
  char Name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(Name, sizeof Name - 1) != 0) return "";
  return Name;
}

}  // namespace KivTrans2
