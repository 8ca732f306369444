// Process-wide settings of the network layer.
#include "host/net_settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "host/exceptions.h"

namespace KivTrans2 {
namespace {

std::mutex GSettingsLock;
std::string GBroadcastTarget;  // GUARDED_BY(GSettingsLock)
std::atomic<size_t> GMaxLineLength{kDefaultMaxLineLength};

bool IsIPv4Text(const std::string& Text) {
  in_addr Address;
  return ::inet_pton(AF_INET, Text.c_str(), &Address) == 1;
}

}  // namespace

void SetBroadcastTarget(const std::string& Target) {
  if (!Target.empty() && !IsIPv4Text(Target))
    throw Exception("Broadcast target '" + Target + "' is not an IPv4 address");
  std::lock_guard<std::mutex> Lock(GSettingsLock);
  GBroadcastTarget = Target;
}

std::string BroadcastTarget() {
  std::lock_guard<std::mutex> Lock(GSettingsLock);
  return GBroadcastTarget;
}

std::vector<std::string> BroadcastTargets() {
  std::string Target = BroadcastTarget();
  if (!Target.empty()) return {Target};
  std::vector<TInterfaceAddress> Interfaces;
  try {
    Interfaces = LocalInterfaces();
  } catch (const Exception&) {
    // No interface list: the last resort below.
  }
  return DefaultBroadcastTargets(Interfaces);
}

std::vector<std::string> DefaultBroadcastTargets(const std::vector<TInterfaceAddress>& Interfaces) {
  std::vector<std::string> Targets;
  for (const TInterfaceAddress& I : Interfaces) {
    if (!I.Up || I.Broadcast.empty() || !IsIPv4Text(I.Broadcast)) continue;
    if (std::find(Targets.begin(), Targets.end(), I.Broadcast) == Targets.end())
      Targets.push_back(I.Broadcast);
  }
  if (Targets.empty()) Targets.push_back("255.255.255.255");
  return Targets;
}

void SetMaxLineLength(size_t Bytes) {
  if (Bytes == 0) throw Exception("The maximum line length must be at least 1");
  GMaxLineLength = Bytes;
}

size_t MaxLineLength() {
  return GMaxLineLength.load();
}

}  // namespace KivTrans2
