// The answer wait: TCP answer reception and the answer-file poll, with the
// give-up rule, delivering OnAnswer, OnTimeOut and OnTransEnd on the main thread.
#include "client/wait_thread.h"

#include <algorithm>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/dir_watch.h"
#include "host/exceptions.h"
#include "host/files.h"
#include "host/net_errors.h"
#include "host/net_settings.h"
#include "host/sysutils.h"
#include "host/tcp_client.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"

namespace KivTrans2 {

namespace {
// Pause between two looks for the answer file where the directory's changes
// are not reported (a network share), and before another attempt at an answer
// file that could not be loaded.
constexpr int kAnswerPollMs = 1;
// Where changes are reported, the wait ends at the next change; this only
// bounds it, as a safety net.
constexpr int kWatchedRecheckMs = 100;
}  // namespace

TKivTransWaitForAnswerThread::TKivTransWaitForAnswerThread(TExchange Exchange)
    : FExchange(std::move(Exchange)) {}

TKivTransWaitForAnswerThread::~TKivTransWaitForAnswerThread() {
  Cancel();
  WaitFor();
}

void TKivTransWaitForAnswerThread::Finish() {
  {
    std::lock_guard<std::mutex> Lock(FNextLock);
    FFinishing = true;
  }
  FNextChanged.notify_all();
}

bool TKivTransWaitForAnswerThread::Idle() const {
  std::lock_guard<std::mutex> Lock(FNextLock);
  return FIdle && !FHasNext && !FFinishing;
}

void TKivTransWaitForAnswerThread::Reuse(TExchange Exchange) {
  {
    std::lock_guard<std::mutex> Lock(FNextLock);
    // The thread is parked on FNextChanged and touches none of these until it
    // takes the lock again.
    FExchange = std::move(Exchange);
    FCancelled = false;
    FBusyReleased = false;
    FRunning = true;
    FIdle = false;
    FHasNext = true;
  }
  FNextChanged.notify_all();
}

void TKivTransWaitForAnswerThread::Cancel() {
  Finish();
  if (FCancelled.exchange(true)) return;
  // A TCP wait blocks in the line read: closing the connection wakes it. An
  // exchange that is over leaves the connection alone.
  if (FExchange.UseTCP && FRunning.load() && FExchange.Connection->FTCPClient)
    FExchange.Connection->FTCPClient->Disconnect();
  // An FS wait may sleep until the directory changes.
  std::lock_guard<std::mutex> Lock(FWatchLock);
  if (FWatch) FWatch->Wake();
}

void TKivTransWaitForAnswerThread::Execute() {
  for (;;) {
    RunExchange();
    std::unique_lock<std::mutex> Lock(FNextLock);
    FRunning = false;
    FIdle = true;
    FNextChanged.wait(Lock, [&] { return FHasNext || FFinishing; });
    if (!FHasNext) return;
    FHasNext = false;
  }
}

void TKivTransWaitForAnswerThread::RunExchange() {
  FExchange.Client->Answer().LineArrived = false;
  if (FExchange.UseTCP)
    ReadTCP();
  else
    ReadFS();
  ReleaseBusy();
}

void TKivTransWaitForAnswerThread::ReleaseBusy() {
  if (FBusyReleased) return;
  FBusyReleased = true;
  FExchange.Connection->ReleaseBusy(FExchange.Id);
}

void TKivTransWaitForAnswerThread::Deliver(const std::function<void()>& Fn) {
  Synchronize([&] {
    if (FCancelled.load()) return;
    FDelivering = true;
    try {
      Fn();
    } catch (...) {
      FDelivering = false;
      throw;
    }
    FDelivering = false;
  });
}

void TKivTransWaitForAnswerThread::DeliverOnAnswer(bool& Success) {
  Deliver([&] {
    TKivClient* C = FExchange.Client;
    if (C->OnAnswer) C->OnAnswer(C, Success);
  });
}

void TKivTransWaitForAnswerThread::DeliverOnTimeOut(bool& GiveUpFlag) {
  Deliver([&] {
    TKivClient* C = FExchange.Client;
    if (C->OnTimeOut) C->OnTimeOut(C, GiveUpFlag, !GiveUpFlag);
  });
}

void TKivTransWaitForAnswerThread::DeliverOnTransEnd(bool Success) {
  Deliver([&] {
    TKivClient* C = FExchange.Client;
    if (C->OnTransEnd) C->OnTransEnd(C, Success);
  });
}

void TKivTransWaitForAnswerThread::DeliverOnAnswerAndTransEnd(bool& Success) {
  // One visit to the main thread for both: the same events in the same order
  // as two deliveries, without a second round trip between the threads.
  Deliver([&] {
    TKivClient* C = FExchange.Client;
    try {
      if (C->OnAnswer) C->OnAnswer(C, Success);
    } catch (...) {
      Success = false;  // as for any failure during the wait
    }
    if (FCancelled.load()) return;  // the client went away inside OnAnswer
    try {
      if (C->OnTransEnd) C->OnTransEnd(C, Success);
    } catch (...) {
      // An exception from OnTransEnd has nowhere to go; the exchange is over.
    }
  });
}

void TKivTransWaitForAnswerThread::GiveUp() {
  if (FExchange.UseTCP)
    FExchange.Connection->Disconnect();
  else
    DeleteFile(FExchange.RequestBase + ".REQ");
}

bool ApplyAnswerLine(TAnswer& Answer, std::atomic<int32_t>& ReceivedCode, int32_t SentCode,
                     std::string Line) {
  switch (ClassifyClientLine(Line)) {
    case TClientLineKind::Data:
      Answer.Lines.push_back(std::move(Line));
      break;
    case TClientLineKind::Answer:
      Answer.Lines.clear();
      break;
    case TClientLineKind::Cod: {
      auto Code = ParseCode(Line);
      if (!Code) throw EConvertError("Invalid request code in answer: " + Line);
      ReceivedCode = *Code;
      break;
    }
    case TClientLineKind::End:
      // An "@end" of an earlier, abandoned request carries another code.
      return ReceivedCode.load() == SentCode;
    case TClientLineKind::CsEnd:
      Answer.Lines.push_back(kCsEndLine);
      break;
    case TClientLineKind::Other:
      break;
  }
  return false;
}

void TKivTransWaitForAnswerThread::ReadTCP() {
  TKivConnection& Conn = *FExchange.Connection;
  TAnswer& Answer = FExchange.Client->Answer();
  TTcpClient& Tcp = *Conn.FTCPClient;
  bool Success = false;
  // An oversized answer ends the exchange as failed and closes the connection,
  // so the rest of it is never read.
  auto CloseOversized = [&] {
    try {
      Conn.Disconnect();
    } catch (...) {
      // OnDisconnected raised; the connection is closed all the same.
    }
    Success = false;
    ReleaseBusy();
  };
  // Bytes of the answer's entries, kept up to date line by line.
  size_t Bytes = 0;
  for (const std::string& Entry : Answer.Lines) Bytes += Entry.size();
  try {
    for (;;) {
      std::string Line = Tcp.ReadLn(Conn.AnswerTimeout());
      if (FCancelled) return;
      if (Tcp.ReadLnTimedOut()) {
        // Give up when not a single line came in this window.
        bool GiveUpFlag = !Answer.LineArrived.load();
        DeliverOnTimeOut(GiveUpFlag);
        if (FCancelled) return;
        Answer.LineArrived = false;
        if (GiveUpFlag) {
          GiveUp();
          Success = false;
          ReleaseBusy();
          break;
        }
        continue;
      }
      Answer.LineArrived = true;
      const size_t Before = Answer.Lines.size();
      if (ApplyAnswerLine(Answer, Conn.FReceivedCode, FExchange.SentCode, std::move(Line))) {
        Success = true;
        Answer.GoTopLine();
        if (FExchange.AutoConnect) Conn.Disconnect();
        ReleaseBusy();
        DeliverOnAnswerAndTransEnd(Success);
        return;
      }
      if (Answer.Lines.empty())
        Bytes = 0;
      else if (Answer.Lines.size() > Before)
        Bytes += Answer.Lines.back().size();
      if (Answer.Lines.size() > MaxAnswerEntries() || Bytes > MaxAnswerBytes()) {
        std::vector<std::string>().swap(Answer.Lines);
        CloseOversized();
        break;
      }
    }
  } catch (const ELineTooLong&) {
    CloseOversized();
  } catch (...) {
    // The connection closed or failed, the code did not convert, or a handler
    // raised: the exchange ends without an accepted answer.
    Success = false;
    ReleaseBusy();
  }
  if (FCancelled) return;
  try {
    DeliverOnTransEnd(Success);
  } catch (...) {
    // An exception from OnTransEnd has nowhere to go; the exchange is over.
  }
}

void TKivTransWaitForAnswerThread::ReadFS() {
  TKivConnection& Conn = *FExchange.Connection;
  TAnswer& Answer = FExchange.Client->Answer();
  const std::string AnswerFile = FExchange.RequestBase + ".ANS";
  const std::string Marker = FExchange.ServerDir + kMarkerFileName;
  bool Success = false;
  bool Normal = true;
  {
    // Watching from before the first look: an answer that appears in between
    // still ends the next pause.
    std::lock_guard<std::mutex> Lock(FWatchLock);
    FWatch = std::make_unique<TDirWatch>(FExchange.ServerDir);
  }
  TDirWatch& Watch = *FWatch;
  try {
    int64_t Deadline = TickCountMs() + Conn.AnswerTimeout();
    while (!FCancelled) {
      const bool Present = FileExists(AnswerFile);
      if (Present) {
        // An answer that cannot be loaded yet is tried again, never taken as
        // an empty answer and never deleted unread.
        std::vector<std::string> Lines;
        bool Loaded = false;
        bool Oversized = FileSize(AnswerFile) > static_cast<int64_t>(MaxAnswerBytes());
        if (!Oversized) {
          try {
            Lines = LoadTextLines(AnswerFile);
            Loaded = true;
          } catch (const EInOutError&) {
          }
          Oversized = Lines.size() > MaxAnswerEntries();
        }
        if (Oversized) {
          // Taken as no answer at all: the exchange fails, the file goes.
          DeleteFile(AnswerFile);
          Success = false;
          break;
        }
        if (Loaded) {
          Answer.Lines = std::move(Lines);
          Success = true;
          Answer.GoTopLine();
          ReleaseBusy();
          DeliverOnAnswer(Success);
          DeleteFile(AnswerFile);
          break;
        }
      }
      if (TickCountMs() > Deadline) {
        bool GiveUpFlag = !FileExists(Marker);
        DeliverOnTimeOut(GiveUpFlag);
        if (GiveUpFlag) {
          GiveUp();
          Success = false;
          break;
        }
        Deadline = TickCountMs() + Conn.AnswerTimeout();
        continue;
      }
      if (Watch.Watching() && !Present) {
        const int64_t Left = Deadline - TickCountMs() + 1;
        Watch.Wait(static_cast<int>(std::min<int64_t>(Left, kWatchedRecheckMs)));
      } else {
        Watch.Wait(kAnswerPollMs);
      }
    }
  } catch (...) {
    // A handler raised: the wait ends without OnTransEnd, the answer file (if
    // any) is left where it is.
    Normal = false;
  }
  {
    std::lock_guard<std::mutex> Lock(FWatchLock);
    FWatch.reset();
  }
  ReleaseBusy();
  if (!Normal || FCancelled) return;
  try {
    DeliverOnTransEnd(Success);
  } catch (...) {
  }
}

}  // namespace KivTrans2
