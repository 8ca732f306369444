// host/net_socket.h — the POSIX socket layer under the TCP and UDP components:
// address resolution, errno turned into the network errors, a wake pipe for
// threads blocked in poll, and the line-buffered stream socket. Internal; only
// host/ includes it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace KivTrans2::Net {

// Raises ESocketError with What and the system's text for Error (an errno).
[[noreturn]] void ThrowSocketError(const std::string& What, int Error);

// A new close-on-exec IPv4 socket of Type (SOCK_STREAM, SOCK_DGRAM). Raises
// ESocketError.
int OpenSocket(int Type);
void CloseSocket(int Fd);  // quietly; -1 is ignored

// Every IPv4 address of Host (a name or dotted text) with Port filled in, as
// getaddrinfo lists them. Raises ESocketError when the name does not resolve
// or Port lies outside 0..65535.
std::vector<sockaddr_in> Resolve(const std::string& Host, int Port, int SockType);

std::string AddressText(const sockaddr_in& Address);  // "127.0.0.1"
int AddressPort(const sockaddr_in& Address);          // host order
int LocalPort(int Fd);                                // the bound port, 0 when unknown

// Waits until Fd is readable or TimeoutMs has passed (< 0: no limit); EINTR is
// retried with the time that is left. Returns false on timeout.
bool WaitReadable(int Fd, int TimeoutMs);

// Waits until one of Fds is readable (no limit). Returns the readable flags,
// one per descriptor.
std::vector<bool> WaitAnyReadable(const std::vector<int>& Fds);

// A pipe that a worker polls beside its socket, so another thread can wake it
// out of poll. Thread safe.
class TWakePipe {
 public:
  TWakePipe();  // raises ESocketError
  ~TWakePipe();
  TWakePipe(const TWakePipe&) = delete;
  TWakePipe& operator=(const TWakePipe&) = delete;
  int ReadFd() const { return FRead; }
  void Signal();  // stays readable from then on

 private:
  int FRead = -1;
  int FWrite = -1;
};

// A connected TCP socket carrying lines: text and CR LF out, LF-ended lines in.
// Shared (std::shared_ptr) by the component that owns it and every thread
// inside one of its calls, so the descriptor is closed only after the last call
// has left: Shutdown wakes blocked calls without closing, and the destructor
// closes.
class TStreamSocket {
 public:
  explicit TStreamSocket(int Fd);  // takes the descriptor; sets TCP_NODELAY
  ~TStreamSocket();
  TStreamSocket(const TStreamSocket&) = delete;
  TStreamSocket& operator=(const TStreamSocket&) = delete;

  // Appends Line and CR LF to the output buffer; sends when the buffer passes
  // kAutoFlushBytes. Thread safe.
  void WriteLine(const std::string& Line);
  // Sends the output buffer. Thread safe; raises EConnectionClosed or
  // ESocketError (the buffer is dropped then).
  void Flush();
  // Sends what can go without blocking and ignores every error; skipped while
  // another thread is sending. Thread safe.
  void FlushQuietly();

  // Reads one line without its end (ends at LF, one CR before it dropped),
  // waiting at most TimeoutMs (< 0: no limit). Returns false when the time
  // passed; a partial line stays buffered for the next call. Raises
  // EConnectionClosed at the peer's end of stream or after Shutdown,
  // ELineTooLong (and shuts down) past MaxLineLength(), ESocketError.
  // One reading thread at a time.
  bool ReadLine(std::string& Line, int TimeoutMs);

  // Ends the connection both ways and wakes every call blocked on it. Thread
  // safe; idempotent.
  void Shutdown();
  bool IsShutdown() const { return FShutdown.load(); }
  // The peer's end of stream has been read (or a reset seen).
  bool PeerClosed() const { return FPeerClosed.load(); }
  // Asks the system without blocking whether the peer has closed; true when it
  // has (also records it). Thread safe.
  bool ProbePeerClosed();

  int Fd() const { return FFd; }

  static constexpr size_t kAutoFlushBytes = 64 * 1024;

 private:
  void SendLocked(int Flags);  // REQUIRES: FWriteLock held
  [[noreturn]] void ThrowClosed(const std::string& What, int Error);

  const int FFd;
  std::atomic<bool> FShutdown{false};
  std::atomic<bool> FPeerClosed{false};

  std::mutex FWriteLock;
  std::string FOut;  // GUARDED_BY(FWriteLock)

  // Owned by the reading thread.
  std::string FIn;
  size_t FStart = 0;    // first unread byte of FIn
  size_t FScanned = 0;  // bytes of FIn from FStart known to hold no LF
};

}  // namespace KivTrans2::Net
