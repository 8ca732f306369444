// server/thread_timer.h — TKivTransThreadTimer, the thread that runs a handler on
// the main thread every Interval milliseconds. Internal API of the server.
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

class TKivTransThreadTimer : public TThread {
 public:
  // Created suspended: nothing runs until the first SetEnabled(true).
  TKivTransThreadTimer();
  // Stops the thread and waits for it; on the main thread it serves a tick that
  // is waiting to run (which then does nothing, see OnTimer).
  ~TKivTransThreadTimer() override;

  // Pause before each tick, read afresh before every pause. Thread safe.
  void SetInterval(uint32_t Ms);
  uint32_t Interval() const { return FInterval.load(); }

  // True starts (or resumes) the ticking; false stops it: no tick starts until
  // the timer is enabled again, and a tick already queued for the main thread
  // does nothing. REQUIRES: main thread.
  void SetEnabled(bool Value);
  bool Enabled() const { return FEnabled.load(); }

  // False (the default): a tick every Interval, whether there is work or not.
  // True: no tick runs until Wake() asks for one; it then runs at once when at
  // least Interval has passed since the end of the previous tick, else when it
  // has. Ticks stay at least Interval apart either way. Thread safe.
  void SetWakeOnRequest(bool Value);
  bool WakeOnRequest() const { return FWakeOnRequest.load(); }
  // With WakeOnRequest, woken ticks are kept min(Interval, Ms) apart instead
  // of Interval (default: no cap). For a timer whose ticks answer nothing, so
  // need no Interval between them. Thread safe.
  void SetMaxWakeSpacing(uint32_t Ms);
  // Asks for one tick with WakeOnRequest; calls before that tick starts ask for
  // the same tick. Without WakeOnRequest it changes nothing. Thread safe.
  void Wake();
  // With WakeOnRequest: wakes for every change among the entries of Dir ("" is
  // the current directory) where the system reports them, and at least every
  // kDirFallbackMs in case one went unseen; where it does not (a network
  // share), every Interval as without the option. Wakes once at once.
  // REQUIRES: main thread.
  void WatchDirectory(const std::string& Dir);
  void StopWatchingDirectory();  // REQUIRES: main thread
  static constexpr int kDirFallbackMs = 1000;

  // Run on the main thread at each tick. Set before the timer is first enabled.
  // An exception leaving it is dropped and the timer goes on ticking.
  std::function<void()> OnTimer;

 protected:
  void Execute() override;

 private:
  class TDirWaker;

  std::unique_ptr<TDirWaker> FDirWaker;  // main thread
  std::atomic<uint32_t> FInterval{25};
  std::atomic<uint32_t> FMaxWakeSpacing{UINT32_MAX};
  std::atomic<bool> FEnabled{false};
  std::atomic<bool> FWakeOnRequest{false};
  std::mutex FLock;
  std::condition_variable FChanged;  // enabled, interval, wake mode, a wake or terminate
  bool FWakeAsked = false;           // GUARDED_BY(FLock)
};

}  // namespace KivTrans2
