// client/kiv_connection.h — TKivConnection, the transport a TKivClient sends
// its requests through: TCP to a server's port, or request files in a shared
// directory. One exchange at a time. Public API.
//
// Threads: properties, Connect, Disconnect, Request, SeekServer and
// SendNotification are called on the main thread (or one thread the
// application dedicates to them). Each exchange's answer is awaited on a wait
// thread, which delivers the client's events on the main thread; a wait thread
// whose exchange is over awaits the connection's next exchange.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/component.h"
#include "host/kiv_export.h"
#include "discovery/datagrams.h"

namespace KivTrans2 {

class TKivClient;
class TKivTransWaitForAnswerThread;
class TTcpClient;
class TTextFileWriter;
class TUdpClient;

inline constexpr int kAnswerTimeoutMs = 8000;
inline constexpr int kSeekTimeoutMs = 1000;

// The process-wide source of TCP request codes: each TCP request takes the
// current value and increments it. Thread safe.
KIV_API int32_t RequestCounter();
KIV_API void SetRequestCounter(int32_t Value);

class KIV_API TKivConnection : public TComponent {
 public:
  // Sender is the TCP client that reported the connection or disconnection.
  using TNotifyEvent = std::function<void(TTcpClient* Sender)>;

  explicit TKivConnection(TComponent* AOwner);
  // Cancels the exchange in progress (no event follows) and waits for its wait
  // thread. REQUIRES: not called from inside an event of this connection's
  // exchange.
  ~TKivConnection() override;

  static const TComponentClass& Class();
  const TComponentClass& ClassInfo() const override { return Class(); }

  // --- Published properties ---
  bool UseTCP() const { return FUseTCP; }
  void SetUseTCP(bool Value);
  int Port() const { return FPort; }
  void SetPort(int Value);
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& Value);
  bool AutoConnect() const { return FAutoConnect; }
  void SetAutoConnect(bool Value) { FAutoConnect = Value; }
  // Run on the thread that connects or disconnects: the caller of Connect, or
  // the wait thread when the wait closes the connection.
  TNotifyEvent OnConnected;
  TNotifyEvent OnDisconnected;
  const std::string& ServerDir() const { return FServerDir; }
  void SetServerDir(const std::string& Value) { FServerDir = Value; }
  // With the reference (win1/win2) behaviour Request returns only when the wait
  // has ended, the main thread receiving the events meanwhile; the Linux build
  // stores the value and never waits.
  bool Blocking() const { return FBlocking; }
  void SetBlocking(bool Value) { FBlocking = Value; }
  const std::string& SeekKey() const { return FSeekKey; }
  void SetSeekKey(const std::string& Value) { FSeekKey = Value; }

  // --- Public, not published ---
  // The answer window in milliseconds (8000).
  int AnswerTimeout() const { return FAnswerTimeout.load(); }
  void SetAnswerTimeout(int Ms) { FAnswerTimeout = Ms; }
  // The wait for each discovery reply in milliseconds (1000).
  int SeekTimeout() const { return FSeekTimeout; }
  void SetSeekTimeout(int Ms) { FSeekTimeout = Ms; }
  // An exchange is in progress. Thread safe.
  bool Busy() const { return FBusyOwner.load() != 0; }

  // TCP mode: opens the connection to Host:Port (reconnecting when already
  // connected). Raises ETCPError "Could not establish TCP connection". Does
  // nothing in FS mode.
  void Connect();
  // TCP mode: closes the connection. Does nothing in FS mode. Thread safe.
  void Disconnect();
  // TCP mode: open and not closed by the peer.
  bool Connected() const;

  // Sends one request on behalf of Client and starts waiting for its answer.
  // Raises EAlreadyWorking while an exchange runs, ETCPError or
  // EFileSystemError when the request cannot be sent; whatever the client's
  // OnRequest raises passes through. On every failure the connection is idle
  // again and nothing half-written is left for the server.
  void Request(TKivClient* Client);

  // Request body, called through the client inside OnRequest.
  void WriteLine(const std::string& S);
  void WriteControlLine(const std::string& S);

  // ServerDir with a trailing directory separator; empty when ServerDir is.
  std::string GetServerDir() const;

  // Discovery (TCP mode only; raise EKivWrongModeError in FS mode). SeekServer
  // returns one entry per accepted reply, in order of arrival; it blocks for at
  // least SeekTimeout, serving the main thread's queued calls meanwhile (so a
  // server in the same process can answer), which lets other events run.
  std::vector<std::unique_ptr<TMachine>> SeekServer();
  void SendNotification(const std::string& Data);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  friend class TKivTransWaitForAnswerThread;
  friend class TKivClient;

  void CreateNetworkComponents();
  void RequestTCP(TKivClient* Client, int32_t& SentCode);
  void RequestFS(TKivClient* Client, std::string& RequestBase);
  void DisposeWaitThreads();
  void CancelExchangesOf(TKivClient* Client);  // the client is going away
  // Ends exchange Id's hold on the connection; a later exchange keeps its own.
  void ReleaseBusy(uint64_t Id);
  void TCPClientOnConnected(TTcpClient* Sender);
  void TCPClientOnDisconnected(TTcpClient* Sender);

  // Owned; at run time they exist from the first switch to TCP mode on.
  std::shared_ptr<TTcpClient> FTCPClient;
  std::unique_ptr<TUdpClient> FUDPClient;
  bool FComponentsCreated = false;

  // The request file while OnRequest writes it (FS mode). Caller's thread.
  std::unique_ptr<TTextFileWriter> FRequestFile;
  std::string FRequestBase;

  // The wait thread of the current or last exchange, and earlier ones still
  // delivering their last event when a new exchange began from inside it.
  std::unique_ptr<TKivTransWaitForAnswerThread> FWaitThread;
  std::vector<std::unique_ptr<TKivTransWaitForAnswerThread>> FRetired;

  TKivClient* FClient = nullptr;  // the client of the current or last exchange
  // The exchange that holds the connection, 0 when idle. Taken by Request on
  // the caller's thread, released by the exchange's end on its wait thread.
  std::atomic<uint64_t> FBusyOwner{0};
  uint64_t FLastExchange = 0;  // caller's thread
  std::atomic<bool> FDestroying{false};
  std::atomic<int32_t> FReceivedCode{0};
  std::atomic<int> FAnswerTimeout{kAnswerTimeoutMs};

  bool FUseTCP = true;
  int FPort = 2000;
  std::string FHost;
  bool FAutoConnect = true;
  std::string FServerDir;
  bool FBlocking = false;
  std::string FSeekKey;
  int FSeekTimeout = kSeekTimeoutMs;
};

}  // namespace KivTrans2
