// A KivTrans2 client inside the application's own event loop.
//
//   example_client [PORT] LINE...
//
// Sends the lines as one request to 127.0.0.1:PORT and prints the answer. While
// the answer is on its way the application's loop goes on with its own work
// (here: a tick every 100 ms) and serves the library through its wake file
// descriptor; the client's events then run on this thread.
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KivTrans2.h"

using namespace KivTrans2;

int main(int argc, char** argv) {
  SetMainThread();
  if (argc < 3) {
    std::fprintf(stderr, "usage: example_client PORT LINE...\n");
    return 2;
  }

  TOwnerComponent Form;  // owns the connection and the client
  auto* Connection = new TKivConnection(&Form);
  Connection->SetHost("127.0.0.1");
  Connection->SetPort(std::atoi(argv[1]));
  auto* Client = new TKivClient(&Form);
  Client->SetConnection(Connection);

  bool Done = false;
  int Status = 1;
  Client->OnRequest = [&](TKivClient* Sender) {  // inside Request: write the body
    for (int I = 2; I < argc; ++I) Sender->WriteLine(argv[I]);
  };
  Client->OnAnswer = [](TKivClient* Sender, bool&) {
    while (!Sender->IsEOF()) std::printf("answer: %s\n", Sender->ReadLine().c_str());
  };
  Client->OnTransEnd = [&](TKivClient*, bool Success) {
    Status = Success ? 0 : 1;
    Done = true;
  };

  try {
    Client->Request();
  } catch (const Exception& E) {
    std::fprintf(stderr, "request failed: %s\n", E.what());
    return 1;
  }

  int Ticks = 0;
  pollfd Wake = {MainThreadWakeFd(), POLLIN, 0};
  while (!Done) {
    if (::poll(&Wake, 1, 100) > 0)
      CheckSynchronize(0);  // delivers OnAnswer and OnTransEnd
    else
      ++Ticks;  // the application's own work
  }
  std::printf("%s after %d idle ticks\n", Status == 0 ? "answered" : "no answer", Ticks);
  return Status;
}
