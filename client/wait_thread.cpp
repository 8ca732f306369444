// The answer wait: TCP answer reception and the answer-file poll, with the
// give-up rule, delivering OnAnswer, OnTimeOut and OnTransEnd on the main thread.
#include "client/wait_thread.h"

#include <algorithm>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/dir_watch.h"
#include "host/exceptions.h"
#include "host/files.h"
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

void TKivTransWaitForAnswerThread::Cancel() {
  if (FCancelled.exchange(true)) return;
  // A TCP wait blocks in the line read: closing the connection wakes it.
  if (FExchange.UseTCP && !Finished() && FExchange.Connection->FTCPClient)
    FExchange.Connection->FTCPClient->Disconnect();
  // An FS wait may sleep until the directory changes.
  std::lock_guard<std::mutex> Lock(FWatchLock);
  if (FWatch) FWatch->Wake();
}

void TKivTransWaitForAnswerThread::Execute() {
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

void TKivTransWaitForAnswerThread::GiveUp() {
  if (FExchange.UseTCP)
    FExchange.Connection->Disconnect();
  else
    DeleteFile(FExchange.RequestBase + ".REQ");
}

void TKivTransWaitForAnswerThread::ReadTCP() {
  TKivConnection& Conn = *FExchange.Connection;
  TAnswer& Answer = FExchange.Client->Answer();
  TTcpClient& Tcp = *Conn.FTCPClient;
  bool Success = false;
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
          Conn.FReceivedCode = *Code;
          break;
        }
        case TClientLineKind::End:
          // An "@end" of an earlier, abandoned request carries another code.
          if (Conn.FReceivedCode.load() != FExchange.SentCode) break;
          Success = true;
          Answer.GoTopLine();
          if (FExchange.AutoConnect) Conn.Disconnect();
          ReleaseBusy();
          DeliverOnAnswer(Success);
          goto Done;
        case TClientLineKind::CsEnd:
          Answer.Lines.push_back(kCsEndLine);
          break;
        case TClientLineKind::Other:
          break;
      }
    }
  } catch (...) {
    // The connection closed or failed, the code did not convert, or a handler
    // raised: the exchange ends without an accepted answer.
    Success = false;
    ReleaseBusy();
  }
Done:
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
        try {
          Lines = LoadTextLines(AnswerFile);
          Loaded = true;
        } catch (const EInOutError&) {
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
