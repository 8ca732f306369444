// TKivClient: settings, request body writers, answer readers.
#include "client/kiv_client.h"

#include "client/kiv_connection.h"
#include "host/files.h"
#include "host/sysutils.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"

namespace KivTrans2 {

TKivClient::TKivClient(TComponent* AOwner) : TComponent(AOwner), FAnswer(this) {}

TKivClient::~TKivClient() {
  // The answer dies with this object: stop the wait that fills it first.
  if (FExchangeConnection) FExchangeConnection->CancelExchangesOf(this);
  if (FConnection && FConnection != FExchangeConnection) FConnection->CancelExchangesOf(this);
}

void TKivClient::SetConnection(TKivConnection* Value) {
  FConnection = Value;
  if (Value) FreeNotification(Value);
}

void TKivClient::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  if (AComponent == FConnection) FConnection = nullptr;
  if (AComponent == FExchangeConnection) FExchangeConnection = nullptr;
}

TKivConnection& TKivClient::RequireConnection() const {
  if (!FConnection)
    throw EKivClientError("There is no connection for client \"" + Name() + "\"");
  return *FConnection;
}

void TKivClient::Request() {
  TKivConnection& C = RequireConnection();
  FExchangeConnection = &C;
  C.Request(this);
}

void TKivClient::WriteLine(const std::string& Text) { RequireConnection().WriteLine(Text); }

void TKivClient::WriteMultiLines(const std::string& Text, int32_t ChunkLength) {
  TKivConnection& C = RequireConnection();
  std::vector<std::string> Chunks = EncodeMultiLines(Text, ChunkLength);
  // Refuse the whole block before any of it is written.
  for (const std::string& Chunk : Chunks)
    if (ContainsLineBreak(Chunk, C.UseTCP()))
      throw EKivClientError(LineBreakMessage("WriteMultiLines"));
  for (const std::string& Chunk : Chunks) WriteLine(Chunk);
  C.WriteControlLine(kCsEndLine);
}

void TKivClient::WriteStringList(const std::vector<std::string>& List) {
  TKivConnection& C = RequireConnection();
  for (const std::string& Item : List)
    if (ContainsLineBreak(Item, C.UseTCP()))
      throw EKivClientError(LineBreakMessage("WriteStringList"));
  for (const std::string& Item : List) WriteLine(Item);
  C.WriteControlLine(kCsEndLine);
}

void TKivClient::SaveToFile(const std::string& FileName, const std::string& Extension) {
  if (FileName.empty()) throw EKivClientError("Missing FileName in call to TKivClient.SaveToFile");
  TTextFileWriter File(FileName + "." + Extension);
  while (!IsEOF()) File.WriteLn(ReadLine());
  File.Close();
}

const TComponentClass& TKivClient::Class() {
  auto Self = [](const TComponent& C) -> const TKivClient& {
    return static_cast<const TKivClient&>(C);
  };
  auto Mut = [](TComponent& C) -> TKivClient& { return static_cast<TKivClient&>(C); };
  static const TComponentClass Info{
      "TKivClient",
      [](TComponent* AOwner) -> TComponent* { return new TKivClient(AOwner); },
      {
          {"Priority", TPropertyKind::Integer, "Integer", "1",
           [=](const TComponent& C) { return IntToStr(Self(C).Priority()); },
           [=](TComponent& C, const std::string& V) { Mut(C).SetPriority(StrToInt(V)); }},
          {"OnAnswer", TPropertyKind::Event, "TAnswerEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnAnswer ? "assigned" : ""; }, nullptr},
          {"OnRequest", TPropertyKind::Event, "TClientRequestEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnRequest ? "assigned" : ""; }, nullptr},
          {"OnTimeOut", TPropertyKind::Event, "TTimeOutEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnTimeOut ? "assigned" : ""; }, nullptr},
          {"OnTransEnd", TPropertyKind::Event, "TTransEndEvent", std::nullopt,
           [=](const TComponent& C) { return Self(C).OnTransEnd ? "assigned" : ""; }, nullptr},
          {"Connection", TPropertyKind::Component, "TKivConnection", std::nullopt,
           [=](const TComponent& C) {
             auto* K = Self(C).Connection();
             return K ? K->Name() : std::string();
           },
           [=](TComponent& C, const std::string& V) {
             TComponent* Found = C.Owner() ? C.Owner()->FindComponent(V) : nullptr;
             Mut(C).SetConnection(dynamic_cast<TKivConnection*>(Found));
           }},
      }};
  return Info;
}

}  // namespace KivTrans2
