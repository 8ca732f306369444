// host/tcp_client.h — a TCP client that talks in lines. Public API.
//
// Lines go out as their bytes and CR LF. Writes are buffered: they leave on
// Flush, before every ReadLn, on Disconnect (as far as they can without
// blocking) and whenever 64 KiB are waiting. The socket has TCP_NODELAY, so a
// flushed message is not held back waiting for the peer's ACK.
//
// Threads: one thread owns the client's settings and Connect (as a rule the
// main thread). ReadLn may run on another thread, one at a time; WriteLine,
// Flush, Connected, CheckForDisconnect and Disconnect are thread safe, and a
// Disconnect from any thread wakes a ReadLn blocked on the connection, which
// then raises EConnectionClosed.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/kiv_export.h"
#include "host/line_sink.h"

namespace KivTrans2 {

namespace Net {
class TStreamSocket;
}

class KIV_API TTcpClient : public TLineSink {
 public:
  using TNotifyEvent = std::function<void(TTcpClient* Sender)>;

  TTcpClient();
  ~TTcpClient() override;  // closes the connection without notifying
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  // Where Connect goes: a host name or dotted IPv4 text, and a port.
  void SetHost(const std::string& Value);
  std::string Host() const;
  void SetPort(int Value);
  int Port() const;

  // Opens the connection to Host:Port (the first address of Host that accepts)
  // and then fires OnConnected on the calling thread. Raises
  // ETcpAlreadyConnected when connected, ESocketError when no connection can be
  // made (the name does not resolve, every address refuses). A connection that
  // the peer has closed counts as not connected: it is released quietly first.
  void Connect();

  // Closes the connection, sending first what is buffered as far as that goes
  // without blocking. When a connection was open, fires OnDisconnected on the
  // calling thread afterwards. Thread safe.
  void Disconnect();

  // Open, not closed by the peer (asked of the system without blocking) and
  // not broken by a failed read. Thread safe.
  bool Connected();
  // Raises ENotConnected when not Connected(). Thread safe.
  void CheckForDisconnect();

  // Buffers Line and CR LF. Raises ENotConnected when not connected,
  // EConnectionClosed or ESocketError when a send fails. Thread safe.
  void WriteLine(const std::string& Line) override;
  // Sends what is buffered. Raises as WriteLine. Thread safe.
  void Flush() override;

  // Flushes, then reads one line without its end (ends at LF, one CR before it
  // is dropped), waiting at most TimeoutMs (< 0: without limit). When the time
  // passes it returns "" and ReadLnTimedOut() becomes true (false after every
  // line). Raises ENotConnected when not connected, EConnectionClosed when the
  // peer has closed or Disconnect closed the connection meanwhile, ELineTooLong
  // (the connection is then closed) past MaxLineLength(). One thread at a time.
  std::string ReadLn(int TimeoutMs);
  bool ReadLnTimedOut() const { return FReadLnTimedOut.load(); }

  // Fired by Connect after connecting, and by Disconnect after closing, each on
  // the thread that called it. Set them before the client is used from more
  // than one thread.
  TNotifyEvent OnConnected;
  TNotifyEvent OnDisconnected;

 private:
  // The open socket; raises ENotConnected when there is none.
  std::shared_ptr<Net::TStreamSocket> Socket() const;

  mutable std::mutex FLock;
  std::string FHost;                            // GUARDED_BY(FLock)
  int FPort = 0;                                // GUARDED_BY(FLock)
  std::shared_ptr<Net::TStreamSocket> FSocket;  // GUARDED_BY(FLock); null when closed
  std::atomic<bool> FReadLnTimedOut{false};
};

}  // namespace KivTrans2
