// server/kiv_server.h — TKivServer, the component that receives requests from
// clients, queues them by priority and answers them one per tick on the main
// thread through OnRequest. Public API.
//
// Threads: every operation here is called on the main thread, and every event
// runs there, except OnPeerConnect and OnPeerDisconnect, which run on the TCP
// connection's own thread. The queues are shared with the connection threads
// and guarded by one lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "discovery/datagrams.h"
#include "host/component.h"
#include "host/kiv_export.h"
#include "message/request.h"

namespace KivTrans2 {

class TKivServer;
class TKivTransThreadTimer;
class TTcpServer;
class TTcpServerConnection;
class TUdpServer;
class TUdpClient;
class TUdpBinding;
class TIPWatch;

// The application's answer handler: read Request, write the answer through it.
using TRequestEvent = std::function<void(TKivServer* Sender, TRequest* Request)>;
// A TCP peer connected or disconnected; runs on the connection's thread.
using TPeerEvent = std::function<void(const std::shared_ptr<TTcpServerConnection>& Peer)>;
// The duplicate-server check found servers; the handler may change GiveUpFlag.
// The list and its entries belong to the check and go when the handler returns.
using TOtherServerFoundEvent = std::function<void(
    TKivServer* Sender, const std::vector<std::unique_ptr<TMachine>>& OtherServers,
    bool& GiveUpFlag)>;
// A notification datagram arrived; Data is its text after "@notify ".
using TNotificationReceivedEvent = std::function<void(TKivServer* Sender, const std::string& Data)>;

inline constexpr int kDefaultPort = 2000;
inline constexpr uint32_t kDefaultInterval = 25;
inline constexpr int kDefaultMaxPriorities = 3;
inline constexpr int kSeekOtherTimeoutMs = 1000;
inline constexpr char kMarkerFileName[] = "KivServer.net";

class KIV_API TKivServer : public TComponent, public TRequestOwner {
 public:
  // An inactive server; at run time its TCP-mode network components exist from
  // here on. AOwner (may be null) destroys it.
  explicit TKivServer(TComponent* AOwner);
  // Stops both timers first (a server may be destroyed while active), closes the
  // transports, and in FS mode deletes the marker file and cleans the directory.
  ~TKivServer() override;

  static const TComponentClass& Class();
  const TComponentClass& ClassInfo() const override { return Class(); }

  // True when the server has started, False when the start was given up because
  // another server with this key runs on this machine. Raises EKivServerError
  // when a port is taken (and then leaves nothing bound), EFileSystemError when
  // the marker file cannot be created (and then takes no request files).
  bool Activate();
  // Stops intake, answers everything queued, then closes the transports and
  // empties the lists.
  void DeActivate();
  bool Active() const { return FActive; }
  // True when every queue is empty.
  bool Idle() const;
  // Copies Port into the TCP and UDP transports.
  void UpdateBindings();

  // --- Published properties ---
  int MaxPriorities() const { return FMaxPriorities; }
  // Raises EKivServerError while requests are queued, while active, or for a
  // value below 1.
  void SetMaxPriorities(int Value);
  bool UseTCP() const { return FUseTCP; }
  void SetUseTCP(bool Value);
  int Port() const { return FPort; }
  void SetPort(int Value);
  const std::string& ServerDir() const { return FServerDir; }
  // Cleans the directory that the old value names (not when it was empty).
  void SetServerDir(const std::string& Value);
  const std::string& SeekKey() const { return FSeekKey; }
  void SetSeekKey(const std::string& Value) { FSeekKey = Value; }
  TRequestEvent OnRequest;
  TOtherServerFoundEvent OnOtherServerFound;
  TNotificationReceivedEvent OnNotificationReceived;

  // --- Public, not published ---
  uint32_t Interval() const { return FInterval; }
  // Changes the pause of both timers from their next pause on.
  void SetInterval(uint32_t Value);
  // False (the default): the dispatch tick runs every Interval. True: it does
  // not run while every queue is empty; a request queued then is served at once
  // when at least Interval has passed since the previous tick, else when it has.
  // Ticks stay at least Interval apart, one request each, most urgent first.
  // In FS mode the file tick likewise runs when the server directory changes
  // (at most once a millisecond, and once a second in case a change went
  // unseen), or every Interval where the system does not report changes (a
  // network share).
  bool WakeOnRequest() const { return FWakeOnRequest.load(); }
  void SetWakeOnRequest(bool Value);
  // Wait for each reply of the duplicate-server check (1000 ms by default).
  int SeekOtherTimeout() const { return FSeekOtherTimeout; }
  void SetSeekOtherTimeout(int Ms) { FSeekOtherTimeout = Ms; }
  TPeerEvent OnPeerConnect;
  TPeerEvent OnPeerDisconnect;

