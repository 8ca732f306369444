// A TCP server with one thread per accepted connection.
#include "host/tcp_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "host/net_errors.h"
#include "host/net_settings.h"
#include "host/net_socket.h"
#include "host/thread.h"

namespace KivTrans2 {

namespace {

// The server whose connection thread the current thread is, if any.
thread_local const TTcpServer* GConnectionThreadOf = nullptr;

// Back-off after accept ran out of descriptors or memory: the pending
// connection stays in the backlog and poll would report it at once again.
constexpr int kAcceptBackoffMs = 100;

}  // namespace

// --- TTcpServerConnection --------------------------------------------------------

TTcpServerConnection::TTcpServerConnection(std::shared_ptr<Net::TStreamSocket> Socket,
                                           std::string PeerIP, int PeerPort)
    : FPeerIP(std::move(PeerIP)), FPeerPort(PeerPort), FSocket(std::move(Socket)) {}

TTcpServerConnection::~TTcpServerConnection() = default;

std::shared_ptr<Net::TStreamSocket> TTcpServerConnection::Socket() const {
  std::lock_guard<std::mutex> Lock(FLock);
  if (!FSocket) throw EConnectionClosed("The connection is closed");
  return FSocket;
}

std::string TTcpServerConnection::ReadLn() {
  std::shared_ptr<Net::TStreamSocket> S = Socket();
  S->Flush();
  std::string Line;
  S->ReadLine(Line, -1);
  return Line;
}

void TTcpServerConnection::WriteLine(const std::string& Line) {
  Socket()->WriteLine(Line);
}

void TTcpServerConnection::Flush() {
  Socket()->Flush();
}

void TTcpServerConnection::Disconnect() {
  std::shared_ptr<Net::TStreamSocket> S;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    S = FSocket;
  }
  if (!S) return;
  S->FlushQuietly();
  S->Shutdown();
}

bool TTcpServerConnection::Connected() const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FSocket && !FSocket->IsShutdown() && !FSocket->PeerClosed();
}

std::shared_ptr<void> TTcpServerConnection::Data() const {
  std::lock_guard<std::mutex> Lock(FLock);
  return FData;
}

void TTcpServerConnection::SetData(std::shared_ptr<void> Value) {
  std::shared_ptr<void> Old;  // released outside the lock: its destructor is the library's
  std::lock_guard<std::mutex> Lock(FLock);
  Old.swap(FData);
  FData = std::move(Value);
}

void TTcpServerConnection::Close() {
  std::shared_ptr<Net::TStreamSocket> S;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    S.swap(FSocket);
  }
  if (S) S->Shutdown();  // the descriptor closes when the last call using it leaves
}

// --- threads ---------------------------------------------------------------------

class TTcpServer::TAcceptor : public TThread {
 public:
  TAcceptor(TTcpServer& Server, std::vector<int> Fds) : FServer(Server), FFds(std::move(Fds)) {}
  ~TAcceptor() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override {
    // FFds: the listeners, then the wake pipe.
    while (!Terminated()) {
      std::vector<bool> Ready = Net::WaitAnyReadable(FFds);
      if (Ready.back()) break;
      for (size_t I = 0; I + 1 < FFds.size(); ++I)
        if (Ready[I]) AcceptAll(FFds[I]);
      FServer.ReapFinished();
    }
  }

 private:
  void AcceptAll(int Listener) {
    for (;;) {
      int Fd = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (Fd >= 0) {
        FServer.Accepted(Fd);
        continue;
      }
      int Error = errno;
      if (Error == EINTR || Error == ECONNABORTED || Error == EPROTO) continue;
      if (Error == EMFILE || Error == ENFILE || Error == ENOBUFS || Error == ENOMEM)
        Net::WaitReadable(FFds.back(), kAcceptBackoffMs);
      return;  // EAGAIN: nothing more pending
    }
  }

  TTcpServer& FServer;
  const std::vector<int> FFds;
};

class TTcpServer::TConnectionThread : public TThread {
 public:
  TConnectionThread(TTcpServer& Server, TTcpConnectionRef Connection)
      : FServer(Server), FConnection(std::move(Connection)) {}
  ~TConnectionThread() override {
    Terminate();
    FConnection->Disconnect();
    WaitFor();
  }
  const TTcpConnectionRef& Connection() const { return FConnection; }

 protected:
  void Execute() override {
    GConnectionThreadOf = &FServer;
    try {
      if (FServer.OnConnect) FServer.OnConnect(FConnection);
      while (!Terminated() && FConnection->Connected()) {
        if (FServer.OnExecute)
          FServer.OnExecute(FConnection);
        else
          FConnection->ReadLn();  // nobody listens: read and drop
      }
    } catch (...) {
      // A failed read or a handler's exception ends the connection.
    }
    FConnection->Disconnect();
    try {
      if (FServer.OnDisconnect) FServer.OnDisconnect(FConnection);
    } catch (...) {
      // Nothing is left to tell; the thread ends normally.
    }
    FConnection->Close();
    FConnection->SetData(nullptr);
    GConnectionThreadOf = nullptr;
  }

 private:
  TTcpServer& FServer;
  const TTcpConnectionRef FConnection;
};

// --- TTcpServer ----------------------------------------------------------------------

TTcpServer::TTcpServer() = default;

