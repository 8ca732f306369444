// The thread timer: pause Interval (or, with WakeOnRequest, wait for a wake and
// keep Interval after the previous tick), then run OnTimer on the main thread and wait.
#include "server/thread_timer.h"

#include "host/dir_watch.h"

#include <algorithm>
#include <chrono>
#include <optional>

namespace KivTrans2 {

// Wakes the timer whenever the watched directory changes, and after each
// pause without a change.
class TKivTransThreadTimer::TDirWaker : public TThread {
 public:
  TDirWaker(TKivTransThreadTimer& Timer, const std::string& Dir) : FTimer(Timer), FWatch(Dir) {}
  ~TDirWaker() override {
    Terminate();
    FWatch.Wake();
    WaitFor();
  }

 protected:
  void Execute() override {
    while (!Terminated()) {
      const int Pause = FWatch.Watching()
                            ? kDirFallbackMs
                            : static_cast<int>(std::max<uint32_t>(FTimer.Interval(), 1));
      FWatch.Wait(Pause);
      if (!Terminated()) FTimer.Wake();
    }
  }

 private:
  TKivTransThreadTimer& FTimer;
  TDirWatch FWatch;  // waited on here; Wake from the owner's thread
};

TKivTransThreadTimer::TKivTransThreadTimer() = default;

TKivTransThreadTimer::~TKivTransThreadTimer() {
  FDirWaker.reset();
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FEnabled = false;
    Terminate();
  }
  FChanged.notify_all();
  WaitFor();
}

void TKivTransThreadTimer::SetInterval(uint32_t Ms) {
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FInterval = Ms;
  }
  FChanged.notify_all();
}

void TKivTransThreadTimer::SetEnabled(bool Value) {
  {
    std::lock_guard<std::mutex> Lock(FLock);
    if (FEnabled == Value) return;
    FEnabled = Value;
  }
  FChanged.notify_all();
  if (Value) Start();  // the first enabling starts the thread; later ones resume it
}

void TKivTransThreadTimer::SetWakeOnRequest(bool Value) {
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FWakeOnRequest = Value;
    if (!Value) FWakeAsked = false;
  }
  FChanged.notify_all();
}

void TKivTransThreadTimer::SetMaxWakeSpacing(uint32_t Ms) {
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FMaxWakeSpacing = Ms;
  }
  FChanged.notify_all();
}

void TKivTransThreadTimer::Wake() {
  {
    std::lock_guard<std::mutex> Lock(FLock);
    if (!FWakeOnRequest.load() || FWakeAsked) return;
    FWakeAsked = true;
  }
  FChanged.notify_all();
}

void TKivTransThreadTimer::WatchDirectory(const std::string& Dir) {
  FDirWaker.reset();
  FDirWaker = std::make_unique<TDirWaker>(*this, Dir);
  FDirWaker->Start();
  Wake();  // whatever arrived before the watch began
}

void TKivTransThreadTimer::StopWatchingDirectory() {
  FDirWaker.reset();
}

void TKivTransThreadTimer::Execute() {
  using Clock = std::chrono::steady_clock;
  SetPreciseTimedWaits();  // ticks a millisecond apart must not come 50 us late
  std::unique_lock<std::mutex> Lock(FLock);
  // When the previous tick's handler returned on the main thread: the pause
  // before the next tick counts from there (not from when this thread learnt
  // of it), so ticks are spaced by Interval plus the handler's own time.
  std::optional<Clock::time_point> LastTick;
  while (!Terminated()) {
    const bool WasStopped = !FEnabled.load();
    FChanged.wait(Lock, [&] {
      return Terminated() || (FEnabled.load() && (!FWakeOnRequest.load() || FWakeAsked));
    });
    if (Terminated()) break;
    if (FWakeOnRequest.load()) {
      // Interval as it stands: a value changed during this wait applies to it.
      auto WakeSpacing = [this] { return std::min(FInterval.load(), FMaxWakeSpacing.load()); };
      for (uint32_t Spacing = WakeSpacing(); LastTick; Spacing = WakeSpacing()) {
        bool Woken = FChanged.wait_until(Lock, *LastTick + std::chrono::milliseconds(Spacing), [&] {
          return Terminated() || !FEnabled.load() || !FWakeOnRequest.load() ||
                 WakeSpacing() != Spacing;
        });
        if (!Woken || WakeSpacing() == Spacing) break;
      }
      if (Terminated()) break;
      if (!FEnabled.load() || !FWakeOnRequest.load()) continue;
      FWakeAsked = false;  // a wake from here on asks for the next tick
    } else {
      // The pause; a shorter interval set meanwhile applies from the next pause.
      uint32_t Pause = FInterval.load();
      // After a stop the pause is a whole Interval from the resumption.
      auto From = LastTick && !WasStopped ? *LastTick : Clock::now();
      auto Until = From + std::chrono::milliseconds(Pause);
      if (Pause > 0)
        FChanged.wait_until(
            Lock, Until, [&] { return Terminated() || !FEnabled.load() || FWakeOnRequest.load(); });
      if (Terminated()) break;
      if (!FEnabled.load() || FWakeOnRequest.load()) continue;  // switched: wait for a wake
    }
    Lock.unlock();
    Clock::time_point Ended;
    try {
      Synchronize([this, &Ended] {
        // Disabled while this tick waited for the main thread: skip it.
        if (FEnabled.load() && !Terminated() && OnTimer) OnTimer();
        Ended = Clock::now();
      });
    } catch (...) {
      // A failing handler must not stop the timer or reach the host.
      Ended = Clock::now();
    }
    Lock.lock();
    LastTick = Ended;
  }
}

}  // namespace KivTrans2
