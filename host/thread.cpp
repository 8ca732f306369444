// Main-thread marshalling and the thread class.
#include "host/thread.h"

#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>

namespace KivTrans2 {
namespace {

// One call queued for the main thread; the caller waits on Done.
struct TSyncCall {
  std::function<void()> Fn;
  bool Done = false;         // GUARDED_BY(TMainQueue::FLock)
  std::exception_ptr Error;  // GUARDED_BY(TMainQueue::FLock)
};

class TMainQueue {
 public:
  TMainQueue() {
    FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FMainId = std::this_thread::get_id();
  }

  void SetMain() {
    std::lock_guard<std::mutex> Lock(FLock);
    FMainId = std::this_thread::get_id();
  }
  bool IsMain() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FMainId == std::this_thread::get_id();
  }
  int WakeFd() const { return FWakeFd; }

  void SetHook(std::function<void()> Hook) {
    std::lock_guard<std::mutex> Lock(FLock);
    FHook = std::move(Hook);
  }

  // Queues Fn and waits until the main thread has run it.
  void Call(const std::function<void()>& Fn) {
    TSyncCall Item;
    Item.Fn = Fn;
    std::function<void()> Hook;
    {
      std::lock_guard<std::mutex> Lock(FLock);
      FQueue.push_back(&Item);
      Hook = FHook;
    }
    SignalFd();
    FWake.notify_all();
    if (Hook) Hook();
    std::unique_lock<std::mutex> Lock(FLock);
    FDoneCv.wait(Lock, [&] { return Item.Done; });
    if (Item.Error) std::rethrow_exception(Item.Error);
  }

  // Wakes a main thread waiting in Check without queuing anything (a thread
  // it waits for has ended).
  void Poke() {
    {
      std::lock_guard<std::mutex> Lock(FLock);
      ++FPokes;
    }
    FWake.notify_all();
  }

  // Runs every queued call; waits up to TimeoutMs for one when none is queued.
  // Returns true when one ran. Stops waiting early on a Poke.
  bool Check(int TimeoutMs) {
    std::unique_lock<std::mutex> Lock(FLock);
    if (FQueue.empty() && TimeoutMs > 0) {
      uint64_t Seen = FPokes;
      FWake.wait_for(Lock, std::chrono::milliseconds(TimeoutMs),
                     [&] { return !FQueue.empty() || FPokes != Seen; });
    }
    DrainFd();
    bool Ran = false;
    while (!FQueue.empty()) {
      TSyncCall* Item = FQueue.front();
      FQueue.pop_front();
      Lock.unlock();
      std::exception_ptr Error;
      try {
        Item->Fn();
      } catch (...) {
        Error = std::current_exception();
      }
      Lock.lock();
      Item->Error = Error;
      Item->Done = true;
      Ran = true;
      FDoneCv.notify_all();
    }
    return Ran;
  }

 private:
  void SignalFd() {
    if (FWakeFd < 0) return;
    uint64_t One = 1;
    ssize_t N;
    do {
      N = ::write(FWakeFd, &One, sizeof One);
    } while (N < 0 && errno == EINTR);
  }
  void DrainFd() {
    if (FWakeFd < 0) return;
    uint64_t Value;
    ssize_t N;
    do {
      N = ::read(FWakeFd, &Value, sizeof Value);
    } while (N < 0 && errno == EINTR);
  }

  std::mutex FLock;
  std::condition_variable FWake;    // queue not empty, or a poke
  std::condition_variable FDoneCv;  // a call has run
  std::deque<TSyncCall*> FQueue;    // GUARDED_BY(FLock)
  uint64_t FPokes = 0;              // GUARDED_BY(FLock)
  std::thread::id FMainId;          // GUARDED_BY(FLock)
  std::function<void()> FHook;      // GUARDED_BY(FLock)
  int FWakeFd = -1;                 // constant after construction
};

TMainQueue& MainQueue() {
  // Never destroyed: worker threads may still reach it while the process exits.
  static TMainQueue* Queue = new TMainQueue();
  return *Queue;
}

// The library's main thread is the one that loads it.
[[maybe_unused]] const bool kMainCaptured = (MainQueue(), true);

}  // namespace

void SetMainThread() {
  MainQueue().SetMain();
}
bool IsMainThread() {
  return MainQueue().IsMain();
}
bool CheckSynchronize(int TimeoutMs) {
  return MainQueue().Check(TimeoutMs);
}
int MainThreadWakeFd() {
  return MainQueue().WakeFd();
}
void SetMainThreadWakeHook(std::function<void()> Hook) {
  MainQueue().SetHook(std::move(Hook));
}

bool ProcessMessagesUntil(const std::function<bool()>& Done, int TimeoutMs) {
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    Deadline - std::chrono::steady_clock::now())
                    .count();
    if (Left <= 0) return Done();
    CheckSynchronize(static_cast<int>(Left < 5 ? Left : 5));
  }
  return true;
}

void Synchronize(const std::function<void()>& Fn) {
  if (MainQueue().IsMain()) {
    Fn();
    return;
  }
  MainQueue().Call(Fn);
}

void Sleep(int Ms) {
  if (Ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

void SetPreciseTimedWaits() {
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // in ns: the least there is
}

TThread::TThread() = default;

TThread::~TThread() {
  // Derived classes end the thread in their own destructor; this is the last
  // safety net for a thread that was never started or already ended.
  WaitFor();
}

void TThread::Start() {
  std::lock_guard<std::mutex> Lock(FJoinLock);
  if (FStarted.exchange(true)) return;
  FThread = std::thread([this] { Run(); });
}

void TThread::Terminate() {
  FTerminated = true;
}

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    std::lock_guard<std::mutex> Lock(FFatalLock);
    FFatal = std::current_exception();
  }
  FFinished = true;
  MainQueue().Poke();
}

void TThread::WaitFor() {
  if (!FStarted.load()) return;
  if (MainQueue().IsMain()) {
    // Keep serving Synchronize so a body blocked there can finish.
    while (!FFinished.load()) MainQueue().Check(10);
  }
  std::lock_guard<std::mutex> Lock(FJoinLock);
  if (FThread.joinable()) FThread.join();
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard<std::mutex> Lock(FFatalLock);
  return FFatal;
}

}  // namespace KivTrans2
