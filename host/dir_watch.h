// host/dir_watch.h — TDirWatch, a wait for changes among the entries of one
// directory, for a poller that would otherwise look every millisecond.
// Internal API of the library.
//
// The system tells changes only where it sees them: on a local file system.
// Changes made by another machine on a network share are never reported, so
// a directory on any other file system (or one the system cannot watch) is
// not watched at all and the caller keeps polling.
#pragma once

#include <string>

namespace KivTrans2 {

class TDirWatch {
 public:
  // Starts watching Dir ("" is the current directory). Never raises: a
  // directory that cannot be watched gives Watching() false.
  explicit TDirWatch(const std::string& Dir);
  ~TDirWatch();
  TDirWatch(const TDirWatch&) = delete;
  TDirWatch& operator=(const TDirWatch&) = delete;

  // True while changes in the directory are reported; false from the start
  // when it cannot be watched, and from the moment the directory itself was
  // removed or moved. When false the caller polls.
  bool Watching() const { return FWatching; }

  // Returns when an entry was created in the directory, renamed into or out of
  // it, written and closed, or removed; when Wake is called; or after
  // TimeoutMs. A change made after the watch began and before this call ends
  // the wait at once. Without Watching() it only pauses TimeoutMs (Wake still
  // ends it). REQUIRES: one waiting thread at a time.
  void Wait(int TimeoutMs);

  // Ends the current or next Wait at once. Thread safe.
  void Wake();

 private:
  int FNotifyFd = -1;
  int FWakeFd = -1;
  bool FWatching = false;  // the waiting thread's
};

}  // namespace KivTrans2
