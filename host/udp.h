// host/udp.h — UDP client and UDP server. Public API.
//
// Datagrams carry text as bytes, one byte per character, nothing added.
// Broadcasts go to BroadcastTargets() (host/net_settings.h), one datagram each.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "host/kiv_export.h"

namespace KivTrans2 {

namespace Net {
class TWakePipe;
}

// One datagram received, with its sender.
struct KIV_API TUdpDatagram {
  bool Received = false;  // false: nothing arrived in time
  std::string Data;
  std::string PeerIP;
  int PeerPort = 0;
};

// A UDP socket for sending datagrams and receiving the replies. Not thread
// safe: one thread uses it (as a rule the main thread).
class KIV_API TUdpClient {
 public:
  TUdpClient();
  ~TUdpClient();  // closes the socket
  TUdpClient(const TUdpClient&) = delete;
  TUdpClient& operator=(const TUdpClient&) = delete;

  // Allows sending to broadcast addresses (SO_BROADCAST). Off by default.
  void SetBroadcastEnabled(bool Value);
  bool BroadcastEnabled() const { return FBroadcastEnabled; }
  // Where Send goes: a host name or dotted IPv4 text, and a port.
  void SetHost(const std::string& Value) { FHost = Value; }
  const std::string& Host() const { return FHost; }
  void SetPort(int Value) { FPort = Value; }
  int Port() const { return FPort; }

  // True opens the socket on a port the system picks, on every interface; false
  // closes it, dropping whatever was not received. The operations below open
  // it when it is closed. Raises ESocketError.
  void SetActive(bool Value);
  bool Active() const { return FFd >= 0; }

  // Sends Text to Port at every broadcast target. Raises ESocketError (also
  // when broadcasting is not enabled).
  void Broadcast(const std::string& Text, int Port);
  // Sends Text to Host:Port. Raises ESocketError, also for a name that does
  // not resolve.
  void Send(const std::string& Text);
  // The next datagram from any sender, waiting at most TimeoutMs (< 0: no
  // limit); "" when none arrives in time. Raises ESocketError.
  std::string ReceiveString(int TimeoutMs);
  // The same, with the sender's address.
  TUdpDatagram Receive(int TimeoutMs);

 private:
  void Open();
  void SendTo(const std::string& Host, int Port, const std::string& Text);

  int FFd = -1;
  bool FBroadcastEnabled = false;
  std::string FHost;
  int FPort = 0;
};

// The socket a datagram arrived on, for the read handler: who sent it, and a
// way to answer from the server's own socket (so the reply's source port is
// the server's port). Valid only during the handler call.
class KIV_API TUdpBinding {
 public:
  const std::string& PeerIP() const { return FPeerIP; }
  int PeerPort() const { return FPeerPort; }
  int Port() const { return FPort; }  // the server's bound port
  // Sends Data to IP:Port. Raises ESocketError.
  void SendTo(const std::string& IP, int Port, const std::string& Data);

 private:
  friend class TUdpServer;
  TUdpBinding(int Fd, int Port, std::string PeerIP, int PeerPort)
      : FFd(Fd), FPort(Port), FPeerIP(std::move(PeerIP)), FPeerPort(PeerPort) {}
  int FFd;
  int FPort;
  std::string FPeerIP;
  int FPeerPort;
};

// A UDP socket bound to a port on every interface, with a listener thread that
// hands each datagram to OnUDPRead on the main thread (through Synchronize),
// one at a time.
class KIV_API TUdpServer {
 public:
  using TUDPReadEvent =
      std::function<void(TUdpServer* Sender, const std::string& Data, TUdpBinding& Binding)>;

  TUdpServer();
  // Deactivates (see SetActive(false)). REQUIRES: the owning thread.
  ~TUdpServer();
  TUdpServer(const TUdpServer&) = delete;
  TUdpServer& operator=(const TUdpServer&) = delete;

  // Applies from the next activation. REQUIRES: the owning thread.
  void SetBroadcastEnabled(bool Value) { FBroadcastEnabled = Value; }
  bool BroadcastEnabled() const { return FBroadcastEnabled; }
  void SetDefaultPort(int Value) { FDefaultPort = Value; }  // 0: the system picks one
  int DefaultPort() const { return FDefaultPort; }

  // True binds DefaultPort() on every interface (without SO_REUSEADDR, so a
  // port another socket holds fails) and starts the listener; raises
  // ECouldNotBind when the port cannot be bound, ESocketError on other
  // failures. False stops the listener and closes the socket; datagrams not
  // yet handed over are dropped and no handler call starts afterwards. On the
  // main thread it serves Synchronize while it waits for the listener. Setting
  // the current value again does nothing. REQUIRES: the owning thread, and not
  // inside this server's OnUDPRead (raises Exception there).
  void SetActive(bool Value);
  // Thread safe.
  bool Active() const { return FActive.load(); }
  int BoundPort() const { return FBoundPort.load(); }  // 0 when inactive

  // Runs on the main thread, once per datagram, one at a time. An exception
  // it raises is caught and dropped; the server goes on receiving. Set it
  // while the server is inactive.
  TUDPReadEvent OnUDPRead;

 private:
  class TListener;
  friend class TListener;

  void Deliver(const std::string& Data, const std::string& PeerIP, int PeerPort);  // main thread

  // Owned by the owning thread; FFd is constant while the listener runs.
  bool FBroadcastEnabled = false;
  int FDefaultPort = 0;
  int FFd = -1;
  std::unique_ptr<Net::TWakePipe> FWake;
  std::unique_ptr<TListener> FListener;

  std::atomic<bool> FDelivering{false};  // the main thread is inside OnUDPRead

  std::atomic<bool> FActive{false};
  std::atomic<bool> FClosing{false};  // set before the listener is stopped
  std::atomic<int> FBoundPort{0};
};

}  // namespace KivTrans2
