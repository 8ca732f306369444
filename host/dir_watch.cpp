// TDirWatch over inotify, with an eventfd to end a wait early.
#include "host/dir_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "host/thread.h"

namespace KivTrans2 {

namespace {

// File systems whose changes all pass through this machine's kernel, so that
// every change is reported. Network and cluster file systems are left out on
// purpose: changes made by another machine would go unnoticed.
bool IsLocalFileSystem(const std::string& Dir) {
  struct statfs St;
  if (::statfs(Dir.c_str(), &St) != 0) return false;
  switch (static_cast<uint32_t>(St.f_type)) {
    case 0xEF53u:      // ext2, ext3, ext4
    case 0x58465342u:  // xfs
    case 0x9123683Eu:  // btrfs
    case 0x01021994u:  // tmpfs
    case 0x858458F6u:  // ramfs
    case 0x794C7630u:  // overlayfs
    case 0xF2F52010u:  // f2fs
    case 0x2FC12FC1u:  // zfs
    case 0x3153464Au:  // jfs
    case 0x52654973u:  // reiserfs
    case 0xCA451A4Eu:  // bcachefs
      return true;
    default:
      return false;
  }
}

constexpr uint32_t kWatchedEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE |
                                    IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                    IN_ONLYDIR;

}  // namespace

TDirWatch::TDirWatch(const std::string& Dir) {
  FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const std::string Path = Dir.empty() ? "." : Dir;
  if (FWakeFd < 0 || !IsLocalFileSystem(Path)) return;
  FNotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (FNotifyFd < 0) return;  // e.g. the per-user limit of instances is reached
  if (::inotify_add_watch(FNotifyFd, Path.c_str(), kWatchedEvents) < 0) return;
  FWatching = true;
}

TDirWatch::~TDirWatch() {
  if (FNotifyFd >= 0) ::close(FNotifyFd);
  if (FWakeFd >= 0) ::close(FWakeFd);
}

void TDirWatch::Wait(int TimeoutMs) {
  if (FWakeFd < 0) {
    Sleep(TimeoutMs);
    return;
  }
  struct pollfd Fds[2] = {{FWakeFd, POLLIN, 0}, {FNotifyFd, POLLIN, 0}};
  const nfds_t Count = FWatching ? 2 : 1;
  if (::poll(Fds, Count, TimeoutMs < 0 ? 0 : TimeoutMs) <= 0) return;  // timeout, or EINTR
  if (Fds[0].revents) {
    uint64_t Value;
    while (::read(FWakeFd, &Value, sizeof Value) > 0) {
    }
  }
  if (Count < 2 || !Fds[1].revents) return;
  alignas(struct inotify_event) char Buffer[4096];
  for (;;) {
    ssize_t Got = ::read(FNotifyFd, Buffer, sizeof Buffer);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) break;
    for (ssize_t At = 0; At < Got;) {
      const auto* Event = reinterpret_cast<const struct inotify_event*>(Buffer + At);
      // The watch is gone with its directory: the caller polls from now on.
      if (Event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
        FWatching = false;
      At += static_cast<ssize_t>(sizeof(struct inotify_event) + Event->len);
    }
  }
}

void TDirWatch::Wake() {
  if (FWakeFd < 0) return;
  uint64_t One = 1;
  ssize_t Ignored = ::write(FWakeFd, &One, sizeof One);
  (void)Ignored;
}

}  // namespace KivTrans2