  // ServerDir with a trailing directory separator; empty when ServerDir is.
  std::string GetServerDir() const;
  bool GetUseTCP() const override { return FUseTCP; }

  // --- The ticks and handlers (run by the timers and transports) ---

  // The dispatch tick: answers the oldest request of the most urgent non-empty
  // queue, if any.
  void TimerOnTimer();
  // Removes every occurrence of Request from the incoming list and every queue,
  // and forgets the size its intake has counted (the connection has ended).
  void DeleteRequest(const TRequest* Request);
  // The file tick: queues every request file of the server directory.
  void ReadFileTimerOnTimer();
  // Deletes the exchange files of the server directory.
  void Clean();
  // The duplicate-server check: False when the start is to be given up. Blocks
  // for at least SeekOtherTimeout, serving the main thread's queued calls
  // meanwhile (other events may run inside Activate).
  bool SeekOtherServer();

  // Number of requests queued at Priority (1..MaxPriorities); 0 outside.
  int QueueCount(int Priority) const;
  // Number of requests still arriving over TCP.
  int IncomingCount() const;

 private:
  static constexpr uint32_t kFileWakeSpacingMs = 1;
  using TRequestPtr = std::shared_ptr<TRequest>;

  // Clean, but answer files (".ANS") may stay: the destructor keeps the
  // answers that clients have not collected yet.
  void CleanExchangeFiles(bool KeepAnswers);
  void CreateNetworkComponents();
  void SetMaxPrioritiesLocked(int Value);
  bool IdleLocked() const;
  int ClampPriority(int Priority) const;
  void Enqueue(const TRequestPtr& Request);  // REQUIRES: FQueueLock held
  void DeleteRequestLocked(const TRequest* Request);
  void RemoveHeadIf(int Priority, const TRequest* Request);
  void FinishAnswer(int Priority, const TRequest* Request);
  void AnswerTCP(int Priority, const TRequestPtr& Request);
  void AnswerFS(int Priority, const TRequestPtr& Request);
  std::string MarkerFile() const { return GetServerDir() + kMarkerFileName; }

  // Applies one received line to a connection's request and the lists.
  // Returns false when the line takes the request past MaxRequestEntries() or
  // MaxRequestBytes(): the request is then dropped from every list and emptied,
  // and its connection is to be closed.
  // REQUIRES: FQueueLock held, the request not being answered.
  bool IntakeLine(const TRequestPtr& Request, std::string Line);
  // Feeds IntakeLine without a network (fuzzing and tests).
  friend class TIntakeProbe;

  void TCPServerConnect(const std::shared_ptr<TTcpServerConnection>& Peer);
  void TCPServerExecute(const std::shared_ptr<TTcpServerConnection>& Peer);
  void TCPServerDisconnect(const std::shared_ptr<TTcpServerConnection>& Peer);
  void UDPServerUDPRead(const std::string& Data, TUdpBinding& Binding);

  // Owned transports; at run time they exist from construction on.
  std::unique_ptr<TTcpServer> FTCPServer;
  std::unique_ptr<TUdpServer> FUDPServer;
  std::unique_ptr<TUdpClient> FUDPClient;
  std::unique_ptr<TIPWatch> FIPWatch;
  std::unique_ptr<TKivTransThreadTimer> FDispatchTimer;
  std::unique_ptr<TKivTransThreadTimer> FFileTimer;

  // Guards the queues, the incoming list and which request is being answered.
  mutable std::mutex FQueueLock;
  // Signalled when an answer is complete, for a connection holding back its
  // next lines.
  std::condition_variable FAnswerDone;
  std::vector<std::deque<TRequestPtr>> FQueues;  // GUARDED_BY(FQueueLock); [0] never served
  std::vector<TRequestPtr> FIncoming;            // GUARDED_BY(FQueueLock)
  const TRequest* FAnswering = nullptr;          // GUARDED_BY(FQueueLock)
  // Bytes of the entries each TCP request has stored since its "@request".
  // An entry whose request has gone (Request expired) counts as none.
  struct TIntakeSize {
    std::weak_ptr<TRequest> Request;
    size_t Bytes = 0;
  };
  std::unordered_map<const TRequest*, TIntakeSize> FIntakeBytes;  // GUARDED_BY(FQueueLock)

  // Read by the connection threads, written on the main thread.
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FDestroying{false};
  // Written on the main thread; read by whoever queues a request.
  std::atomic<bool> FWakeOnRequest{false};

  // Owned by the main thread.
  bool FActive = false;
  bool FComponentsCreated = false;
  int FPort = kDefaultPort;
  uint32_t FInterval = kDefaultInterval;
  int FMaxPriorities = 0;
  std::string FServerDir;
  std::string FSeekKey;
  bool FUseTCP = true;
  int FSeekOtherTimeout = kSeekOtherTimeoutMs;
};

}  // namespace KivTrans2
