// Helpers shared by the network tests: a record of what handlers saw, and bare
// sockets for byte streams the components never produce. Everything stays on
// 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/thread.h"

namespace KivTrans2::Testing {

constexpr int kWaitMs = 10000;  // generous limit for every wait on a condition

// Lines or events recorded by handlers on any thread.
class TLog {
 public:
  void Add(const std::string& Item) {
    std::lock_guard<std::mutex> Lock(FLock);
    FItems.push_back(Item);
  }
  std::vector<std::string> Items() const {
    std::lock_guard<std::mutex> Lock(FLock);
    return FItems;
  }
  size_t Size() const {
    std::lock_guard<std::mutex> Lock(FLock);
    return FItems.size();
  }
  // Pumps the main thread until N items are recorded.
  bool WaitSize(size_t N) const {
    return ProcessMessagesUntil([&] { return Size() >= N; }, kWaitMs);
  }

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FItems;
};

inline sockaddr_in Loopback(int Port) {
  sockaddr_in A = {};
  A.sin_family = AF_INET;
  A.sin_port = htons(static_cast<uint16_t>(Port));
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return A;
}

// A bare TCP socket.
class TRawSocket {
 public:
  explicit TRawSocket(int Fd) : FFd(Fd) {}
  ~TRawSocket() { ::close(FFd); }
  TRawSocket(const TRawSocket&) = delete;
  TRawSocket& operator=(const TRawSocket&) = delete;

  static std::unique_ptr<TRawSocket> ConnectTo(int Port) {
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A = Loopback(Port);
    if (::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
      ::close(Fd);
      return nullptr;
    }
    return std::make_unique<TRawSocket>(Fd);
  }

  bool Send(const std::string& Bytes) {
    return ::send(FFd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(Bytes.size());
  }
  // Reads and drops data until the peer ends the stream; false when TimeoutMs
  // passes first.
  bool WaitForEnd(int TimeoutMs) {
    char Buffer[4096];
    for (;;) {
      pollfd P = {FFd, POLLIN, 0};
      if (::poll(&P, 1, TimeoutMs) <= 0) return false;
      ssize_t N = ::recv(FFd, Buffer, sizeof Buffer, 0);
      if (N <= 0) return true;
    }
  }

 private:
  int FFd;
};

// A bare TCP listener on 127.0.0.1 and a port the system picks.
class TRawListener {
 public:
  TRawListener() {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A = Loopback(0);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    ::listen(FFd, 8);
    socklen_t L = sizeof A;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&A), &L);
    FPort = ntohs(A.sin_port);
  }
  ~TRawListener() { ::close(FFd); }
  int Port() const { return FPort; }
  std::unique_ptr<TRawSocket> Accept() {
    int Fd = ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
    return Fd < 0 ? nullptr : std::make_unique<TRawSocket>(Fd);
  }

 private:
  int FFd = -1;
  int FPort = 0;
};

// True once the main thread has a Synchronize call waiting for it.
inline bool WaitForQueuedSynchronize() {
  pollfd P = {MainThreadWakeFd(), POLLIN, 0};
  return ::poll(&P, 1, kWaitMs) == 1;
}

}  // namespace KivTrans2::Testing
