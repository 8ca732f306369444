// Fuzz target: the server's TCP intake. The input is the byte stream one client
// connection sends; the library's line reader cuts it into lines and each line
// goes to the server's intake rule (TKivServer::IntakeLine) under the queue
// lock, as the connection's thread does. An empty line, which the intake
// ignores, stands for a dispatch tick at that point of the stream: the oldest
// most urgent request is answered by a handler that reads it and echoes it, and
// the answer is read back with the client's answer rules. A line that takes the
// request past the request limits (set small here) drops it and ends the
// connection; so does the end of the stream, and the request leaves every list.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/wait_thread.h"
#include "fuzz_support.h"
#include "host/net_settings.h"
#include "host/thread.h"
#include "message/answer.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"

namespace KivTrans2 {

// Reaches the server's intake and lists the way its connection threads do.
class TIntakeProbe {
 public:
  explicit TIntakeProbe(TKivServer& Server) : FServer(Server) {}

  // False when the line took the request past a limit: the connection is to
  // be closed.
  bool Line(const std::shared_ptr<TRequest>& R, std::string Line) {
    std::lock_guard<std::mutex> Lock(FServer.FQueueLock);
    FUZZ_CHECK(FServer.FAnswering == nullptr);
    return FServer.IntakeLine(R, std::move(Line));
  }

  // The lists as the rules leave them: the request at most once in the
  // incoming list, never in the unserved queue 0, and queued only under a
  // priority that names a queue.
  void CheckLists(const TRequest* R) const {
    std::lock_guard<std::mutex> Lock(FServer.FQueueLock);
    FUZZ_CHECK(FServer.FAnswering == nullptr);
    FUZZ_CHECK(std::count_if(FServer.FIncoming.begin(), FServer.FIncoming.end(),
                             [R](const auto& P) { return P.get() == R; }) <= 1);
    FUZZ_CHECK(FServer.FIncoming.size() <= 1);
    FUZZ_CHECK(FServer.FQueues.size() == static_cast<size_t>(FServer.MaxPriorities()) + 1);
    FUZZ_CHECK(FServer.FQueues[0].empty());
    for (const auto& Queue : FServer.FQueues)
      for (const auto& Queued : Queue) FUZZ_CHECK(Queued.get() == R);
  }

  size_t Queued() const {
    std::lock_guard<std::mutex> Lock(FServer.FQueueLock);
    size_t N = 0;
    for (const auto& Queue : FServer.FQueues) N += Queue.size();
    return N;
  }

  bool Incoming() const {
    std::lock_guard<std::mutex> Lock(FServer.FQueueLock);
    return !FServer.FIncoming.empty();
  }

  bool Empty() const {
    std::lock_guard<std::mutex> Lock(FServer.FQueueLock);
    return FServer.IdleLocked() && FServer.FIncoming.empty();
  }

 private:
  TKivServer& FServer;
};

namespace {

using Fuzz::TRecordingSink;

TKivServer* Server = nullptr;

// Small limits, so that the fuzzer reaches them.
constexpr size_t kFuzzMaxEntries = 24;
constexpr size_t kFuzzMaxBytes = 1024;

// What the connection's request must hold: every line since the latest
// "@request" in its stored form (a data line as received, "@emptystring" as an
// empty entry, "@cs-end"), and the bytes of those entries.
std::vector<std::string> Stored;
size_t StoredBytes = 0;

// What the handler of the latest tick read from the request.
std::vector<std::string> HandlerRead;
bool HandlerRan = false;

// Answers by reading the whole request and echoing it: entry by entry, or as
// string-list blocks (also the one left open at the end), chosen by the code.
void EchoRequest(TKivServer*, TRequest* R) {
  HandlerRan = true;
  HandlerRead.clear();
  FUZZ_CHECK(R->Cursor == 0);
  FUZZ_CHECK(R->Lines == Stored);
  if (R->Code % 2 == 0) {
    while (!R->IsEOF()) {
      HandlerRead.push_back(R->ReadLine());
      R->WriteLine(HandlerRead.back());
    }
  } else {
    while (!R->IsEOF()) {
      const int32_t Before = R->Cursor;
      std::vector<std::string> List;
      R->ReadStringList(List, true);
      FUZZ_CHECK(R->Cursor > Before);
      HandlerRead.insert(HandlerRead.end(), List.begin(), List.end());
      R->WriteStringList(List);
    }
  }
  // Past the end every read raises and moves nothing.
  const int32_t End = R->Cursor;
  bool Raised = false;
  try {
    R->ReadLine();
  } catch (const EKivServerError&) {
    Raised = true;
  }
  FUZZ_CHECK(Raised && R->Cursor == End);
}

// The answer the tick wrote, read the way the client reads it: the wire format
// and its line reader, then the answer rules. It must complete on its last line
// and give back what the handler read.
void CheckAnswer(const TRecordingSink& Sink, const TRequest& R) {
  FUZZ_CHECK(Sink.Lines.size() >= 3);
  FUZZ_CHECK(Sink.Lines.front() == kAnswerLine);
  FUZZ_CHECK(Sink.Lines[1] == MakeCodLine(R.Code));
  FUZZ_CHECK(Sink.Lines.back() == kEndLine);
  const std::string Wire = Fuzz::JoinWireLines(Sink.Lines);
  TAnswer Answer(nullptr);
  std::atomic<int32_t> ReceivedCode{R.Code == 0 ? 1 : 0};
  size_t Read = 0;
  bool Complete = false;
  const auto End = Fuzz::ReadStreamLines(
      reinterpret_cast<const uint8_t*>(Wire.data()), Wire.size(), [&](std::string Line) {
        ++Read;
        Complete = ApplyAnswerLine(Answer, ReceivedCode, R.Code, std::move(Line));
        return !Complete;
      });
  FUZZ_CHECK(End == Fuzz::TStreamEnd::Closed);
  FUZZ_CHECK(Complete && Read == Sink.Lines.size());
  std::vector<std::string> Texts;
  if (R.Code % 2 == 0) {
    Answer.CopyToList(Texts);
  } else {
    while (!Answer.IsEOF()) {
      std::vector<std::string> List;
      Answer.ReadStringList(List, true);
      Texts.insert(Texts.end(), List.begin(), List.end());
    }
  }
  FUZZ_CHECK(Texts == HandlerRead);
}

}  // namespace
}  // namespace KivTrans2

