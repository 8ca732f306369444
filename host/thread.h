// host/thread.h — worker threads and marshalling to the main thread. Public API.
//
// The main thread is the application's thread that runs every component
// operation and receives every library event. It is the thread that loaded the
// library, unless the application names another with SetMainThread() before it
// creates any component. The application drives it by calling CheckSynchronize()
// from its event loop, either periodically or when MainThreadWakeFd() becomes
// readable (or the wake hook fires).
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/kiv_export.h"

namespace KivTrans2 {

// Makes the calling thread the main thread. Call before any component exists.
KIV_API void SetMainThread();
KIV_API bool IsMainThread();

// Runs every call queued by Synchronize, waiting up to TimeoutMs for the first
// one when none is queued. Returns true when at least one call ran.
// REQUIRES: main thread.
KIV_API bool CheckSynchronize(int TimeoutMs = 0);

// Pumps CheckSynchronize until Done() returns true or TimeoutMs has passed.
// Returns Done()'s last value. REQUIRES: main thread.
KIV_API bool ProcessMessagesUntil(const std::function<bool()>& Done, int TimeoutMs);

// A file descriptor that is readable while calls are queued for the main thread
// (an eventfd). CheckSynchronize drains it. Owned by the library; do not close.
KIV_API int MainThreadWakeFd();

// Called (on the queuing thread) each time a call is queued for the main thread,
// for event loops that cannot watch a file descriptor. Thread safe.
KIV_API void SetMainThreadWakeHook(std::function<void()> Hook);

// Runs Fn on the main thread and waits until it has returned. An exception thrown
// by Fn is rethrown here. Called on the main thread, runs Fn at once.
// Thread safe. Deadlocks if the main thread never pumps; the main thread pumps
// while it waits in TThread::WaitFor.
KIV_API void Synchronize(const std::function<void()>& Fn);

KIV_API void Sleep(int Ms);

// Asks the system to end the calling thread's timed waits as close to their
// deadline as it can (on Linux the default lets them end up to 50 us late).
// For threads that keep a cadence of a few milliseconds.
KIV_API void SetPreciseTimedWaits();

// A thread with a virtual body, created suspended and started with Start().
// Derived classes must end the thread (Terminate() as their body requires, then
// WaitFor()) in their own destructor: the body may use members of the derived
// class, which are gone by the time ~TThread runs.
class KIV_API TThread {
 public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the body. Only the first call has an effect.
  void Start();
  // Sets the terminated flag that the body polls. Thread safe.
  void Terminate();
  bool Terminated() const { return FTerminated.load(); }
  bool Started() const { return FStarted.load(); }
  bool Finished() const { return FFinished.load(); }

  // Waits until the body has returned; returns at once when never started.
  // On the main thread it keeps serving Synchronize calls while it waits, so a
  // body blocked in Synchronize can finish. Must not be called by the thread
  // itself. Thread safe.
  void WaitFor();

  // The exception that left Execute, if any. It is caught at the thread's edge
  // and kept here; it never ends the process.
  std::exception_ptr FatalException() const;

 protected:
  virtual void Execute() = 0;

 private:
  void Run();

  std::thread FThread;  // started once, joined once (under FJoinLock)
  std::mutex FJoinLock;
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  mutable std::mutex FFatalLock;
  std::exception_ptr FFatal;  // GUARDED_BY(FFatalLock)
};

}  // namespace KivTrans2
