// client/kiv_client.h — TKivClient, the component an application uses for one
// kind of request: its priority, its connection, its four events and the
// answer of its latest exchange. Public API.
//
// Threads: every operation is called on the main thread (Request may be called
// on another thread that the application dedicates to it); OnAnswer, OnTimeOut
// and OnTransEnd always run on the main thread; OnRequest runs inside Request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/component.h"
#include "host/kiv_export.h"
#include "message/answer.h"

namespace KivTrans2 {

class TKivClient;
class TKivConnection;

// Writes the request body through the client's write operations.
using TClientRequestEvent = std::function<void(TKivClient* Sender)>;
// A complete answer is in the client's answer, its cursor on the first line.
// Success enters true; the handler may clear it.
using TAnswerEvent = std::function<void(TKivClient* Sender, bool& Success)>;
// An answer window passed without a complete answer. GiveUpFlag enters with the
// connection's proposal; Coming is its negation (the answer may still come).
using TTimeOutEvent = std::function<void(TKivClient* Sender, bool& GiveUpFlag, bool Coming)>;
// The exchange has ended, with its outcome.
using TTransEndEvent = std::function<void(TKivClient* Sender, bool Success)>;

class KIV_API TKivClient : public TComponent {
 public:
  explicit TKivClient(TComponent* AOwner);
  // Cancels an exchange of this client still in progress (no event follows).
  ~TKivClient() override;

  static const TComponentClass& Class();
  const TComponentClass& ClassInfo() const override { return Class(); }

  // --- Published properties ---
  int32_t Priority() const { return FPriority; }
  void SetPriority(int32_t Value) { FPriority = Value; }
  TAnswerEvent OnAnswer;
  TClientRequestEvent OnRequest;
  TTimeOutEvent OnTimeOut;
  TTransEndEvent OnTransEnd;
  TKivConnection* Connection() const { return FConnection; }
  // Not owned; the client forgets it when the connection is destroyed.
  void SetConnection(TKivConnection* Value);

  // Starts an exchange through Connection. Raises EKivClientError without a
  // connection, and the connection's errors (EAlreadyWorking, ETCPError,
  // EFileSystemError, ...).
  void Request();

  // Request body, for the OnRequest handler. Raise EKivClientError without a
  // connection, or for text that holds a line break the transport cannot carry.
  void WriteLine(const std::string& Text);
  // A multi-line block of ChunkLength-byte data lines closed by "@cs-end";
  // ChunkLength must be at least 1.
  void WriteMultiLines(const std::string& Text, int32_t ChunkLength);
  void WriteStringList(const std::vector<std::string>& List);

  // The answer, as TAnswer reads it (errors name this client).
  void GoTopLine() { FAnswer.GoTopLine(); }
  bool IsEOF() const { return FAnswer.IsEOF(); }
  std::string ReadLine() { return FAnswer.ReadLine(); }
  std::string ReadMultiLines() { return FAnswer.ReadMultiLines(); }
  void ReadStringList(std::vector<std::string>& List, bool EmptyFirst) {
    FAnswer.ReadStringList(List, EmptyFirst);
  }
  void CopyToList(std::vector<std::string>& List) { FAnswer.CopyToList(List); }
  // Writes the unread rest of the answer to FileName + "." + Extension, one
  // line each. Raises EKivClientError for an empty FileName, EInOutError when
  // the file cannot be written.
  void SaveToFile(const std::string& FileName, const std::string& Extension);

  // The answer object; filled by the connection's wait thread during an
  // exchange, read by the application in OnAnswer and after the exchange.
  TAnswer& Answer() { return FAnswer; }

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TKivConnection& RequireConnection() const;

  int32_t FPriority = 1;
  TKivConnection* FConnection = nullptr;
  // The connection of the latest exchange (Connection may have changed since).
  TKivConnection* FExchangeConnection = nullptr;
  TAnswer FAnswer;
};

}  // namespace KivTrans2
