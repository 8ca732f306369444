// A KivTrans2 server inside the application's own event loop.
//
//   example_server [PORT]
//
// Answers each request with its lines in capitals and prints what it serves.
// The application's loop waits on its own input (stdin: Enter or end of input
// stops the server) and on the library's wake file descriptor, which becomes
// readable whenever the library has work for the main thread.
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KivTrans2.h"

using namespace KivTrans2;

int main(int argc, char** argv) {
  SetMainThread();
  // This example stays on this machine: discovery broadcasts go to loopback.
  SetBroadcastTarget("127.255.255.255");

  TOwnerComponent Form;  // owns the server
  auto* Server = new TKivServer(&Form);
  Server->SetPort(argc > 1 ? std::atoi(argv[1]) : 2000);
  Server->SetSeekOtherTimeout(200);  // the check for a running twin: quick here

  // Runs on the main thread, inside CheckSynchronize, one request at a time.
  Server->OnRequest = [](TKivServer*, TRequest* Request) {
    std::printf("request of priority %d with %zu lines\n", Request->Priority,
                Request->Lines.size());
    while (!Request->IsEOF()) {
      std::string Line = Request->ReadLine();
      for (char& C : Line) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
      Request->WriteLine(Line);
    }
  };
  Server->OnNotificationReceived = [](TKivServer*, const std::string& Data) {
    std::printf("notification: %s\n", Data.c_str());
  };

  try {
    if (!Server->Activate()) {
      std::fprintf(stderr, "another server with this key runs here\n");
      return 3;
    }
  } catch (const Exception& E) {
    std::fprintf(stderr, "cannot start: %s\n", E.what());
    return 1;
  }
  std::printf("serving on port %d; press Enter to stop\n", Server->Port());
  std::fflush(stdout);

  pollfd Fds[2] = {{STDIN_FILENO, POLLIN, 0}, {MainThreadWakeFd(), POLLIN, 0}};
  for (;;) {
    if (::poll(Fds, 2, -1) < 0) continue;  // interrupted
    if (Fds[1].revents & POLLIN) CheckSynchronize(0);
    if (Fds[0].revents) break;  // Enter, end of input or a closed stdin
    std::fflush(stdout);
  }

  Server->DeActivate();  // answers whatever is still queued
  std::printf("stopped\n");
  return 0;
}
