// client/wait_thread.h — TKivTransWaitForAnswerThread, which awaits the answer
// of one exchange and delivers its events on the main thread. Internal API of
// the client side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/thread.h"

namespace KivTrans2 {

class TAnswer;
class TDirWatch;
class TKivClient;
class TKivConnection;
class TTcpClient;

// The TCP answer reader's step for one received line: stores it in Answer or
// acts on it. Returns true when the line completes the answer, an "@end" after
// SentCode came in as ReceivedCode. Raises EConvertError for a "@cod" line
// whose code does not convert. Runs on the wait thread (or any thread that owns
// Answer for the moment).
bool ApplyAnswerLine(TAnswer& Answer, std::atomic<int32_t>& ReceivedCode, int32_t SentCode,
                     std::string Line);

// What one exchange is, fixed when it starts. Its events go to Client even when
// another client has started an exchange on the connection meanwhile.
struct TExchange {
  TKivConnection* Connection = nullptr;
  TKivClient* Client = nullptr;
  uint64_t Id = 0;          // owns the connection's busy flag while it runs
  bool UseTCP = true;
  bool AutoConnect = true;  // TCP: close the connection after the answer
  int32_t SentCode = 0;     // TCP
  std::string ServerDir;    // FS: GetServerDir at the start
  std::string RequestBase;  // FS: server directory and request name
};

// Awaits one exchange at a time. Once an exchange is over (its last event
// delivered) the thread waits for the connection's next exchange (Reuse), so
// a connection does not start a thread per request; Finish lets it end instead.
class TKivTransWaitForAnswerThread : public TThread {
 public:
  explicit TKivTransWaitForAnswerThread(TExchange Exchange);
  // Cancels and waits for the thread.
  ~TKivTransWaitForAnswerThread() override;

  // Ends the wait as soon as possible; no event is delivered from then on, and
  // the thread takes no further exchange. REQUIRES: main thread.
  void Cancel();
  // The thread ends once its current exchange is over instead of waiting for
  // another; WaitFor then returns. Thread safe.
  void Finish();
  // True when the exchange is over, its last event delivered, and the thread
  // waits for another. REQUIRES: main thread.
  bool Idle() const;
  // Hands an idle thread its next exchange. REQUIRES: main thread, Idle().
  void Reuse(TExchange Exchange);
  // True while one of the client's events runs on the main thread.
  // REQUIRES: main thread.
  bool Delivering() const { return FDelivering; }
  TKivClient* Client() const { return FExchange.Client; }

 protected:
  void Execute() override;

 private:
  void RunExchange();
  void ReadTCP();
  void ReadFS();
  // Runs Fn on the main thread unless the exchange was cancelled meanwhile.
  void Deliver(const std::function<void()>& Fn);
  void DeliverOnAnswer(bool& Success);
  void DeliverOnTimeOut(bool& GiveUp);
  // TCP: OnAnswer, then (unless cancelled meanwhile) OnTransEnd with the
  // Success that OnAnswer left, False when OnAnswer raised.
  void DeliverOnAnswerAndTransEnd(bool& Success);
  void DeliverOnTransEnd(bool Success);
  void GiveUp();
  // Clears the connection's busy flag, once per exchange: a new exchange may
  // have set it again by the time this one finishes.
  void ReleaseBusy();

  // Written by the main thread: at construction, and by Reuse while the thread
  // is idle (handed over under FNextLock).
  TExchange FExchange;
  std::atomic<bool> FCancelled{false};
  std::atomic<bool> FRunning{true};  // the exchange is not over yet

  mutable std::mutex FNextLock;
  std::condition_variable FNextChanged;
  bool FIdle = false;       // GUARDED_BY(FNextLock)
  bool FHasNext = false;    // GUARDED_BY(FNextLock)
  bool FFinishing = false;  // GUARDED_BY(FNextLock)

  // FS mode: the watch on the server directory while ReadFS runs. Created and
  // released by the wait thread under the lock, read there without it; Cancel
  // wakes it from the main thread under the lock.
  std::mutex FWatchLock;
  std::unique_ptr<TDirWatch> FWatch;  // GUARDED_BY(FWatchLock)

  bool FBusyReleased = false;  // wait thread only (reset by Reuse while idle)
  bool FDelivering = false;  // main thread only
};

}  // namespace KivTrans2
