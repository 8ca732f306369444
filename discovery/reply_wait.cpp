// Waiting for the replies of a search.
#include "discovery/reply_wait.h"

#include <algorithm>
#include <chrono>

#include "host/thread.h"
#include "host/udp.h"

namespace KivTrans2 {

namespace {

// How long the main thread waits for queued calls before it looks at the
// socket again.
constexpr int kServeSliceMs = 5;

}  // namespace

std::string ReceiveReply(TUdpClient& Client, int TimeoutMs) {
  if (!IsMainThread()) return Client.ReceiveString(TimeoutMs);
  using Clock = std::chrono::steady_clock;
  const auto Deadline = Clock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
  for (;;) {
    TUdpDatagram Datagram = Client.Receive(0);
    if (Datagram.Received) return std::move(Datagram.Data);
    const auto Now = Clock::now();
    if (Now >= Deadline) return "";
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Now).count();
    CheckSynchronize(static_cast<int>(std::min<long long>(Left, kServeSliceMs)));
  }
}

TUdpSession::TUdpSession(TUdpClient& Client) : FClient(Client), FWasActive(Client.Active()) {
  FClient.SetActive(true);
}

TUdpSession::~TUdpSession() {
  if (!FWasActive) FClient.SetActive(false);
}

}  // namespace KivTrans2
