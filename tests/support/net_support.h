// Test support: free ports and a plain line-based TCP peer over raw sockets,
// independent of the library's own network layer. Loopback only.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace KivTrans2::Testing {

// A port number that is free for both TCP and UDP on 127.0.0.1 right now.
int FreePort();

// Holds a port (TCP listener or UDP socket) on all interfaces until destroyed.
class TPortBlocker {
 public:
  TPortBlocker(int Port, bool Udp);
  ~TPortBlocker();
  TPortBlocker(const TPortBlocker&) = delete;
  TPortBlocker& operator=(const TPortBlocker&) = delete;

 private:
  int FFd = -1;
};

// A TCP peer that writes lines (CR LF) and collects every line it receives on a
// thread of its own (LF ends a line, one CR before it dropped).
class TLinePeer {
 public:
  explicit TLinePeer(int Port);  // connects to 127.0.0.1:Port; throws on failure
  ~TLinePeer();
  TLinePeer(const TLinePeer&) = delete;
  TLinePeer& operator=(const TLinePeer&) = delete;

  void Send(const std::vector<std::string>& Lines);
  // Sends bytes as they are (no line end added).
  void SendRaw(const std::string& Bytes);
  std::vector<std::string> Received() const;
  // Pumps the main thread until Count lines have arrived or TimeoutMs passed.
  bool WaitForLines(size_t Count, int TimeoutMs = 10000) const;
  // Pumps the main thread until the server has closed the connection.
  bool WaitForClose(int TimeoutMs = 10000) const;
  bool ClosedByServer() const;
  // Closes this end.
  void Close();

 private:
  void ReadLoop();
  int FFd = -1;
  std::thread FReader;
  mutable std::mutex FLock;
  std::vector<std::string> FLines;  // GUARDED_BY(FLock)
  bool FClosed = false;             // GUARDED_BY(FLock)
};

}  // namespace KivTrans2::Testing

namespace KivTrans2::Testing {

// A scripted TCP server for client tests: accepts connections on 127.0.0.1 (a
// free port) and records the lines each sends; the test answers by hand.
class TLineServer {
 public:
  TLineServer();
  ~TLineServer();
  TLineServer(const TLineServer&) = delete;
  TLineServer& operator=(const TLineServer&) = delete;

  int Port() const { return FPort; }
  // Lines received on connection Index (0 = the first accepted).
  std::vector<std::string> Received(size_t Index = 0) const;
  size_t Connections() const;
  // Pumps the main thread until connection Index has sent Count lines.
  bool WaitForLines(size_t Count, size_t Index = 0, int TimeoutMs = 10000) const;
  // Pumps the main thread until connection Index has been closed by the peer.
  bool WaitForClose(size_t Index = 0, int TimeoutMs = 10000) const;
  // Sends lines (CR LF) on connection Index.
  void Send(const std::vector<std::string>& Lines, size_t Index = 0);
  // Closes connection Index from this side.
  void Drop(size_t Index = 0);

 private:
  struct TConn {
    int Fd = -1;
    std::thread Reader;
    std::vector<std::string> Lines;  // GUARDED_BY(FLock)
    bool Closed = false;             // GUARDED_BY(FLock)
  };
  void AcceptLoop();
  void ReadLoop(TConn* C);
  int FListen = -1;
  int FPort = 0;
  std::thread FAcceptor;
  mutable std::mutex FLock;
  std::vector<std::unique_ptr<TConn>> FConns;  // GUARDED_BY(FLock)
  bool FStopping = false;                      // GUARDED_BY(FLock)
};

}  // namespace KivTrans2::Testing
