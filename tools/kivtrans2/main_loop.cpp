// The tool's main thread: the main loop, the stop signals and log output.
#include "main_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KivTrans2.h"

namespace KivTrans2::Tool {

namespace {

// The write end of the live TStopSignals' pipe, for the signal handler.
volatile sig_atomic_t gStopWriteFd = -1;
struct sigaction gPreviousInt;
struct sigaction gPreviousTerm;

void OnStopSignal(int) {
  const int SavedErrno = errno;
  const int Fd = gStopWriteFd;
  if (Fd >= 0) {
    const char Byte = 1;
    [[maybe_unused]] ssize_t N = ::write(Fd, &Byte, 1);
  }
  errno = SavedErrno;
}

}  // namespace

TStopSignals::TStopSignals() {
  int Pipe[2];
  if (::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw Exception(std::string("cannot create a pipe: ") + std::strerror(errno));
  FRead = Pipe[0];
  FWrite = Pipe[1];
  gStopWriteFd = FWrite;
  struct sigaction Action = {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  // SA_RESETHAND: a second signal finds the default action and ends the
  // process, for a stop that hangs. SA_RESTART: blocking calls go on.
  Action.sa_flags = SA_RESTART | SA_RESETHAND;
  ::sigaction(SIGINT, &Action, &gPreviousInt);
  ::sigaction(SIGTERM, &Action, &gPreviousTerm);
}

TStopSignals::~TStopSignals() {
  ::sigaction(SIGINT, &gPreviousInt, nullptr);
  ::sigaction(SIGTERM, &gPreviousTerm, nullptr);
  gStopWriteFd = -1;
  ::close(FRead);
  ::close(FWrite);
}

bool RunMainLoop(const std::function<bool()>& Done, const TStopSignals* Stop) {
  for (;;) {
    if (Done()) return true;
    pollfd Fds[2] = {{MainThreadWakeFd(), POLLIN, 0}, {Stop ? Stop->Fd() : -1, POLLIN, 0}};
    if (::poll(Fds, Stop ? 2 : 1, -1) < 0 && errno != EINTR)
      throw Exception(std::string("poll failed: ") + std::strerror(errno));
    if (Stop && (Fds[1].revents & POLLIN) != 0) return false;
    CheckSynchronize(0);
  }
}

void WriteLogLine(const std::string& Line) {
  const std::string Whole = Line + "\n";
  size_t Done = 0;
  while (Done < Whole.size()) {
    ssize_t N = ::write(STDERR_FILENO, Whole.data() + Done, Whole.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return;  // nowhere to log to
    Done += static_cast<size_t>(N);
  }
}

void IgnoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace KivTrans2::Tool
