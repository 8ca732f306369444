// The POSIX socket layer under the TCP and UDP components.
#include "host/net_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/net_errors.h"
#include "host/net_settings.h"

namespace KivTrans2::Net {

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point Deadline) {
  auto Left =
      std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
  return Left <= 0 ? 0 : static_cast<int>(Left);
}

}  // namespace

void ThrowSocketError(const std::string& What, int Error) {
  throw ESocketError(What + ": " + std::strerror(Error));
}

int OpenSocket(int Type) {
  int Fd = ::socket(AF_INET, Type | SOCK_CLOEXEC, 0);
  if (Fd < 0) ThrowSocketError("Could not create a socket", errno);
  return Fd;
}

void CloseSocket(int Fd) {
  if (Fd >= 0) ::close(Fd);  // not retried on EINTR: the descriptor is gone either way
}

std::vector<sockaddr_in> Resolve(const std::string& Host, int Port, int SockType) {
  if (Port < 0 || Port > 65535)
    throw ESocketError("Port " + std::to_string(Port) + " is outside 0..65535");
  if (Host.empty()) throw ESocketError("No host given");
  addrinfo Hints = {};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SockType;
  addrinfo* List = nullptr;
  int Rc = ::getaddrinfo(Host.c_str(), nullptr, &Hints, &List);
  if (Rc != 0) {
    std::string Reason = Rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(Rc);
    throw ESocketError("Could not resolve host '" + Host + "': " + Reason);
  }
  std::vector<sockaddr_in> Result;
  for (addrinfo* I = List; I != nullptr; I = I->ai_next) {
    if (I->ai_family != AF_INET || I->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in Address;
    std::memcpy(&Address, I->ai_addr, sizeof Address);
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    Result.push_back(Address);
  }
  ::freeaddrinfo(List);
  if (Result.empty()) throw ESocketError("Host '" + Host + "' has no IPv4 address");
  return Result;
}

std::string AddressText(const sockaddr_in& Address) {
  char Text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &Address.sin_addr, Text, sizeof Text) == nullptr) return "";
  return Text;
}

int AddressPort(const sockaddr_in& Address) {
  return ntohs(Address.sin_port);
}

int LocalPort(int Fd) {
  sockaddr_in Address = {};
  socklen_t Length = sizeof Address;
  if (::getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) return 0;
  return AddressPort(Address);
}

bool WaitReadable(int Fd, int TimeoutMs) {
  auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs < 0 ? 0 : TimeoutMs);
  for (;;) {
    pollfd P = {Fd, POLLIN, 0};
    int Rc = ::poll(&P, 1, TimeoutMs < 0 ? -1 : MsLeft(Deadline));
    if (Rc > 0) return true;
    if (Rc == 0) return false;
    if (errno != EINTR) ThrowSocketError("Could not wait for data", errno);
  }
}

std::vector<bool> WaitAnyReadable(const std::vector<int>& Fds) {
  std::vector<pollfd> Polls;
  for (int Fd : Fds) Polls.push_back({Fd, POLLIN, 0});
  for (;;) {
    int Rc = ::poll(Polls.data(), Polls.size(), -1);
    if (Rc > 0) break;
    if (Rc < 0 && errno != EINTR) ThrowSocketError("Could not wait for sockets", errno);
  }
  std::vector<bool> Ready;
  for (const pollfd& P : Polls) Ready.push_back(P.revents != 0);
  return Ready;
}

// --- TWakePipe ------------------------------------------------------------------

TWakePipe::TWakePipe() {
  int Fds[2];
  if (::pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0) ThrowSocketError("Could not create a pipe", errno);
  FRead = Fds[0];
  FWrite = Fds[1];
}

TWakePipe::~TWakePipe() {
  ::close(FRead);
  ::close(FWrite);
}

void TWakePipe::Signal() {
  char Byte = 1;
  ssize_t N;
  do {
    N = ::write(FWrite, &Byte, 1);
  } while (N < 0 && errno == EINTR);
  // EAGAIN: the pipe is full, so it is readable already.
}

// --- TStreamSocket --------------------------------------------------------------

TStreamSocket::TStreamSocket(int Fd) : FFd(Fd) {
  int One = 1;
  // Lines leave when the caller flushes; Nagle would only hold the last segment
  // of a message back until the peer's delayed ACK.
  ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
}

TStreamSocket::~TStreamSocket() {
  CloseSocket(FFd);
}

