// The server's part in discovery: the UDP responder, which answers searches and
// hands notifications to the application, and the duplicate-server check that
// Activate runs before it binds its ports.
#include <memory>
#include <string>
#include <vector>

#include "discovery/datagrams.h"
#include "discovery/reply_wait.h"
#include "host/ip_watch.h"
#include "host/udp.h"
#include "server/kiv_server.h"

namespace KivTrans2 {

// REQUIRES: main thread (the UDP server delivers there, one datagram at a time).
// An exception from OnNotificationReceived or from sending a reply leaves this
// handler; the UDP server drops it and goes on receiving.
void TKivServer::UDPServerUDPRead(const std::string& Data, TUdpBinding& Binding) {
  // An FS-mode server keeps the UDP port of an earlier TCP-mode run bound, but
  // it has no TCP service to offer and takes no notifications.
  if (!FActive || !FUseTCP) return;
  switch (ClassifyServerDatagram(Data, FSeekKey)) {
    case TServerDatagram::Notification:
      if (OnNotificationReceived) OnNotificationReceived(this, NotificationData(Data));
      break;
    case TServerDatagram::SeekRequest:
      Binding.SendTo(Binding.PeerIP(), Binding.PeerPort(),
                     MakeServerFoundReply(FSeekKey, FIPWatch->LocalIP(), FIPWatch->GetLocalName()));
      break;
    case TServerDatagram::OtherServerRequest:
      Binding.SendTo(Binding.PeerIP(), Binding.PeerPort(),
                     MakeOtherServerReply(FSeekKey, FIPWatch->LocalIP(), FIPWatch->GetLocalName()));
      break;
    case TServerDatagram::Other:
      break;
  }
}

// REQUIRES: main thread. Blocks for at least SeekOtherTimeout(), serving
// Synchronize meanwhile.
bool TKivServer::SeekOtherServer() {
  if (!FUseTCP) return false;
  if (!FComponentsCreated) CreateNetworkComponents();
  bool GiveUpFlag = false;
  std::vector<std::unique_ptr<TMachine>> OtherServers;
  {
    TUdpSession Session(*FUDPClient);
    // The port is the server's own: the UDP client's copy may lag behind a Port
    // set while the server was in FS mode.
    FUDPClient->Broadcast(MakeOtherServerRequest(), FPort);
    for (;;) {
      const std::string Text = ReceiveReply(*FUDPClient, FSeekOtherTimeout);
      if (std::optional<TMachine> Other = ParseOtherServerReply(Text)) {
        if (Other->IP == FIPWatch->LocalIP() && Other->SeekKey == FSeekKey) GiveUpFlag = true;
        OtherServers.push_back(std::make_unique<TMachine>(std::move(*Other)));
      }
      if (Text.empty()) break;
    }
  }
  if (!OtherServers.empty() && OnOtherServerFound)
    OnOtherServerFound(this, OtherServers, GiveUpFlag);
  return !GiveUpFlag;
}

}  // namespace KivTrans2
