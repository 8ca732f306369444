// A TCP server with one worker thread per open connection; idle workers are
// kept and reused.
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

// --- workers ---------------------------------------------------------------------

// A worker serves one connection at a time. Between connections it is idle:
// one idle worker (the leader) waits on the listeners and accepts; the others
// wait for their turn to lead. The leader that accepts a connection hands the
// lead to the next idle worker (a new one when none is left) and serves it, so
// a connection starts on the thread that accepted it, without a thread start.
class TTcpServer::TWorker : public TThread {
 public:
  explicit TWorker(TTcpServer& Server) : FServer(Server) {}
  ~TWorker() override {
    Terminate();
    DisconnectCurrent();
    WaitFor();
  }
  // Shuts down the connection being served, if any. Thread safe.
  void DisconnectCurrent() {
    TTcpConnectionRef C;
    {
      std::lock_guard<std::mutex> Lock(FLock);
      C = FConnection;
    }
    if (C) C->Disconnect();
  }

 protected:
  void Execute() override {
    GConnectionThreadOf = &FServer;
    while (TTcpConnectionRef C = FServer.NextConnection(*this)) {
      {
        std::lock_guard<std::mutex> Lock(FLock);
        FConnection = C;
      }
      // Terminated meanwhile (deactivation): the connection still gets its
      // handlers, and ends at once.
      if (Terminated()) C->Disconnect();
      Serve(C);
      {
        std::lock_guard<std::mutex> Lock(FLock);
        FConnection.reset();
      }
      if (!FServer.ConnectionEnded(*this)) break;
    }
    GConnectionThreadOf = nullptr;
  }

 private:
  void Serve(const TTcpConnectionRef& Connection) {
    try {
      if (FServer.OnConnect) FServer.OnConnect(Connection);
      while (!Terminated() && Connection->Connected()) {
        if (FServer.OnExecute)
          FServer.OnExecute(Connection);
        else
          Connection->ReadLn();  // nobody listens: read and drop
      }
    } catch (...) {
      // A failed read or a handler's exception ends the connection.
    }
    Connection->Disconnect();
    try {
      if (FServer.OnDisconnect) FServer.OnDisconnect(Connection);
    } catch (...) {
      // Nothing is left to tell; the worker goes on.
    }
    Connection->Close();
    Connection->SetData(nullptr);
  }

  TTcpServer& FServer;
  std::mutex FLock;
  TTcpConnectionRef FConnection;  // GUARDED_BY(FLock); the one being served
};

TTcpConnectionRef TTcpServer::NextConnection(TWorker& Self) {
  for (;;) {
    {
      std::unique_lock<std::mutex> Lock(FLock);
      FTurn.wait(Lock, [&] { return FStopping || !FLeading; });
      if (FStopping || Self.Terminated()) {
        --FIdle;
        return nullptr;
      }
      FLeading = true;
    }
    int Fd = AcceptOne();  // -1: the server stops
    {
      std::lock_guard<std::mutex> Lock(FLock);
      FLeading = false;
      if (Fd >= 0 && (FStopping || static_cast<size_t>(FOpen) >= MaxConnections())) {
        // Beyond the cap a connection is refused at once: closed before a
        // handler runs or a line is read, so no peer can make the server hold
        // more. This worker stays the leader.
        // This worker leads again.
        Net::CloseSocket(Fd);
        Fd = -1;
        if (!FStopping) continue;
      }
      if (Fd < 0) {
        --FIdle;
        FTurn.notify_all();
        return nullptr;
      }
      ++FOpen;
      --FIdle;
      // Someone must lead while this worker serves: an idle worker, else a new one.
      if (FIdle > 0)
        FTurn.notify_one();
      else
        StartWorkerLocked();
    }
    sockaddr_in Peer = {};
    socklen_t Length = sizeof Peer;
    ::getpeername(Fd, reinterpret_cast<sockaddr*>(&Peer), &Length);
    auto Socket = std::make_shared<Net::TStreamSocket>(Fd);
    return TTcpConnectionRef(
        new TTcpServerConnection(Socket, Net::AddressText(Peer), Net::AddressPort(Peer)));
  }
}

int TTcpServer::AcceptOne() {
  // FPollFds: the listeners, then the wake pipe; fixed while workers run.
  for (;;) {
    std::vector<bool> Ready = Net::WaitAnyReadable(FPollFds);
    if (Ready.back()) return -1;
    for (size_t I = 0; I + 1 < FPollFds.size(); ++I) {
      if (!Ready[I]) continue;
      int Fd = ::accept4(FPollFds[I], nullptr, nullptr, SOCK_CLOEXEC);
      if (Fd >= 0) return Fd;
      int Error = errno;
      if (Error == EMFILE || Error == ENFILE || Error == ENOBUFS || Error == ENOMEM) {
        // The pending connection stays in the backlog and poll would report
        // it at once again: wait a little (or for the stop).
        if (Net::WaitReadable(FPollFds.back(), kAcceptBackoffMs)) return -1;
      }
      // EAGAIN (taken meanwhile), EINTR, ECONNABORTED, EPROTO: look again.
    }
  }
}

void TTcpServer::StartWorkerLocked() {
  auto Worker = std::make_unique<TWorker>(*this);
  try {
    Worker->Start();
  } catch (...) {
    // No thread to spare: the listeners wait until a worker is free again.
    return;
  }
  ++FIdle;
  FWorkers.push_back(std::move(Worker));
}

bool TTcpServer::ConnectionEnded(TWorker& Self) {
  std::vector<std::unique_ptr<TWorker>> Done;
  bool Stay;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    --FOpen;
    // Enough idle workers are kept for the next connections; this one ends
    // when there are more, and is released by a later worker.
    Stay = !FStopping && !Self.Terminated() && FIdle < kIdleWorkers;
    if (Stay) ++FIdle;  // it leads next if nobody does
    for (auto I = FWorkers.begin(); I != FWorkers.end();) {
      if (I->get() != &Self && (*I)->Finished()) {
        Done.push_back(std::move(*I));
        I = FWorkers.erase(I);
      } else {
        ++I;
      }
    }
  }
  Done.clear();  // joins workers that have already ended
  return Stay;
}

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
  return FOpen;
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
    FPollFds = FListeners;
    FPollFds.push_back(FWake->ReadFd());
    std::lock_guard<std::mutex> Lock(FLock);
    FStopping = false;
    FLeading = false;
    StartWorkerLocked();
    if (FIdle == 0) Net::ThrowSocketError("Could not start a TCP server thread", EAGAIN);
  } catch (...) {
    FPollFds.clear();
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
  std::vector<std::unique_ptr<TWorker>> Workers;
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FStopping = true;  // no worker is started and no connection served from here on
    Workers.swap(FWorkers);
  }
  FTurn.notify_all();
  FWake->Signal();  // the leader leaves poll
  // Wake them all before waiting for any, so they end side by side.
  for (auto& W : Workers) {
    W->Terminate();
    W->DisconnectCurrent();
  }
  for (auto& W : Workers) W->WaitFor();  // serves Synchronize on the main thread
  Workers.clear();
  FPollFds.clear();
  FWake.reset();
  for (int Fd : FListeners) Net::CloseSocket(Fd);
  FListeners.clear();
  FBoundPort = 0;
}

}  // namespace KivTrans2
