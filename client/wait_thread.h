// client/wait_thread.h — TKivTransWaitForAnswerThread, which awaits the answer
// of one exchange and delivers its events on the main thread. Internal API of
// the client side.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/thread.h"

namespace KivTrans2 {

class TDirWatch;
class TKivClient;
class TKivConnection;
class TTcpClient;

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

class TKivTransWaitForAnswerThread : public TThread {
 public:
  explicit TKivTransWaitForAnswerThread(TExchange Exchange);
  // Cancels and waits for the thread.
  ~TKivTransWaitForAnswerThread() override;

  // Ends the wait as soon as possible; no event is delivered from then on.
  // REQUIRES: main thread.
  void Cancel();
  // True while one of the client's events runs on the main thread.
  // REQUIRES: main thread.
  bool Delivering() const { return FDelivering; }
  TKivClient* Client() const { return FExchange.Client; }

 protected:
  void Execute() override;

 private:
  void ReadTCP();
  void ReadFS();
  // Runs Fn on the main thread unless the exchange was cancelled meanwhile.
  void Deliver(const std::function<void()>& Fn);
  void DeliverOnAnswer(bool& Success);
  void DeliverOnTimeOut(bool& GiveUp);
  void DeliverOnTransEnd(bool Success);
  void GiveUp();
  // Clears the connection's busy flag, once per exchange: a new exchange may
  // have set it again by the time this one finishes.
  void ReleaseBusy();

  const TExchange FExchange;
  std::atomic<bool> FCancelled{false};
  // FS mode: the watch on the server directory while ReadFS runs. Created and
  // released by the wait thread under the lock, read there without it; Cancel
  // wakes it from the main thread under the lock.
  std::mutex FWatchLock;
  std::unique_ptr<TDirWatch> FWatch;  // GUARDED_BY(FWatchLock)

  bool FBusyReleased = false;  // wait thread only
  bool FDelivering = false;  // main thread only
};

}  // namespace KivTrans2
