// TKivConnection: settings, the TCP connection, and sending a request over TCP
// or as a request file.
#include "client/kiv_connection.h"

#include "client/kiv_client.h"
#include "client/wait_thread.h"
#include "host/files.h"
#include "host/net_errors.h"
#include "host/sysutils.h"
#include "host/tcp_client.h"
#include "host/udp.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"

namespace KivTrans2 {

namespace {

std::atomic<int32_t> gRequestCounter{0};

// The reference behaviour (the Windows builds) lets Blocking make Request wait
// for the answer; the Linux build never waits.
#if defined(KIVTRANS2_VARIANT_win1) || defined(KIVTRANS2_VARIANT_win2)
constexpr bool kBlockingWaits = true;
#else
constexpr bool kBlockingWaits = false;
#endif

// Attempts at a request name that no other client is using in the directory.
constexpr int kNameAttempts = 32;

std::string NewRequestName() {
  return MakeRequestName([](int N) { return Random(N); }, "");
}

}  // namespace

int32_t RequestCounter() { return gRequestCounter.load(); }
void SetRequestCounter(int32_t Value) { gRequestCounter = Value; }

TKivConnection::TKivConnection(TComponent* AOwner) : TComponent(AOwner) {
  SetPort(2000);  // only stores: the mode is not TCP yet
  FUseTCP = false;
  SetUseTCP(true);
}

TKivConnection::~TKivConnection() {
  FDestroying = true;
  for (auto& T : FRetired) T->Cancel();
  if (FWaitThread) FWaitThread->Cancel();
  FRetired.clear();
  FWaitThread.reset();
}

void TKivConnection::CreateNetworkComponents() {
  FTCPClient = std::make_shared<TTcpClient>();
  FTCPClient->OnConnected = [this](TTcpClient* Sender) { TCPClientOnConnected(Sender); };
  FTCPClient->OnDisconnected = [this](TTcpClient* Sender) { TCPClientOnDisconnected(Sender); };
  FTCPClient->SetPort(FPort);
  FUDPClient = std::make_unique<TUdpClient>();
  FUDPClient->SetBroadcastEnabled(true);
  FUDPClient->SetPort(FPort);
  FComponentsCreated = true;
}

// --- Settings -------------------------------------------------------------------------

void TKivConnection::SetUseTCP(bool Value) {
  FUseTCP = Value;
  if (!Designing() && Value && !FComponentsCreated) CreateNetworkComponents();
}

void TKivConnection::SetPort(int Value) {
  FPort = Value;
  if (!Designing() && FUseTCP && FComponentsCreated) {
    FTCPClient->SetPort(Value);
    FUDPClient->SetPort(Value);
  }
}

void TKivConnection::SetHost(const std::string& Value) {
  FHost = Value;
  if (!Designing() && FUseTCP && FComponentsCreated) {
    FTCPClient->SetHost(Value);
    FUDPClient->SetHost(Value);
  }
}

std::string TKivConnection::GetServerDir() const { return WithTrailingDelimiter(FServerDir); }

// --- The TCP connection -------------------------------------------------------------

void TKivConnection::Connect() {
  if (!FUseTCP) return;
  if (!FComponentsCreated) CreateNetworkComponents();
  FTCPClient->SetHost(FHost);
  FTCPClient->SetPort(FPort);
  try {
    FTCPClient->Connect();
  } catch (const ETcpAlreadyConnected&) {
    Disconnect();
    try {
      FTCPClient->Connect();
    } catch (const ESocketError&) {
      throw ETCPError("Could not establish TCP connection");
    }
  } catch (const ESocketError&) {
    throw ETCPError("Could not establish TCP connection");
  }
}

void TKivConnection::Disconnect() {
  if (!FUseTCP || !FTCPClient) return;
  FTCPClient->Disconnect();
}

bool TKivConnection::Connected() const { return FTCPClient && FTCPClient->Connected(); }

void TKivConnection::TCPClientOnConnected(TTcpClient* Sender) {
  if (OnConnected && !FDestroying) OnConnected(Sender);
}

void TKivConnection::TCPClientOnDisconnected(TTcpClient* Sender) {
  // The exchange in progress ends by itself when its connection closes, and
  // releases the busy flag then; clearing it here could free the flag of a
  // new exchange that is reconnecting.
  if (OnDisconnected && !FDestroying) OnDisconnected(Sender);
}

// --- Sending a request ----------------------------------------------------------------

void TKivConnection::ReleaseBusy(uint64_t Id) {
  uint64_t Expected = Id;
  FBusyOwner.compare_exchange_strong(Expected, 0);
}

void TKivConnection::Request(TKivClient* Client) {
  auto InUse = [&] {
    return EAlreadyWorking("Connection \"" + Name() + "\" is in use by client \"" +
                           (FClient ? FClient->Name() : std::string()) + "\"");
  };
  if (FBusyOwner.load() != 0) throw InUse();
  const uint64_t Id = ++FLastExchange;
  uint64_t Idle = 0;
  if (!FBusyOwner.compare_exchange_strong(Idle, Id)) throw InUse();
  FClient = Client;
  FreeNotification(Client);

  TExchange Exchange;
  Exchange.Connection = this;
  Exchange.Client = Client;
  Exchange.Id = Id;
  Exchange.UseTCP = FUseTCP;
  Exchange.AutoConnect = FAutoConnect;
  Exchange.ServerDir = GetServerDir();
  try {
    if (FUseTCP)
      RequestTCP(Client, Exchange.SentCode);
    else
      RequestFS(Client, Exchange.RequestBase);
  } catch (...) {
    ReleaseBusy(Id);
    throw;
  }
  if (FWaitThread && FWaitThread->Idle()) {
    // The previous exchange is over: its thread awaits this one, so a request
    // costs no thread start.
    std::erase_if(FRetired, [](const auto& T) { return T->Finished(); });
    FWaitThread->Reuse(std::move(Exchange));
  } else {
    DisposeWaitThreads();
    FWaitThread = std::make_unique<TKivTransWaitForAnswerThread>(std::move(Exchange));
    FWaitThread->Start();
  }
  if (kBlockingWaits && FBlocking) {
    FWaitThread->Finish();
    FWaitThread->WaitFor();
  }
}

void TKivConnection::DisposeWaitThreads() {
  // Earlier threads that were still delivering an event when this connection
  // was used again from inside that event; gone once they have ended.
  std::erase_if(FRetired, [](const auto& T) { return T->Finished(); });
  if (!FWaitThread) return;
  // It ends once its exchange is over instead of awaiting another.
  FWaitThread->Finish();
  if (FWaitThread->Delivering()) {
    // Called from inside one of its events: it cannot end before we return.
    FRetired.push_back(std::move(FWaitThread));
    return;
  }
  FWaitThread->WaitFor();  // its exchange is over; it may still deliver its last events
  FWaitThread.reset();
}

void TKivConnection::RequestTCP(TKivClient* Client, int32_t& SentCode) {
  if (FAutoConnect) {
    try {
      Connect();
    } catch (...) {
      throw ETCPError("Could not establish TCP connection");
    }
  } else {
    try {
      FTCPClient->CheckForDisconnect();
    } catch (...) {
      throw ETCPError(Name() + " is not connected.");
    }
  }
  try {
    FTCPClient->WriteLine(kRequestLine);
    SentCode = gRequestCounter.fetch_add(1);
    FTCPClient->WriteLine(MakeCodLine(SentCode));
    FTCPClient->WriteLine(MakePriorLine(Client->Priority()));
    if (Client->OnRequest) Client->OnRequest(Client);
    FTCPClient->WriteLine(kEndLine);
    FTCPClient->Flush();
  } catch (...) {
    // Leave no half request behind: the server drops what it got when the
    // connection closes.
    FTCPClient->Disconnect();
    throw;
  }
}

void TKivConnection::RequestFS(TKivClient* Client, std::string& RequestBase) {
  const std::string Dir = GetServerDir();
  // Created exclusively, so two clients that draw the same name never write
  // into one file.
  std::string Base;
  for (int Attempt = 1;; ++Attempt) {
    Base = Dir + NewRequestName();
    try {
      FRequestFile = std::make_unique<TTextFileWriter>(Base + ".RE1", true);
      break;
    } catch (const EInOutError&) {
      if (Attempt < kNameAttempts && FileExists(Base + ".RE1")) continue;
      throw EFileSystemError("Could not create request file");
    }
  }
  FRequestBase = Base;
  try {
    FRequestFile->WriteLn(MakePriorLine(Client->Priority()));
    if (Client->OnRequest) Client->OnRequest(Client);
    FRequestFile->Close();
    FRequestFile.reset();
    // Publish without replacing a request of another client; on a clash the
    // request takes another name. Only a request file that is itself gone (or
    // keeps failing) is a failure: the clashing file may have been taken by
    // the server in the meantime.
    std::string Published = Base;
    for (int Attempt = 1;; ++Attempt) {
      if (RenameFileNoReplace(Base + ".RE1", Published + ".REQ")) break;
      if (Attempt >= kNameAttempts || !FileExists(Base + ".RE1"))
        throw EFileSystemError("Could not create request file");
      Published = Dir + NewRequestName();
    }
    FRequestBase = Published;
    RequestBase = Published;
  } catch (...) {
    FRequestFile.reset();
    DeleteFile(Base + ".RE1");
    throw;
  }
}

void TKivConnection::WriteLine(const std::string& S) {
  if (ContainsLineBreak(S, FUseTCP)) throw EKivClientError(LineBreakMessage("WriteLine"));
  if (FUseTCP) {
    FTCPClient->WriteLine(MakeClientTcpDataLine(S));
  } else {
    if (!FRequestFile) throw EKivClientError("WriteLine error. No request file is open");
    FRequestFile->WriteLn(MakeDataLine(S));
  }
}

void TKivConnection::WriteControlLine(const std::string& S) {
  if (ContainsLineBreak(S, FUseTCP)) throw EKivClientError(LineBreakMessage("WriteControlLine"));
  if (FUseTCP) {
    FTCPClient->WriteLine(S);
  } else {
    if (!FRequestFile) throw EKivClientError("WriteControlLine error. No request file is open");
    FRequestFile->WriteLn(S);
  }
}

// --- Clients going away ---------------------------------------------------------------

void TKivConnection::CancelExchangesOf(TKivClient* Client) {
  auto Stop = [&](std::unique_ptr<TKivTransWaitForAnswerThread>& T) {
    if (!T || T->Client() != Client) return;
    T->Cancel();
    // A client destroyed inside its own event: the thread stops touching it
    // once the event returns and is reaped later.
    if (T->Delivering()) {
      FRetired.push_back(std::move(T));
      return;
    }
    T.reset();
  };
  Stop(FWaitThread);
  for (auto& T : FRetired)
    if (T && !T->Delivering() && T->Client() == Client) {
      T->Cancel();
      T->WaitFor();
    }
  if (FClient == Client) FClient = nullptr;
}

void TKivConnection::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FClient) FClient = nullptr;
}

