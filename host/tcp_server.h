// host/tcp_server.h — a TCP server that serves each accepted connection on a
// thread of its own, and the connection object its handlers receive. Public API.
//
// Each connection's thread runs OnConnect once, OnExecute again and again while
// the connection is open, and OnDisconnect once at the end: after a read that
// found the connection closed, after an exception that left a handler (caught
// on the connection's thread; the connection is then closed), and after the
// server was deactivated. A thread serves one connection at a time; once that
// ended it may serve a later one (a few idle threads are kept, so a new
// connection starts without a thread start). Connection objects are shared
// (std::shared_ptr): the library may keep one beyond its thread, and it stays
// valid; its socket is closed when its handlers are done, so writes on it then
// raise. At most MaxConnections() (host/net_settings.h) connections are open
// at once: one beyond it is closed as soon as it is accepted, without a
// handler call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kiv_export.h"
#include "host/line_sink.h"

namespace KivTrans2 {

namespace Net {
class TStreamSocket;
class TWakePipe;
}  // namespace Net

class TTcpServer;

class KIV_API TTcpServerConnection : public TLineSink {
 public:
  ~TTcpServerConnection() override;
  TTcpServerConnection(const TTcpServerConnection&) = delete;
  TTcpServerConnection& operator=(const TTcpServerConnection&) = delete;

  // Reads one line without its end (ends at LF, one CR before it dropped),
  // waiting without a time limit; flushes the pending writes first. Raises
  // EConnectionClosed when the peer has closed or the connection was shut down
  // (Disconnect, server deactivation), ELineTooLong past MaxLineLength() (the
  // connection is closed then). Called on the connection's own thread.
  std::string ReadLn();

  // Buffers Line and CR LF; the buffer leaves on Flush, before the next ReadLn
  // and whenever 64 KiB are waiting. Whoever writes a message from another
  // thread than the connection's calls Flush at its end. Raises
  // EConnectionClosed once the connection is closed, ESocketError. Thread safe.
  void WriteLine(const std::string& Line) override;
  void Flush() override;  // thread safe; raises as WriteLine

  // Shuts the connection down: a read blocked on it wakes and raises, so the
  // connection's thread runs OnDisconnect and ends. Thread safe; idempotent.
  void Disconnect();
  // Not shut down, and the peer's end of stream not yet read. Thread safe.
  bool Connected() const;

  // The peer's address; constant.
  const std::string& PeerIP() const { return FPeerIP; }
  int PeerPort() const { return FPeerPort; }

  // One object of the library's, for its handlers. Guarded by a lock of its
  // own, so any thread may use it. The connection's thread clears it after
  // OnDisconnect, which breaks any cycle between the object and this
  // connection.
  std::shared_ptr<void> Data() const;
  void SetData(std::shared_ptr<void> Value);

 private:
  friend class TTcpServer;
  TTcpServerConnection(std::shared_ptr<Net::TStreamSocket> Socket, std::string PeerIP,
                       int PeerPort);
  std::shared_ptr<Net::TStreamSocket> Socket() const;  // raises EConnectionClosed when closed
  void Close();                                        // the connection's thread, at its end

  const std::string FPeerIP;
  const int FPeerPort;
  mutable std::mutex FLock;
  std::shared_ptr<Net::TStreamSocket> FSocket;  // GUARDED_BY(FLock); null once closed
  std::shared_ptr<void> FData;                  // GUARDED_BY(FLock)
};

using TTcpConnectionRef = std::shared_ptr<TTcpServerConnection>;

class KIV_API TTcpServer {
 public:
  using TConnectionEvent = std::function<void(const TTcpConnectionRef& Connection)>;

  TTcpServer();
  // Deactivates (see SetActive(false)). REQUIRES: the thread that owns the
  // server, not one of its connection threads.
  ~TTcpServer();
  TTcpServer(const TTcpServer&) = delete;
  TTcpServer& operator=(const TTcpServer&) = delete;

  // Bindings: where SetActive(true) listens. With no binding, on DefaultPort()
  // on every interface. Changes apply at the next activation.
  // REQUIRES: the owning thread.
  void ClearBindings();
  void SetDefaultPort(int Port);
  int DefaultPort() const { return FDefaultPort; }
  // One binding on Port (0: the system picks a free port, see BoundPort); on
  // every interface, or on the one with the dotted address IP.
  void AddBinding(int Port, const std::string& IP = "");

  // True binds and listens on every binding (SO_REUSEADDR, so a restarted
  // server binds again at once) and starts accepting; raises ECouldNotBind
  // when a port cannot be bound (taken by another listener), ESocketError on
  // other failures, and then nothing listens. False stops accepting, shuts
  // down every open connection and waits until every connection thread (idle
  // ones too) has ended; on the main thread it keeps serving
  // Synchronize meanwhile, so handlers waiting there can finish. Setting the
  // current value again does nothing. REQUIRES: the owning thread, never a
  // connection thread of this server (raises Exception there).
  void SetActive(bool Value);
  bool Active() const { return FActive.load(); }  // thread safe

  // The port the first binding listens on while active; 0 when inactive.
  // Thread safe.
  int BoundPort() const { return FBoundPort.load(); }

  // Connections whose handlers have not all run yet (OnDisconnect included).
  // Thread safe.
  int ConnectionCount() const;

  // Handlers, run on each connection's own thread; several connections run at
  // once. Set them while the server is inactive.
  TConnectionEvent OnConnect;
  TConnectionEvent OnExecute;  // called again while the connection is open
  TConnectionEvent OnDisconnect;

 private:
  class TWorker;
  struct TBinding {
    int Port;
    std::string IP;
  };
  friend class TWorker;

  // Workers kept idle between connections, beyond the one that leads.
  static constexpr int kIdleWorkers = 4;

  void Activate();
  void Deactivate();
  // Worker threads. NextConnection waits for the worker's turn to lead, then
  // for a connection; null when the server stops (the worker then ends).
  TTcpConnectionRef NextConnection(TWorker& Self);
  int AcceptOne();  // the leader: an accepted descriptor, or -1 when stopping
  // After a connection: false when the worker should end.
  bool ConnectionEnded(TWorker& Self);
  void StartWorkerLocked();  // REQUIRES: FLock held

  // Owning thread only; FPollFds is also read by the leading worker while active.
  int FDefaultPort = 0;
  std::vector<TBinding> FBindings;
  std::vector<int> FListeners;
  std::vector<int> FPollFds;  // the listeners, then the wake pipe
  std::unique_ptr<Net::TWakePipe> FWake;

  std::atomic<bool> FActive{false};
  std::atomic<int> FBoundPort{0};

  mutable std::mutex FLock;
  std::condition_variable FTurn;                   // an idle worker may lead
  std::vector<std::unique_ptr<TWorker>> FWorkers;  // GUARDED_BY(FLock)
  int FOpen = 0;                                   // GUARDED_BY(FLock): connections served
  int FIdle = 0;           // GUARDED_BY(FLock): workers waiting to lead or leading
  bool FLeading = false;   // GUARDED_BY(FLock): a worker waits on the listeners
  bool FStopping = false;  // GUARDED_BY(FLock)
};

}  // namespace KivTrans2
