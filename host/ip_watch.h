// host/ip_watch.h — this machine's IPv4 addresses and host name. Public API.
//
// Every function here is thread safe and asks the system afresh on each call.
#pragma once

#include <string>
#include <vector>

#include "host/kiv_export.h"

namespace KivTrans2 {

// One IPv4 address of a network interface, addresses as dotted text.
struct KIV_API TInterfaceAddress {
  std::string Name;       // interface name, "eth0"
  std::string Address;    // "192.168.1.20"
  std::string Netmask;    // "255.255.255.0"; empty when unknown
  std::string Broadcast;  // directed broadcast address; empty when the interface has none
  bool Up = false;
  bool Loopback = false;
};

// Every IPv4 address of every interface, in the order the system lists them.
// Raises ESocketError when the system cannot list them.
KIV_API std::vector<TInterfaceAddress> LocalInterfaces();

// The address of the first interface that is up and not loopback, as text;
// "127.0.0.1" when there is none (or the list cannot be read).
KIV_API std::string LocalIP();

// The machine's host name; empty when the system cannot tell.
KIV_API std::string GetLocalName();

// The local-address lookup as an object, for components that own one.
class KIV_API TIPWatch {
 public:
  std::string LocalIP() const { return KivTrans2::LocalIP(); }
  std::string GetLocalName() const { return KivTrans2::GetLocalName(); }
};

}  // namespace KivTrans2
