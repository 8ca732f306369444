// A TCP client that talks in lines.
#include "host/tcp_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "host/net_errors.h"
#include "host/net_socket.h"

namespace KivTrans2 {

namespace {

// Connects Fd to Address. A connect interrupted by a signal goes on in the
// background; its result is then fetched once the socket is writable.
int ConnectFd(int Fd, const sockaddr_in& Address) {
  if (::connect(Fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0) return 0;
  if (errno != EINTR) return errno;
  for (;;) {
    pollfd P = {Fd, POLLOUT, 0};
    int Rc = ::poll(&P, 1, -1);
    if (Rc > 0) break;
    if (Rc < 0 && errno != EINTR) return errno;
  }
  int Error = 0;
  socklen_t Length = sizeof Error;
  if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Length) != 0) return errno;
  return Error;
}

}  // namespace

TTcpClient::TTcpClient() = default;

TTcpClient::~TTcpClient() {
  std::shared_ptr<Net::TStreamSocket> S;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    S.swap(FSocket);
  }
  if (S) {
    S->FlushQuietly();
    S->Shutdown();
  }
}

void TTcpClient::SetHost(const std::string& Value) {
  std::lock_guard<std::mutex> Lock(FLock);
  FHost = Value;
}

std::string TTcpClient::Host() const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FHost;
}

void TTcpClient::SetPort(int Value) {
  std::lock_guard<std::mutex> Lock(FLock);
  FPort = Value;
}

int TTcpClient::Port() const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FPort;
}

std::shared_ptr<Net::TStreamSocket> TTcpClient::Socket() const {
  std::lock_guard<std::mutex> Lock(FLock);
  if (!FSocket) throw ENotConnected("Not connected");
  return FSocket;
}

void TTcpClient::Connect() {
  std::string Host;
  int Port;
  std::shared_ptr<Net::TStreamSocket> Old;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    Host = FHost;
    Port = FPort;
    Old = FSocket;
  }
  if (Old) {
    if (!Old->IsShutdown() && !Old->ProbePeerClosed())
      throw ETcpAlreadyConnected("Already connected to " + Host + ":" + std::to_string(Port));
    // Closed by the peer or broken: release it without a notification.
    Old->Shutdown();
    std::lock_guard<std::mutex> Lock(FLock);
    if (FSocket == Old) FSocket.reset();
  }
  if (Port < 1 || Port > 65535)
    throw ESocketError("Could not connect to " + Host + ":" + std::to_string(Port) +
                       ": no valid port");
  std::vector<sockaddr_in> Addresses = Net::Resolve(Host, Port, SOCK_STREAM);
  int LastError = 0;
  std::shared_ptr<Net::TStreamSocket> S;
  for (const sockaddr_in& Address : Addresses) {
    int Fd = Net::OpenSocket(SOCK_STREAM);
    LastError = ConnectFd(Fd, Address);
    if (LastError == 0) {
      S = std::make_shared<Net::TStreamSocket>(Fd);
      break;
    }
    Net::CloseSocket(Fd);
  }
  if (!S)
    Net::ThrowSocketError("Could not connect to " + Host + ":" + std::to_string(Port), LastError);
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FSocket = S;
  }
  FReadLnTimedOut = false;
  if (OnConnected) OnConnected(this);
}

void TTcpClient::Disconnect() {
  std::shared_ptr<Net::TStreamSocket> S;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    S.swap(FSocket);
  }
  if (!S) return;
  S->FlushQuietly();
  S->Shutdown();  // wakes a reader blocked on it; the last holder closes it
  S.reset();
  if (OnDisconnected) OnDisconnected(this);
}

bool TTcpClient::Connected() {
  std::shared_ptr<Net::TStreamSocket> S;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    S = FSocket;
  }
  return S && !S->IsShutdown() && !S->ProbePeerClosed();
}

void TTcpClient::CheckForDisconnect() {
  if (!Connected()) throw ENotConnected("Not connected");
}

void TTcpClient::WriteLine(const std::string& Line) {
  Socket()->WriteLine(Line);
}

void TTcpClient::Flush() {
  Socket()->Flush();
}

std::string TTcpClient::ReadLn(int TimeoutMs) {
  FReadLnTimedOut = false;
  std::shared_ptr<Net::TStreamSocket> S = Socket();
  S->Flush();
  std::string Line;
  bool Got = S->ReadLine(Line, TimeoutMs);
  FReadLnTimedOut = !Got;
  return Line;
}

}  // namespace KivTrans2
