// The thread timer: pause Interval, then run OnTimer on the main thread and wait.
#include "server/thread_timer.h"

#include <chrono>

namespace KivTrans2 {

TKivTransThreadTimer::TKivTransThreadTimer() = default;

TKivTransThreadTimer::~TKivTransThreadTimer() {
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

void TKivTransThreadTimer::Execute() {
  std::unique_lock<std::mutex> Lock(FLock);
  while (!Terminated()) {
    FChanged.wait(Lock, [&] { return FEnabled.load() || Terminated(); });
    if (Terminated()) break;
    // The pause; a shorter interval set meanwhile applies from the next pause.
    uint32_t Pause = FInterval.load();
    auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Pause);
    if (Pause > 0)
      FChanged.wait_until(Lock, Until, [&] { return Terminated() || !FEnabled.load(); });
    if (Terminated()) break;
    if (!FEnabled.load()) continue;
    Lock.unlock();
    try {
      Synchronize([this] {
        // Disabled while this tick waited for the main thread: skip it.
        if (FEnabled.load() && !Terminated() && OnTimer) OnTimer();
      });
    } catch (...) {
      // A failing handler must not stop the timer or reach the host.
    }
    Lock.lock();
  }
}

}  // namespace KivTrans2