using namespace KivTrans2;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetMainThread();
  SetBroadcastTarget("127.255.255.255");  // nothing is sent; kept on loopback all the same
  SetMaxLineLength(Fuzz::kFuzzMaxLineLength);
  SetMaxRequestEntries(kFuzzMaxEntries);
  SetMaxRequestBytes(kFuzzMaxBytes);
  Server = new TKivServer(nullptr);  // never activated: no port is bound
  Server->OnRequest = EchoRequest;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > Fuzz::kMaxStreamBytes) return -1;
  TIntakeProbe Probe(*Server);
  // The connection's request, as TCPServerConnect makes it.
  auto Sink = std::make_shared<TRecordingSink>();
  auto R = std::make_shared<TRequest>(Server);
  R->Peer = Sink;
  Stored.clear();
  StoredBytes = 0;
  Fuzz::ReadStreamLines(Data, Size, [&](std::string Line) {
    if (Line.empty()) {
      // A dispatch tick.
      const size_t Before = Probe.Queued();
      Sink->Lines.clear();
      HandlerRan = false;
      Server->TimerOnTimer();
      FUZZ_CHECK(HandlerRan == (Before > 0));
      if (HandlerRan) {
        FUZZ_CHECK(Probe.Queued() == Before - 1);
        CheckAnswer(*Sink, *R);
      }
    } else {
      const bool IsRequest = Line == kRequestLine, IsEnd = Line == kEndLine;
      if (IsRequest) {
        Stored.clear();
        StoredBytes = 0;
      }
      std::optional<std::string> Entry;
      if (IsDataLine(Line) || Line == kCsEndLine) Entry = Line;
      if (Line == kEmptyStringLine) Entry = "";
      const bool Over = Entry && (Stored.size() + 1 > MaxRequestEntries() ||
                                  StoredBytes + Entry->size() > MaxRequestBytes());
      if (Entry && !Over) {
        Stored.push_back(*Entry);
        StoredBytes += Entry->size();
      }
      const bool Kept = Probe.Line(R, std::move(Line));
      FUZZ_CHECK(Kept == !Over);
      if (!Kept) {
        // Dropped from every list and emptied; the connection closes.
        FUZZ_CHECK(R->Lines.empty() && Probe.Queued() == 0 && !Probe.Incoming());
        return false;
      }
      FUZZ_CHECK(R->Lines == Stored);
      // "@request" takes the request out of every queue and registers it as
      // incoming; "@end" queues it, once, and ends that.
      if (IsRequest) FUZZ_CHECK(Probe.Queued() == 0 && Probe.Incoming());
      if (IsEnd) FUZZ_CHECK(Probe.Queued() == 1 && !Probe.Incoming());
    }
    Probe.CheckLists(R.get());
    return true;
  });
  // The connection has ended, as TCPServerDisconnect handles it.
  Server->DeleteRequest(R.get());
  FUZZ_CHECK(Probe.Empty());
  return 0;
}
