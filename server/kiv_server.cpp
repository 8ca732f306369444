// TKivServer: lifecycle, settings, the priority queues and the dispatch tick,
// TCP intake and file intake.
#include "server/kiv_server.h"

#include <algorithm>
#include <string_view>

#include "host/files.h"
#include "host/ip_watch.h"
#include "host/net_errors.h"
#include "host/net_settings.h"
#include "host/sysutils.h"
#include "host/tcp_server.h"
#include "host/udp.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"
#include "server/file_intake.h"
#include "server/thread_timer.h"

namespace KivTrans2 {

// --- Construction and destruction ----------------------------------------------------

TKivServer::TKivServer(TComponent* AOwner) : TComponent(AOwner) {
  SetUseTCP(true);
  FInterval = kDefaultInterval;
  FMaxPriorities = 0;
  SetMaxPriorities(kDefaultMaxPriorities);
  FSeekOtherTimeout = kSeekOtherTimeoutMs;
  SetPort(kDefaultPort);
  FDispatchTimer = std::make_unique<TKivTransThreadTimer>();
  FDispatchTimer->SetInterval(FInterval);
  FDispatchTimer->OnTimer = [this] {
    if (FDestroying) return;
    // A woken timer sleeps again after this tick unless asked once more: ask
    // while requests are left, also when the tick raises.
    struct TRewake {
      TKivServer* Server;
      ~TRewake() {
        if (Server->FWakeOnRequest.load() && !Server->Idle()) Server->FDispatchTimer->Wake();
      }
    } Rewake{this};
    TimerOnTimer();
  };
  FFileTimer = std::make_unique<TKivTransThreadTimer>();
  FFileTimer->SetInterval(FInterval);
  // A file tick only queues, so a change in the directory is looked at at once
  // (at most one look per millisecond) however long Interval is.
  FFileTimer->SetMaxWakeSpacing(kFileWakeSpacingMs);
  FFileTimer->OnTimer = [this] {
    if (!FDestroying) ReadFileTimerOnTimer();
  };
}

TKivServer::~TKivServer() {
  // No tick and no intake reaches a server that is going away.
  FDestroying = true;
  FStopping = true;
  FAnswerDone.notify_all();
  {
    // A connection thread queues (and wakes the dispatch timer) only under the
    // lock and not once it sees FStopping: after this none is about to.
    std::lock_guard<std::mutex> Lock(FQueueLock);
  }
  FDispatchTimer.reset();
  FFileTimer.reset();
  if (FTCPServer) FTCPServer->SetActive(false);
  FUDPServer.reset();
  if (!FUseTCP) {
    DeleteFile(MarkerFile());
    // An answer written by the last ticks may not have been collected yet:
    // deleting it would leave its client waiting for an answer that was given.
    // The next Activate's Clean removes whatever is left.
    CleanExchangeFiles(/*KeepAnswers=*/true);
  }
  std::lock_guard<std::mutex> Lock(FQueueLock);
  FQueues.clear();
  FIncoming.clear();
}

void TKivServer::CreateNetworkComponents() {
  FTCPServer = std::make_unique<TTcpServer>();
  FTCPServer->SetDefaultPort(FPort);
  FTCPServer->OnConnect = [this](const std::shared_ptr<TTcpServerConnection>& P) {
    TCPServerConnect(P);
  };
  FTCPServer->OnExecute = [this](const std::shared_ptr<TTcpServerConnection>& P) {
    TCPServerExecute(P);
  };
  FTCPServer->OnDisconnect = [this](const std::shared_ptr<TTcpServerConnection>& P) {
    TCPServerDisconnect(P);
  };
  FUDPServer = std::make_unique<TUdpServer>();
  FUDPServer->SetBroadcastEnabled(true);
  FUDPServer->OnUDPRead = [this](TUdpServer*, const std::string& Data, TUdpBinding& Binding) {
    UDPServerUDPRead(Data, Binding);
  };
  FUDPClient = std::make_unique<TUdpClient>();
  FUDPClient->SetBroadcastEnabled(true);
  FUDPClient->SetPort(FPort);
  FIPWatch = std::make_unique<TIPWatch>();
  FComponentsCreated = true;
}

// --- Settings ---------------------------------------------------------------------

void TKivServer::SetUseTCP(bool Value) {
  FUseTCP = Value;
  if (!Designing() && Value && !FComponentsCreated) CreateNetworkComponents();
}

void TKivServer::SetPort(int Value) {
  FPort = Value;
  if (!Designing() && FUseTCP && FUDPClient) FUDPClient->SetPort(Value);
}

void TKivServer::SetInterval(uint32_t Value) {
  FInterval = Value;
  if (FDispatchTimer) FDispatchTimer->SetInterval(Value);
  if (FFileTimer) FFileTimer->SetInterval(Value);
}

void TKivServer::SetWakeOnRequest(bool Value) {
  FWakeOnRequest = Value;
  FDispatchTimer->SetWakeOnRequest(Value);
  if (Value && !Idle()) FDispatchTimer->Wake();
  // The file timer likewise sleeps until the directory changes.
  FFileTimer->SetWakeOnRequest(Value);
  if (FActive && !FUseTCP) {
    if (Value)
      FFileTimer->WatchDirectory(GetServerDir());
    else
      FFileTimer->StopWatchingDirectory();
  }
}

void TKivServer::SetMaxPriorities(int Value) {
  if (Value < 1) throw EKivServerError("Could not set MaxPriorities. Value must be at least 1.");
  if (Designing()) {
    FMaxPriorities = Value;
    return;
  }
  std::lock_guard<std::mutex> Lock(FQueueLock);
  if (!IdleLocked())
    throw EKivServerError("Could not set MaxPriorities. Pending requests on queues.");
  if (FActive) throw EKivServerError("Could not set MaxPriorities. Server is active.");
  FQueues.resize(static_cast<size_t>(Value) + 1);
  FMaxPriorities = Value;
}

void TKivServer::SetServerDir(const std::string& Value) {
  if (Value == FServerDir) return;
  // An empty old value names the current directory; cleaning it as a side
  // effect of first setting the property would delete unrelated files.
  if (!FServerDir.empty()) Clean();
  FServerDir = Value;
  if (FActive && !FUseTCP && FWakeOnRequest) FFileTimer->WatchDirectory(GetServerDir());
}

std::string TKivServer::GetServerDir() const {
  return WithTrailingDelimiter(FServerDir);
}

void TKivServer::UpdateBindings() {
  if (!FComponentsCreated) return;
  FTCPServer->ClearBindings();
  FTCPServer->SetDefaultPort(FPort);
  FTCPServer->AddBinding(FPort);
  FUDPServer->SetDefaultPort(FPort);
  FUDPClient->SetPort(FPort);
}

// --- Start and stop -----------------------------------------------------------------

bool TKivServer::Activate() {
  FStopping = false;
  if (FUseTCP) {
    if (!SeekOtherServer()) return false;
    if (!FComponentsCreated) CreateNetworkComponents();
    UpdateBindings();
    try {
      FTCPServer->SetActive(true);
    } catch (const ECouldNotBind&) {
      throw EKivServerError("Server \"" + Name() + "\" requested TCP port already in use");
    }
    try {
      // The UDP server stays bound across DeActivate; bind it afresh so a
      // changed Port takes effect.
      FUDPServer->SetActive(false);
      FUDPServer->SetActive(true);
    } catch (const ECouldNotBind&) {
      // Accepting clients that nothing will ever answer helps no one.
      FTCPServer->SetActive(false);
      throw EKivServerError("Server \"" + Name() + "\" requested UDP port already in use");
    }
  } else {
    Clean();
    if (FWakeOnRequest) FFileTimer->WatchDirectory(GetServerDir());
    FFileTimer->SetEnabled(true);
    try {
      TTextFileWriter Marker(MarkerFile());
      Marker.Close();
    } catch (const Exception&) {
      FFileTimer->SetEnabled(false);
      FFileTimer->StopWatchingDirectory();
      throw EFileSystemError("Unable to create file KivServer.net");
    }
  }
  FActive = true;
  FDispatchTimer->SetEnabled(true);
  return true;
}

void TKivServer::DeActivate() {
  FStopping = true;
  FDispatchTimer->SetEnabled(false);
  // Answer everything queued while the transports are still up. A failing
  // answer is removed by the tick, so the drain always ends; the first failure
  // is reported once the server has stopped.
  std::exception_ptr FirstError;
  do {
    try {
      TimerOnTimer();
    } catch (...) {
      if (!FirstError) FirstError = std::current_exception();
    }
  } while (!Idle());
  FActive = false;
  if (FUseTCP) {
    if (FTCPServer) FTCPServer->SetActive(false);
  } else {
    FFileTimer->SetEnabled(false);
    FFileTimer->StopWatchingDirectory();
    DeleteFile(MarkerFile());
  }
  {
    std::lock_guard<std::mutex> Lock(FQueueLock);
    for (auto& Queue : FQueues) Queue.clear();
    FIncoming.clear();
  }
  if (FirstError) std::rethrow_exception(FirstError);
}

// --- Queues ---------------------------------------------------------------------

bool TKivServer::Idle() const {
  std::lock_guard<std::mutex> Lock(FQueueLock);
  return IdleLocked();
}

bool TKivServer::IdleLocked() const {
  for (size_t I = 1; I < FQueues.size(); ++I)
    if (!FQueues[I].empty()) return false;
  return true;
}

int TKivServer::QueueCount(int Priority) const {
  std::lock_guard<std::mutex> Lock(FQueueLock);
  if (Priority < 1 || static_cast<size_t>(Priority) >= FQueues.size()) return 0;
  return static_cast<int>(FQueues[static_cast<size_t>(Priority)].size());
}

int TKivServer::IncomingCount() const {
  std::lock_guard<std::mutex> Lock(FQueueLock);
  return static_cast<int>(FIncoming.size());
}

int TKivServer::ClampPriority(int Priority) const {
  int Max = static_cast<int>(FQueues.size()) - 1;
  return std::clamp(Priority, 1, std::max(Max, 1));
}

void TKivServer::Enqueue(const TRequestPtr& Request) {
  // A priority outside 1..MaxPriorities never indexes a queue: it is clamped,
  // so the client still gets its answer.
  if (FQueues.size() < 2) return;
  Request->Priority = ClampPriority(Request->Priority);
  Request->QueuedAt = TickCountMs();
  FQueues[static_cast<size_t>(Request->Priority)].push_back(Request);
  if (FWakeOnRequest.load()) FDispatchTimer->Wake();
}

void TKivServer::DeleteRequest(const TRequest* Request) {
  std::lock_guard<std::mutex> Lock(FQueueLock);
  DeleteRequestLocked(Request);
  FIntakeBytes.erase(Request);
}

void TKivServer::DeleteRequestLocked(const TRequest* Request) {
  auto Is = [Request](const TRequestPtr& R) { return R.get() == Request; };
  FIncoming.erase(std::remove_if(FIncoming.begin(), FIncoming.end(), Is), FIncoming.end());
  for (size_t I = 1; I < FQueues.size(); ++I)
    FQueues[I].erase(std::remove_if(FQueues[I].begin(), FQueues[I].end(), Is), FQueues[I].end());
}

// --- Dispatch -------------------------------------------------------------------

void TKivServer::TimerOnTimer() {
  TRequestPtr R;
  int Priority = 0;
  {
    std::lock_guard<std::mutex> Lock(FQueueLock);
    for (size_t I = 1; I < FQueues.size(); ++I) {
      if (!FQueues[I].empty()) {
        R = FQueues[I].front();
        Priority = static_cast<int>(I);
        break;
      }
    }
    if (!R) return;
    // The connection holds back lines for R until the answer is complete.
    if (OnRequest) FAnswering = R.get();
  }
  if (!OnRequest) {
    FinishAnswer(Priority, R.get());
    return;
  }
  if (FUseTCP)
    AnswerTCP(Priority, R);
  else
    AnswerFS(Priority, R);
}

void TKivServer::FinishAnswer(int Priority, const TRequest* Request) {
  {
    std::lock_guard<std::mutex> Lock(FQueueLock);
    if (FAnswering == Request) FAnswering = nullptr;
    // The head may have changed meanwhile: the connection ended, or the queue
    // was emptied. Remove it only if it is still this request.
    if (static_cast<size_t>(Priority) < FQueues.size()) {
      auto& Queue = FQueues[static_cast<size_t>(Priority)];
      if (!Queue.empty() && Queue.front().get() == Request) Queue.pop_front();
    }
  }
  FAnswerDone.notify_all();
}

void TKivServer::AnswerTCP(int Priority, const TRequestPtr& R) {
  // Holding the sink keeps the connection object valid until the answer ends.
  std::shared_ptr<TLineSink> Peer = R->Peer;
  try {
    if (!Peer) throw EKivServerError("Request has no connection");
    Peer->WriteLine(kAnswerLine);
    Peer->WriteLine(MakeCodLine(R->Code));
    R->GoTopLine();
    OnRequest(this, R.get());
    Peer->WriteLine(kEndLine);
    Peer->Flush();
  } catch (...) {
    // The answer is cut short: the client has what was written, without "@end".
    try {
      if (Peer) Peer->Flush();
    } catch (...) {
    }
  }
  FinishAnswer(Priority, R.get());
}

void TKivServer::AnswerFS(int Priority, const TRequestPtr& R) {
  const std::string Working = R->BaseName + ".AN1";
  try {
    R->AnswerFile = std::make_unique<TTextFileWriter>(Working);
    OnRequest(this, R.get());
    R->AnswerFile->Close();
    R->AnswerFile.reset();
  } catch (...) {
    // Do not leave a half answer behind, nor the request at the head where it
    // would fail again at every tick and block everything queued after it.
    R->AnswerFile.reset();
    DeleteFile(Working);
    FinishAnswer(Priority, R.get());
    throw;
  }
  RenameFile(Working, R->BaseName + ".ANS");
  FinishAnswer(Priority, R.get());
}

// --- TCP intake (connection threads) --------------------------------------------------

void TKivServer::TCPServerConnect(const std::shared_ptr<TTcpServerConnection>& Peer) {
  auto R = std::make_shared<TRequest>(this);
  R->Peer = Peer;
  Peer->SetData(R);  // released at disconnect, which breaks the cycle
  if (OnPeerConnect) OnPeerConnect(Peer);
}

void TKivServer::TCPServerExecute(const std::shared_ptr<TTcpServerConnection>& Peer) {
  std::string Line = Peer->ReadLn();
  if (FStopping || Line.empty()) return;
  auto R = std::static_pointer_cast<TRequest>(Peer->Data());
  if (!R) return;
  std::unique_lock<std::mutex> Lock(FQueueLock);
  // A new request's lines may arrive while the previous one on this connection
  // is still being answered (after a client time-out): hold them back.
  FAnswerDone.wait(Lock, [&] { return FAnswering != R.get() || FDestroying.load(); });
  if (FStopping) return;
  if (!IntakeLine(R, std::move(Line))) {
    Lock.unlock();
    // The request went past a size limit and was dropped: ending the
    // connection tells the client at once instead of after its answer window.
    Peer->Disconnect();
  }
}

bool TKivServer::IntakeLine(const TRequestPtr& R, std::string Line) {
  const TServerLineKind Kind = ClassifyServerLine(Line);
  // The lines that become an entry count towards the request's limits.
  size_t Stored = 0;
  bool Stores = true;
  if (Kind == TServerLineKind::Data)
    Stored = Line.size();
  else if (Kind == TServerLineKind::CsEnd)
    Stored = std::string_view(kCsEndLine).size();
  else if (Kind != TServerLineKind::EmptyString)
    Stores = false;
  if (Stores) {
    TIntakeSize& Size = FIntakeBytes[R.get()];
    if (Size.Request.lock() != R) Size = {R, 0};  // new, or left by a request that has gone
    if (R->Lines.size() >= MaxRequestEntries() || Size.Bytes + Stored > MaxRequestBytes()) {
      DeleteRequestLocked(R.get());
      std::vector<std::string>().swap(R->Lines);
      FIntakeBytes.erase(R.get());
      return false;
    }
    Size.Bytes += Stored;
  }
  switch (Kind) {
    case TServerLineKind::Data:
      R->Lines.push_back(std::move(Line));
      break;
    case TServerLineKind::Prior:
      if (auto P = ParsePriorityChar(Line)) R->Priority = *P;
      break;
    case TServerLineKind::End:
      // Queued once, under its latest priority: a repeated "@end" moves the
      // request instead of adding it again, so a peer cannot grow a queue
      // without end nor have one request answered over and over.
      DeleteRequestLocked(R.get());
      Enqueue(R);
      break;
    case TServerLineKind::Request:
      DeleteRequestLocked(R.get());
      FIncoming.push_back(R);
      R->Lines.clear();
      FIntakeBytes.erase(R.get());
      break;
    case TServerLineKind::Cod:
      if (auto C = ParseCode(Line)) R->Code = *C;
      break;
    case TServerLineKind::EmptyString:
      R->Lines.emplace_back();
      break;
    case TServerLineKind::CsEnd:
      R->Lines.push_back(kCsEndLine);
      break;
    case TServerLineKind::Empty:
    case TServerLineKind::Other:
      break;
  }
  return true;
}

void TKivServer::TCPServerDisconnect(const std::shared_ptr<TTcpServerConnection>& Peer) {
  auto R = std::static_pointer_cast<TRequest>(Peer->Data());
  if (R) {
    // Every occurrence goes: a request whose connection has ended is never
    // answered through it.
    DeleteRequest(R.get());
    Peer->SetData(nullptr);
  }
  if (OnPeerDisconnect) OnPeerDisconnect(Peer);
}

// --- File intake (main thread) --------------------------------------------------------

void TKivServer::ReadFileTimerOnTimer() {
  if (FStopping) return;
  const std::string Dir = GetServerDir();
  for (const std::string& Name : ListFiles("*.REQ", Dir)) {
    const std::string Base = Dir + Name.substr(0, Name.find('.'));
    const std::string FileName = Base + ".REQ";
    if (FileSize(FileName) > static_cast<int64_t>(MaxRequestFileSize())) {
      DeleteFile(FileName);  // too large to be read at all
      continue;
    }
    auto Lines = LoadRequestFile(FileName);
    if (!Lines) continue;  // not readable now: it stays and is tried next tick
    std::optional<int> Priority;
    if (!Lines->empty() && Lines->size() - 1 <= MaxRequestEntries())
      Priority = ParsePriorityChar(Lines->front());
    if (Priority) {
      auto R = std::make_shared<TRequest>(this);
      R->BaseName = Base;
      R->Priority = *Priority;
      Lines->erase(Lines->begin());
      R->Lines = std::move(*Lines);
      std::lock_guard<std::mutex> Lock(FQueueLock);
      Enqueue(R);
    }
    // Served or malformed (empty, no priority digit, too many entries), the
    // file is taken once.
    DeleteFile(FileName);
  }
}

void TKivServer::Clean() {
  CleanExchangeFiles(/*KeepAnswers=*/false);
}

void TKivServer::CleanExchangeFiles(bool KeepAnswers) {
  const std::string Dir = GetServerDir();
  for (const char* Ext : kExchangeExtensions) {
    if (KeepAnswers && std::string_view(Ext) == kAnswerExtension) continue;
    for (const std::string& Name : ListFiles(std::string("*.") + Ext, Dir)) DeleteFile(Dir + Name);
  }
}

// --- Published properties ---------------------------------------------------------------

const TComponentClass& TKivServer::Class() {
  auto Self = [](const TComponent& C) -> const TKivServer& {
    return static_cast<const TKivServer&>(C);
  };
  auto Mut = [](TComponent& C) -> TKivServer& { return static_cast<TKivServer&>(C); };
  static const TComponentClass Info{
      "TKivServer",
      [](TComponent* AOwner) -> TComponent* { return new TKivServer(AOwner); },
      {
          {"MaxPriorities", TPropertyKind::Integer, "Integer", "3",
           [=](const TComponent& C) { return IntToStr(Self(C).MaxPriorities()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetMaxPriorities(StrToInt(V)); }},
          {"UseTCP", TPropertyKind::Boolean, "Boolean", "True",
           [=](const TComponent& C) { return BoolToText(Self(C).UseTCP()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetUseTCP(TextToBool(V)); }},
          {"Port", TPropertyKind::Integer, "Integer", "2000",
           [=](const TComponent& C) { return IntToStr(Self(C).Port()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetPort(StrToInt(V)); }},
          {"ServerDir", TPropertyKind::String, "string", "",
           [=](const TComponent& C) { return Self(C).ServerDir(); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetServerDir(V); }},
          {"SeekKey", TPropertyKind::String, "string", "",
           [=](const TComponent& C) { return Self(C).SeekKey(); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetSeekKey(V); }},
          {"OnRequest", TPropertyKind::Event, "TRequestEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnRequest ? "assigned" : ""; }, nullptr},
          {"OnOtherServerFound", TPropertyKind::Event, "TOtherServerFoundEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnOtherServerFound ? "assigned" : ""; },
           nullptr},
          {"OnNotificationReceived", TPropertyKind::Event, "TNotificationReceivedEvent",
           std::nullopt,
           [=](const TComponent& C) { return Self(C).OnNotificationReceived ? "assigned" : ""; },
           nullptr},
      }};
  return Info;
}

}  // namespace KivTrans2
