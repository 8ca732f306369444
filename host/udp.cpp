// UDP client and UDP server.
#include "host/udp.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "host/net_errors.h"
#include "host/net_settings.h"
#include "host/net_socket.h"
#include "host/thread.h"

namespace KivTrans2 {

namespace {

// The largest IPv4 UDP payload.
constexpr size_t kMaxDatagram = 65507;

void SendDatagram(int Fd, const std::string& Host, int Port, const std::string& Text) {
  std::vector<sockaddr_in> Addresses = Net::Resolve(Host, Port, SOCK_DGRAM);
  const sockaddr_in& To = Addresses.front();
  for (;;) {
    ssize_t N = ::sendto(Fd, Text.data(), Text.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&To), sizeof To);
    if (N >= 0) return;
    if (errno != EINTR)
      Net::ThrowSocketError("Could not send a datagram to " + Host + ":" + std::to_string(Port),
                            errno);
  }
}

// Binds Fd to Port on every interface; returns errno, 0 on success.
int BindAny(int Fd, int Port) {
  sockaddr_in Address = {};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(static_cast<uint16_t>(Port));
  Address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(Fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0) return 0;
  return errno;
}

void SetBroadcastOption(int Fd, bool Value) {
  int Flag = Value ? 1 : 0;
  if (::setsockopt(Fd, SOL_SOCKET, SO_BROADCAST, &Flag, sizeof Flag) != 0)
    Net::ThrowSocketError("Could not set SO_BROADCAST", errno);
}

}  // namespace

// --- TUdpClient ------------------------------------------------------------------------

TUdpClient::TUdpClient() = default;

TUdpClient::~TUdpClient() {
  Net::CloseSocket(FFd);
}

void TUdpClient::SetBroadcastEnabled(bool Value) {
  FBroadcastEnabled = Value;
  if (FFd >= 0) SetBroadcastOption(FFd, Value);
}

void TUdpClient::SetActive(bool Value) {
  if (Value) {
    Open();
  } else {
    Net::CloseSocket(FFd);
    FFd = -1;
  }
}

void TUdpClient::Open() {
  if (FFd >= 0) return;
  int Fd = Net::OpenSocket(SOCK_DGRAM);
  try {
    SetBroadcastOption(Fd, FBroadcastEnabled);
    if (int Error = BindAny(Fd, 0)) Net::ThrowSocketError("Could not bind a UDP socket", Error);
  } catch (...) {
    Net::CloseSocket(Fd);
    throw;
  }
  FFd = Fd;
}

void TUdpClient::Broadcast(const std::string& Text, int Port) {
  Open();
  for (const std::string& Target : BroadcastTargets()) SendDatagram(FFd, Target, Port, Text);
}

void TUdpClient::Send(const std::string& Text) {
  Open();
  SendDatagram(FFd, FHost, FPort, Text);
}

std::string TUdpClient::ReceiveString(int TimeoutMs) {
  return Receive(TimeoutMs).Data;
}

TUdpDatagram TUdpClient::Receive(int TimeoutMs) {
  Open();
  TUdpDatagram Result;
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  std::string Buffer(kMaxDatagram, '\0');
  for (;;) {
    int Left = -1;
    if (TimeoutMs >= 0) {
      auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    Deadline - std::chrono::steady_clock::now())
                    .count();
      Left = Ms > 0 ? static_cast<int>(Ms) : 0;
    }
    if (!Net::WaitReadable(FFd, Left)) return Result;
    sockaddr_in From = {};
    socklen_t Length = sizeof From;
    ssize_t N = ::recvfrom(FFd, Buffer.data(), Buffer.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&From), &Length);
    if (N >= 0) {
      Buffer.resize(static_cast<size_t>(N));
      Result.Received = true;
      Result.Data = std::move(Buffer);
      Result.PeerIP = Net::AddressText(From);
      Result.PeerPort = Net::AddressPort(From);
      return Result;
    }
    // ECONNREFUSED reports an earlier datagram that no one received, not a
    // failure of this receive: wait on for the time that is left.
    if (errno == EINTR || errno == ECONNREFUSED || errno == EAGAIN || errno == EWOULDBLOCK)
      continue;
    Net::ThrowSocketError("Could not receive a datagram", errno);
  }
}