// --- Published properties ---------------------------------------------------------------

const TComponentClass& TKivConnection::Class() {
  auto Self = [](const TComponent& C) -> const TKivConnection& {
    return static_cast<const TKivConnection&>(C);
  };
  auto Mut = [](TComponent& C) -> TKivConnection& { return static_cast<TKivConnection&>(C); };
  static const TComponentClass Info{
      "TKivConnection",
      [](TComponent* AOwner) -> TComponent* { return new TKivConnection(AOwner); },
      {
          {"UseTCP", TPropertyKind::Boolean, "Boolean", "True",
           [=](const TComponent& C) { return BoolToText(Self(C).UseTCP()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetUseTCP(TextToBool(V)); }},
          {"Port", TPropertyKind::Integer, "Integer", "2000",
           [=](const TComponent& C) { return IntToStr(Self(C).Port()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetPort(StrToInt(V)); }},
          {"Host", TPropertyKind::String, "string", std::nullopt,
           [=](const TComponent& C) { return Self(C).Host(); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetHost(V); }},
          {"AutoConnect", TPropertyKind::Boolean, "Boolean", "True",
           [=](const TComponent& C) { return BoolToText(Self(C).AutoConnect()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetAutoConnect(TextToBool(V)); }},
          {"OnConnected", TPropertyKind::Event, "TNotifyEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnConnected ? "assigned" : ""; }, nullptr},
          {"OnDisconnected", TPropertyKind::Event, "TNotifyEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnDisconnected ? "assigned" : ""; },
           nullptr},
          {"ServerDir", TPropertyKind::String, "string", std::nullopt,
           [=](const TComponent& C) { return Self(C).ServerDir(); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetServerDir(V); }},
          {"Blocking", TPropertyKind::Boolean, "Boolean", "False",
           [=](const TComponent& C) { return BoolToText(Self(C).Blocking()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetBlocking(TextToBool(V)); }},
          {"SeekKey", TPropertyKind::String, "string", std::nullopt,
           [=](const TComponent& C) { return Self(C).SeekKey(); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetSeekKey(V); }},
      }};
  return Info;
}

}  // namespace KivTrans2