TTcpServer::~TTcpServer() {
  try {
    SetActive(false);
  } catch (...) {
    // Called from a connection thread: nothing safe is left to do.
  }
}

void TTcpServer::ClearBindings() {
  FBindings.clear();
}

void TTcpServer::SetDefaultPort(int Port) {
  FDefaultPort = Port;
}

void TTcpServer::AddBinding(int Port, const std::string& IP) {
  FBindings.push_back({Port, IP});
}

void TTcpServer::SetActive(bool Value) {
  if (Value == FActive.load()) return;
  if (Value)
    Activate();
  else
    Deactivate();
}

int TTcpServer::ConnectionCount() const {
  std::lock_guard<std::mutex> Lock(FLock);
  int Count = 0;
  for (const auto& T : FThreads)
    if (!T->Finished()) ++Count;
  return Count;
}

void TTcpServer::Activate() {
  std::vector<TBinding> Bindings = FBindings;
  if (Bindings.empty()) Bindings.push_back({FDefaultPort, ""});
  try {
    for (const TBinding& B : Bindings) {
      if (B.Port < 0 || B.Port > 65535)
        throw ECouldNotBind("Could not bind TCP port " + std::to_string(B.Port) +
                            ": outside 0..65535");
      sockaddr_in Address = {};
      Address.sin_family = AF_INET;
      Address.sin_port = htons(static_cast<uint16_t>(B.Port));
      Address.sin_addr.s_addr = htonl(INADDR_ANY);
      if (!B.IP.empty() && ::inet_pton(AF_INET, B.IP.c_str(), &Address.sin_addr) != 1)
        throw ECouldNotBind("Could not bind TCP port " + std::to_string(B.Port) + ": '" + B.IP +
                            "' is not an IPv4 address");
      int Fd = Net::OpenSocket(SOCK_STREAM | SOCK_NONBLOCK);
      FListeners.push_back(Fd);
      int One = 1;
      ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
      if (::bind(Fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0) {
        int Error = errno;
        throw ECouldNotBind("Could not bind TCP port " + std::to_string(B.Port) + ": " +
                            std::strerror(Error));
      }
      if (::listen(Fd, SOMAXCONN) != 0)
        Net::ThrowSocketError("Could not listen on TCP port " + std::to_string(B.Port), errno);
    }
    FWake = std::make_unique<Net::TWakePipe>();
    std::vector<int> Fds = FListeners;
    Fds.push_back(FWake->ReadFd());
    FAcceptor = std::make_unique<TAcceptor>(*this, std::move(Fds));
    FAcceptor->Start();
  } catch (...) {
    FAcceptor.reset();
    FWake.reset();
    for (int Fd : FListeners) Net::CloseSocket(Fd);
    FListeners.clear();
    throw;
  }
  FBoundPort = Net::LocalPort(FListeners.front());
  FActive = true;
}

void TTcpServer::Deactivate() {
  if (GConnectionThreadOf == this)
    throw Exception("A TCP server cannot be deactivated from one of its connection threads");
  FActive = false;
  // The acceptor first, so no connection is added from here on.
  FWake->Signal();
  FAcceptor.reset();
  FWake.reset();
  for (int Fd : FListeners) Net::CloseSocket(Fd);
  FListeners.clear();
  FBoundPort = 0;

  std::vector<std::unique_ptr<TConnectionThread>> Threads;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    Threads.swap(FThreads);
  }
  // Wake them all before waiting for any, so they end side by side.
  for (auto& T : Threads) {
    T->Terminate();
    T->Connection()->Disconnect();
  }
  for (auto& T : Threads) T->WaitFor();  // serves Synchronize on the main thread
  Threads.clear();
}

void TTcpServer::Accepted(int Fd) {
  {
    // Beyond the cap a connection is refused at once: closed before a thread
    // is started or a line read, so no peer can make the server hold more.
    std::lock_guard<std::mutex> Lock(FLock);
    size_t Open = 0;
    for (const auto& T : FThreads)
      if (!T->Finished()) ++Open;
    if (Open >= MaxConnections()) {
      Net::CloseSocket(Fd);
      return;
    }
  }
  sockaddr_in Peer = {};
  socklen_t Length = sizeof Peer;
  ::getpeername(Fd, reinterpret_cast<sockaddr*>(&Peer), &Length);
  auto Socket = std::make_shared<Net::TStreamSocket>(Fd);
  TTcpConnectionRef Connection(
      new TTcpServerConnection(Socket, Net::AddressText(Peer), Net::AddressPort(Peer)));
  auto Thread = std::make_unique<TConnectionThread>(*this, Connection);
  std::lock_guard<std::mutex> Lock(FLock);
  try {
    Thread->Start();  // listed under the lock, so it is counted before its handlers run
  } catch (...) {
    Connection->Close();  // no thread for it: the peer sees the connection end
    return;
  }
  FThreads.push_back(std::move(Thread));
}

void TTcpServer::ReapFinished() {
  std::vector<std::unique_ptr<TConnectionThread>> Done;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    for (auto I = FThreads.begin(); I != FThreads.end();) {
      if ((*I)->Finished()) {
        Done.push_back(std::move(*I));
        I = FThreads.erase(I);
      } else {
        ++I;
      }
    }
  }
  Done.clear();  // joins threads that have already ended
}

}  // namespace KivTrans2
