#include "support/net_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "host/thread.h"

namespace KivTrans2::Testing {

namespace {

sockaddr_in Loopback(int Port) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(static_cast<uint16_t>(Port));
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return A;
}

bool CanBind(int Port, int Type) {
  int Fd = ::socket(AF_INET, Type | SOCK_CLOEXEC, 0);
  sockaddr_in A = Loopback(Port);
  A.sin_addr.s_addr = htonl(INADDR_ANY);
  bool Ok = ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
  ::close(Fd);
  return Ok;
}

}  // namespace

int FreePort() {
  for (int Try = 0; Try < 100; ++Try) {
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A = Loopback(0);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    socklen_t Len = sizeof A;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
    ::close(Fd);
    int Port = ntohs(A.sin_port);
    if (CanBind(Port, SOCK_STREAM) && CanBind(Port, SOCK_DGRAM)) return Port;
  }
  throw std::runtime_error("no free port");
}

TPortBlocker::TPortBlocker(int Port, bool Udp) {
  FFd = ::socket(AF_INET, (Udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  sockaddr_in A = Loopback(Port);
  A.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0)
    throw std::runtime_error("cannot block port");
  if (!Udp) ::listen(FFd, 4);
}

TPortBlocker::~TPortBlocker() { ::close(FFd); }

TLinePeer::TLinePeer(int Port) {
  FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = Loopback(Port);
  if (::connect(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
    ::close(FFd);
    throw std::runtime_error("connect failed");
  }
  FReader = std::thread([this] { ReadLoop(); });
}

TLinePeer::~TLinePeer() {
  Close();
  if (FReader.joinable()) FReader.join();
  ::close(FFd);
}

void TLinePeer::Send(const std::vector<std::string>& Lines) {
  std::string Bytes;
  for (const auto& L : Lines) Bytes += L + "\r\n";
  SendRaw(Bytes);
}

void TLinePeer::SendRaw(const std::string& Bytes) {
  size_t Done = 0;
  while (Done < Bytes.size()) {
    ssize_t N = ::send(FFd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
    if (N <= 0) throw std::runtime_error("send failed");
    Done += static_cast<size_t>(N);
  }
}

void TLinePeer::ReadLoop() {
  std::string Pending;
  char Buffer[4096];
  for (;;) {
    ssize_t N = ::recv(FFd, Buffer, sizeof Buffer, 0);
    if (N <= 0) break;
    Pending.append(Buffer, static_cast<size_t>(N));
    size_t Lf;
    while ((Lf = Pending.find('\n')) != std::string::npos) {
      std::string Line = Pending.substr(0, Lf);
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      Pending.erase(0, Lf + 1);
      std::lock_guard<std::mutex> Lock(FLock);
      FLines.push_back(Line);
    }
  }
  std::lock_guard<std::mutex> Lock(FLock);
  FClosed = true;
}

std::vector<std::string> TLinePeer::Received() const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FLines;
}

bool TLinePeer::WaitForLines(size_t Count, int TimeoutMs) const {
  return ProcessMessagesUntil([&] { return Received().size() >= Count; }, TimeoutMs);
}

bool TLinePeer::ClosedByServer() const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FClosed;
}

bool TLinePeer::WaitForClose(int TimeoutMs) const {
  return ProcessMessagesUntil([&] { return ClosedByServer(); }, TimeoutMs);
}

void TLinePeer::Close() { ::shutdown(FFd, SHUT_RDWR); }

}  // namespace KivTrans2::Testing

namespace KivTrans2::Testing {

TLineServer::TLineServer() {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = Loopback(0);
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(FListen, 16) != 0)
    throw std::runtime_error("cannot listen");
  socklen_t Len = sizeof A;
  ::getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &Len);
  FPort = ntohs(A.sin_port);
  FAcceptor = std::thread([this] { AcceptLoop(); });
}

TLineServer::~TLineServer() {
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FStopping = true;
    for (auto& C : FConns) ::shutdown(C->Fd, SHUT_RDWR);
  }
  ::shutdown(FListen, SHUT_RDWR);
  FAcceptor.join();
  for (auto& C : FConns) {
    if (C->Reader.joinable()) C->Reader.join();
    ::close(C->Fd);
  }
  ::close(FListen);
}

void TLineServer::AcceptLoop() {
  for (;;) {
    int Fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) return;
    std::lock_guard<std::mutex> Lock(FLock);
    if (FStopping) {
      ::close(Fd);
      return;
    }
    auto C = std::make_unique<TConn>();
    C->Fd = Fd;
    TConn* Raw = C.get();
    C->Reader = std::thread([this, Raw] { ReadLoop(Raw); });
    FConns.push_back(std::move(C));
  }
}

void TLineServer::ReadLoop(TConn* C) {
  std::string Pending;
  char Buffer[4096];
  for (;;) {
    ssize_t N = ::recv(C->Fd, Buffer, sizeof Buffer, 0);
    if (N <= 0) break;
    Pending.append(Buffer, static_cast<size_t>(N));
    size_t Lf;
    while ((Lf = Pending.find('\n')) != std::string::npos) {
      std::string Line = Pending.substr(0, Lf);
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      Pending.erase(0, Lf + 1);
      std::lock_guard<std::mutex> Lock(FLock);
      C->Lines.push_back(Line);
    }
  }
  std::lock_guard<std::mutex> Lock(FLock);
  C->Closed = true;
}

std::vector<std::string> TLineServer::Received(size_t Index) const {
  std::lock_guard<std::mutex> Lock(FLock);
  return Index < FConns.size() ? FConns[Index]->Lines : std::vector<std::string>{};
}

size_t TLineServer::Connections() const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FConns.size();
}

bool TLineServer::WaitForLines(size_t Count, size_t Index, int TimeoutMs) const {
  return ProcessMessagesUntil([&] { return Received(Index).size() >= Count; }, TimeoutMs);
}

bool TLineServer::WaitForClose(size_t Index, int TimeoutMs) const {
  return ProcessMessagesUntil(
      [&] {
        std::lock_guard<std::mutex> Lock(FLock);
        return Index < FConns.size() && FConns[Index]->Closed;
      },
      TimeoutMs);
}

void TLineServer::Send(const std::vector<std::string>& Lines, size_t Index) {
  std::string Bytes;
  for (const auto& L : Lines) Bytes += L + "\r\n";
  int Fd;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    if (Index >= FConns.size()) throw std::runtime_error("no such connection");
    Fd = FConns[Index]->Fd;
  }
  ::send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
}

void TLineServer::Drop(size_t Index) {
  std::lock_guard<std::mutex> Lock(FLock);
  if (Index < FConns.size()) ::shutdown(FConns[Index]->Fd, SHUT_RDWR);
}

}  // namespace KivTrans2::Testing