void TStreamSocket::ThrowClosed(const std::string& What, int Error) {
  if (FShutdown.load()) throw EConnectionClosed(What + ": the connection was closed");
  if (Error == EPIPE || Error == ECONNRESET || Error == 0) {
    FPeerClosed = true;
    throw EConnectionClosed(What + ": the peer closed the connection");
  }
  ThrowSocketError(What, Error);
}

void TStreamSocket::WriteLine(const std::string& Line) {
  std::lock_guard<std::mutex> Lock(FWriteLock);
  if (FShutdown.load()) throw EConnectionClosed("Could not write: the connection was closed");
  FOut.append(Line);
  FOut.append("\r\n");
  if (FOut.size() >= kAutoFlushBytes) SendLocked(0);
}

void TStreamSocket::Flush() {
  std::lock_guard<std::mutex> Lock(FWriteLock);
  SendLocked(0);
}

void TStreamSocket::FlushQuietly() {
  std::unique_lock<std::mutex> Lock(FWriteLock, std::try_to_lock);
  if (!Lock.owns_lock()) return;
  try {
    SendLocked(MSG_DONTWAIT);
  } catch (const Exception&) {
    // Best effort only.
  }
}

void TStreamSocket::SendLocked(int Flags) {
  size_t Sent = 0;
  while (Sent < FOut.size()) {
    ssize_t N = ::send(FFd, FOut.data() + Sent, FOut.size() - Sent, Flags | MSG_NOSIGNAL);
    if (N >= 0) {
      Sent += static_cast<size_t>(N);
      continue;
    }
    int Error = errno;
    if (Error == EINTR) continue;
    if ((Flags & MSG_DONTWAIT) != 0 && (Error == EAGAIN || Error == EWOULDBLOCK)) break;
    FOut.clear();
    ThrowClosed("Could not send", Error);
  }
  FOut.erase(0, Sent);
}

bool TStreamSocket::ReadLine(std::string& Line, int TimeoutMs) {
  auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs < 0 ? 0 : TimeoutMs);
  const size_t Max = MaxLineLength();
  char Chunk[64 * 1024];
  for (;;) {
    size_t Lf = FIn.find('\n', FStart + FScanned);
    if (Lf != std::string::npos) {
      size_t End = Lf;
      if (End > FStart && FIn[End - 1] == '\r') --End;
      if (End - FStart > Max) break;  // too long, below
      Line.assign(FIn, FStart, End - FStart);
      FStart = Lf + 1;
      FScanned = 0;
      if (FStart == FIn.size()) {
        FIn.clear();
        FStart = 0;
      } else if (FStart > FIn.size() / 2) {
        FIn.erase(0, FStart);
        FStart = 0;
      }
      return true;
    }
    FScanned = FIn.size() - FStart;
    if (FScanned > Max + 1) break;  // Max bytes and a CR may still be waiting for their LF
    if (FShutdown.load()) throw EConnectionClosed("Could not read: the connection was closed");
    if (FPeerClosed.load())
      throw EConnectionClosed("Could not read: the peer closed the connection");
    if (TimeoutMs >= 0 && !WaitReadable(FFd, MsLeft(Deadline))) return false;
    ssize_t N = ::recv(FFd, Chunk, sizeof Chunk, 0);
    if (N > 0) {
      FIn.append(Chunk, static_cast<size_t>(N));
    } else if (N == 0) {
      FPeerClosed = true;  // the loop raises unless a whole line is buffered
    } else if (errno == ECONNRESET) {
      FPeerClosed = true;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      ThrowClosed("Could not read", errno);
    }
  }
  // A peer must not make us buffer without end: drop what we have and close.
  FIn.clear();
  FStart = FScanned = 0;
  Shutdown();
  throw ELineTooLong("A received line is longer than " + std::to_string(Max) +
                     " bytes; the connection was closed");
}

void TStreamSocket::Shutdown() {
  if (FShutdown.exchange(true)) return;
  ::shutdown(FFd, SHUT_RDWR);
}

bool TStreamSocket::ProbePeerClosed() {
  if (FPeerClosed.load()) return true;
  char Byte;
  ssize_t N;
  do {
    N = ::recv(FFd, &Byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (N < 0 && errno == EINTR);
  if (N == 0 || (N < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) FPeerClosed = true;
  return FPeerClosed.load();
}

}  // namespace KivTrans2::Net
