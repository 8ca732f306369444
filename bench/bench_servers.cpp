// The benchmark's server processes, started by the benchmark as children of its
// own ("<program> --child MODE ..."). Each prints "ready" once it serves and
// ends when its stdin closes.
//
//   raw PORT                       plain sockets, a thread per connection
//   kiv-peer PORT                  plain sockets speaking KivTrans2's conversation
//   zmq PORT                       ZeroMQ REP socket
//   kiv-tcp PORT INTERVAL WAKE     TKivServer over TCP
//   kiv-fs DIR INTERVAL WAKE       TKivServer on a shared directory
//
// WAKE is 1 for WakeOnRequest.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KivTrans2.h"
#include "bench_support.h"

#ifdef KIVTRANS2_BENCH_ZMQ
#include <zmq.h>
#endif

namespace KivTrans2::Bench {

namespace {

void Say(const std::string& Line) {
  std::printf("%s\n", Line.c_str());
  std::fflush(stdout);
}

std::string AnswerBytes() {
  std::string Out;
  for (int I = 0; I < kAnswerLines; ++I) Out += AnswerLine(I) + "\r\n";
  return Out;
}

// Listens on Port, serves every connection with Serve(Fd) on a thread of its
// own (the descriptor is closed after it), says "ready", and ends the process
// when stdin closes.
int ServePlainConnections(int Port, std::function<void(int Fd)> Serve) {
  int Listener = ListenLoopback(Port);
  if (Listener < 0) {
    Say("error cannot listen");
    return 1;
  }
  std::thread([Listener, Serve = std::move(Serve)] {
    for (;;) {
      int Fd = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (Fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      int One = 1;
      ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
      std::thread([Fd, Serve] {
        Serve(Fd);
        ::close(Fd);
      }).detach();
    }
  }).detach();
  Say("ready");
  WaitForStdinEnd();
  _exit(0);  // the detached threads end with the process
}

// The floor: read five lines, write three, in as few system calls as the
// kernel allows.
int RunRawServer(int Port) {
  return ServePlainConnections(Port, [Answer = AnswerBytes()](int Fd) {
    std::string Buffer;
    while (ReadLines(Fd, Buffer, kRequestLines) && SendAll(Fd, Answer)) {
    }
  });
}

// A plain-socket server that speaks KivTrans2's TCP conversation: reads a
// request up to "@end", answers with one send.
int RunKivPeerServer(int Port) {
  std::string Body;
  for (int I = 0; I < kAnswerLines; ++I)
    Body += std::string(1, kDataLineMarker) + AnswerLine(I) + "\r\n";
  return ServePlainConnections(Port, [Body](int Fd) {
    std::string Buffer, Code = "0";
    for (;;) {
      if (!ReadLines(Fd, Buffer, 1, true)) break;
      size_t End = Buffer.find('\n');
      std::string Line = Buffer.substr(0, End);
      Buffer.erase(0, End + 1);
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      if (Line.rfind("@cod ", 0) == 0) Code = Line.substr(5);
      if (Line != "@end") continue;
      if (!SendAll(Fd, "@answer\r\n@cod " + Code + "\r\n" + Body + "@end\r\n")) break;
    }
  });
}

#ifdef KIVTRANS2_BENCH_ZMQ
int RunZmqServer(int Port) {
  void* Context = zmq_ctx_new();
  void* Socket = zmq_socket(Context, ZMQ_REP);
  const std::string Endpoint = "tcp://127.0.0.1:" + std::to_string(Port);
  if (zmq_bind(Socket, Endpoint.c_str()) != 0) {
    Say(std::string("error ") + zmq_strerror(zmq_errno()));
    return 1;
  }
  const std::string Answer = AnswerBytes();
  Say("ready");
  std::vector<char> Buffer(64 * 1024);
  for (;;) {
    zmq_pollitem_t Items[2] = {{Socket, 0, ZMQ_POLLIN, 0}, {nullptr, 0, ZMQ_POLLIN, 0}};
    if (zmq_poll(Items, 2, -1) < 0) {
      if (zmq_errno() == EINTR) continue;
      break;
    }
    if (Items[1].revents & (ZMQ_POLLIN | ZMQ_POLLERR)) {  // a closed pipe reports an error
      char Byte;
      if (::read(0, &Byte, 1) <= 0) break;
    }
    if (Items[0].revents & ZMQ_POLLIN) {
      if (zmq_recv(Socket, Buffer.data(), Buffer.size(), 0) < 0) continue;
      zmq_send(Socket, Answer.data(), Answer.size(), 0);
    }
  }
  zmq_close(Socket);
  zmq_ctx_term(Context);
  return 0;
}
#endif

int RunKivServer(bool Tcp, const std::string& Where, uint32_t Interval, bool Wake) {
  TKivServer Server(nullptr);
  Server.SetName("BenchServer");
  if (Tcp) {
    Server.SetPort(std::stoi(Where));
    // Its own key, and it starts even if another server answers the search.
    Server.SetSeekKey("kivtrans2-bench-" + std::to_string(::getpid()));
    Server.SetSeekOtherTimeout(20);
    Server.OnOtherServerFound = [](TKivServer*, const auto&, bool& GiveUp) { GiveUp = false; };
  } else {
    Server.SetUseTCP(false);
    Server.SetServerDir(Where);
  }
  Server.SetInterval(Interval);
  Server.SetWakeOnRequest(Wake);
  Server.OnRequest = [](TKivServer*, TRequest* R) {
    while (!R->IsEOF()) R->ReadLine();
    for (int I = 0; I < kAnswerLines; ++I) R->WriteLine(AnswerLine(I));
  };
  try {
    if (!Server.Activate()) {
      Say("error the start was given up");
      return 1;
    }
  } catch (const std::exception& E) {
    Say(std::string("error ") + E.what());
    return 1;
  }
  std::atomic<bool> Quit{false};
  std::thread Watch([&] {
    WaitForStdinEnd();
    Quit = true;
  });
  Say("ready");
  while (!Quit) CheckSynchronize(20);
  Server.DeActivate();
  Watch.join();
  return 0;
}

}  // namespace

int RunChild(const std::vector<std::string>& Args) {
  try {
    const std::string Mode = Args.empty() ? "" : Args[0];
    if (Mode == "raw" && Args.size() == 2) return RunRawServer(std::stoi(Args[1]));
    if (Mode == "kiv-peer" && Args.size() == 2) return RunKivPeerServer(std::stoi(Args[1]));
#ifdef KIVTRANS2_BENCH_ZMQ
    if (Mode == "zmq" && Args.size() == 2) return RunZmqServer(std::stoi(Args[1]));
#endif
    if ((Mode == "kiv-tcp" || Mode == "kiv-fs") && Args.size() == 4)
      return RunKivServer(Mode == "kiv-tcp", Args[1], static_cast<uint32_t>(std::stoul(Args[2])),
                          Args[3] == "1");
    Say("error unknown child mode");
  } catch (const std::exception& E) {
    Say(std::string("error ") + E.what());
  }
  return 2;
}

}  // namespace KivTrans2::Bench
