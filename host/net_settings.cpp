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
std::atomic<size_t> GMaxRequestEntries{kDefaultMaxRequestEntries};
std::atomic<size_t> GMaxRequestBytes{kDefaultMaxRequestBytes};
std::atomic<size_t> GMaxRequestFileSize{kDefaultMaxRequestFileSize};
std::atomic<size_t> GMaxConnections{kDefaultMaxConnections};
std::atomic<size_t> GMaxAnswerEntries{kDefaultMaxAnswerEntries};
std::atomic<size_t> GMaxAnswerBytes{kDefaultMaxAnswerBytes};

void SetLimit(std::atomic<size_t>& Limit, size_t Value, const char* What) {
  if (Value == 0) throw Exception(std::string("The ") + What + " must be at least 1");
  Limit = Value;
}

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

void SetMaxRequestEntries(size_t Entries) {
  SetLimit(GMaxRequestEntries, Entries, "maximum number of request entries");
}
size_t MaxRequestEntries() {
  return GMaxRequestEntries.load();
}

void SetMaxRequestBytes(size_t Bytes) {
  SetLimit(GMaxRequestBytes, Bytes, "maximum request size");
}
size_t MaxRequestBytes() {
  return GMaxRequestBytes.load();
}

void SetMaxRequestFileSize(size_t Bytes) {
  SetLimit(GMaxRequestFileSize, Bytes, "maximum request file size");
}
size_t MaxRequestFileSize() {
  return GMaxRequestFileSize.load();
}

void SetMaxConnections(size_t Connections) {
  SetLimit(GMaxConnections, Connections, "maximum number of connections");
}
size_t MaxConnections() {
  return GMaxConnections.load();
}

void SetMaxAnswerEntries(size_t Entries) {
  SetLimit(GMaxAnswerEntries, Entries, "maximum number of answer entries");
}
size_t MaxAnswerEntries() {
  return GMaxAnswerEntries.load();
}

void SetMaxAnswerBytes(size_t Bytes) {
  SetLimit(GMaxAnswerBytes, Bytes, "maximum answer size");
}
size_t MaxAnswerBytes() {
  return GMaxAnswerBytes.load();
}

}  // namespace KivTrans2
