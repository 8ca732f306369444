// discovery/reply_wait.h — waiting for the replies of a search. Internal.
#pragma once

#include <string>

namespace KivTrans2 {

class TUdpClient;

// The next datagram that Client receives, as text, waiting at most TimeoutMs;
// "" when none arrives in time (or the datagram is empty). On the main thread
// it keeps serving Synchronize while it waits, so the datagrams of a server in
// this same process (delivered on the main thread) are answered, and no worker
// waits on the main thread for the whole search. Raises what Client raises.
std::string ReceiveReply(TUdpClient& Client, int TimeoutMs);

// Opens Client for the lifetime of the guard and closes it again, unless it
// was already open (a search in progress further up the main thread's stack
// keeps its socket).
class TUdpSession {
 public:
  explicit TUdpSession(TUdpClient& Client);
  ~TUdpSession();
  TUdpSession(const TUdpSession&) = delete;
  TUdpSession& operator=(const TUdpSession&) = delete;

 private:
  TUdpClient& FClient;
  bool FWasActive;
};

}  // namespace KivTrans2