// --- TUdpBinding -----------------------------------------------------------------------

void TUdpBinding::SendTo(const std::string& IP, int Port, const std::string& Data) {
  SendDatagram(FFd, IP, Port, Data);
}

// --- TUdpServer ------------------------------------------------------------------------

class TUdpServer::TListener : public TThread {
 public:
  TListener(TUdpServer& Server, int Fd, int WakeFd)
      : FServer(Server), FFd(Fd), FWakeFd(WakeFd), FBuffer(kMaxDatagram) {}
  ~TListener() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override {
    while (!Terminated()) {
      std::vector<bool> Ready = Net::WaitAnyReadable({FFd, FWakeFd});
      if (Ready[1] || FServer.FClosing.load()) break;
      sockaddr_in From = {};
      socklen_t Length = sizeof From;
      ssize_t N = ::recvfrom(FFd, FBuffer.data(), FBuffer.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&From), &Length);
      if (N < 0) continue;  // EINTR, EAGAIN, or an ICMP error left by a reply
      std::string Data(FBuffer.data(), static_cast<size_t>(N));
      std::string PeerIP = Net::AddressText(From);
      int PeerPort = Net::AddressPort(From);
      try {
        Synchronize([&] { FServer.Deliver(Data, PeerIP, PeerPort); });
      } catch (...) {
        // Deliver contains the handler's exceptions; nothing else is expected.
      }
    }
  }

 private:
  TUdpServer& FServer;
  const int FFd;
  const int FWakeFd;
  std::vector<char> FBuffer;
};

TUdpServer::TUdpServer() = default;

TUdpServer::~TUdpServer() {
  try {
    SetActive(false);
  } catch (...) {
    // Destroyed from inside its own handler: nothing safe is left to do.
  }
}

void TUdpServer::SetActive(bool Value) {
  if (Value == FActive.load()) return;
  if (Value) {
    if (FDefaultPort < 0 || FDefaultPort > 65535)
      throw ECouldNotBind("Could not bind UDP port " + std::to_string(FDefaultPort) +
                          ": outside 0..65535");
    int Fd = Net::OpenSocket(SOCK_DGRAM);
    try {
      if (FBroadcastEnabled) SetBroadcastOption(Fd, true);
      if (int Error = BindAny(Fd, FDefaultPort))
        throw ECouldNotBind("Could not bind UDP port " + std::to_string(FDefaultPort) + ": " +
                            std::strerror(Error));
      FFd = Fd;
      FBoundPort = Net::LocalPort(Fd);
      FClosing = false;
      FWake = std::make_unique<Net::TWakePipe>();
      FListener = std::make_unique<TListener>(*this, Fd, FWake->ReadFd());
      FListener->Start();
    } catch (...) {
      FListener.reset();
      FWake.reset();
      Net::CloseSocket(Fd);
      FFd = -1;
      FBoundPort = 0;
      throw;
    }
    FActive = true;
  } else {
    if (IsMainThread() && FDelivering.load())
      throw Exception("A UDP server cannot be deactivated from its own read handler");
    FClosing = true;  // a datagram already queued for the main thread is dropped
    FWake->Signal();
    FListener.reset();  // waits; on the main thread it serves Synchronize meanwhile
    FWake.reset();
    Net::CloseSocket(FFd);
    FFd = -1;
    FBoundPort = 0;
    FActive = false;
  }
}

void TUdpServer::Deliver(const std::string& Data, const std::string& PeerIP, int PeerPort) {
  if (FClosing.load() || !OnUDPRead) return;
  TUdpBinding Binding(FFd, FBoundPort.load(), PeerIP, PeerPort);
  FDelivering = true;
  try {
    OnUDPRead(this, Data, Binding);
  } catch (...) {
    // The handler's failure concerns this datagram only.
  }
  FDelivering = false;
}

}  // namespace KivTrans2
