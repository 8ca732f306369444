// The connection's part in discovery: the broadcast search for servers that
// share its key, and one-way notifications.
#include <memory>
#include <string>
#include <vector>

#include "client/kiv_connection.h"
#include "discovery/datagrams.h"
#include "discovery/reply_wait.h"
#include "host/udp.h"
#include "message/kiv_errors.h"

namespace KivTrans2 {

// Blocks for at least SeekTimeout(), and for up to SeekTimeout() more after each
// datagram; on the main thread it serves Synchronize meanwhile.
std::vector<std::unique_ptr<TMachine>> TKivConnection::SeekServer() {
  if (!FUseTCP) throw EKivWrongModeError("Cannot run \"SeekServer\" in FS mode");
  if (!FComponentsCreated) CreateNetworkComponents();
  std::vector<std::unique_ptr<TMachine>> Servers;
  TUdpSession Session(*FUDPClient);
  FUDPClient->Broadcast(MakeSeekRequest(FSeekKey), FPort);
  // Only an empty receive ends the search: the window after the last datagram.
  for (;;) {
    const std::string Text = ReceiveReply(*FUDPClient, FSeekTimeout);
    if (std::optional<TMachine> Server = ParseServerFoundReply(Text, FSeekKey))
      Servers.push_back(std::make_unique<TMachine>(std::move(*Server)));
    if (Text.empty()) break;
  }
  return Servers;
}

void TKivConnection::SendNotification(const std::string& Data) {
  if (!FUseTCP) throw EKivWrongModeError("Cannot run \"SendNotification\" in FS mode.");
  if (!FComponentsCreated) CreateNetworkComponents();
  TUdpSession Session(*FUDPClient);
  FUDPClient->SetHost(FHost);
  FUDPClient->SetPort(FPort);
  FUDPClient->Send(MakeNotification(Data));
}

}  // namespace KivTrans2
