// tools/kivtrans2/main_loop.h — the tool's main thread: the loop that serves the
// library's main-thread calls, the stop signals, and whole-line log output.
#pragma once

#include <functional>
#include <string>

namespace KivTrans2::Tool {

// While it lives, SIGINT and SIGTERM only make Fd() readable (the handler writes
// one byte into a pipe); a second signal of the same kind then ends the process
// as usual. The destructor restores the previous handlers.
class TStopSignals {
 public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  int Fd() const { return FRead; }

 private:
  int FRead = -1;
  int FWrite = -1;
};

// Serves the library's main-thread calls (CheckSynchronize when its wake fd
// becomes readable) until Done() returns true, or, with Stop given, until a
// stop signal arrived. Returns false when stopped by a signal.
// REQUIRES: the library's main thread.
bool RunMainLoop(const std::function<bool()>& Done, const TStopSignals* Stop = nullptr);

// Writes Line and a line feed to stderr with one write, so that lines of
// several writers never interleave.
void WriteLogLine(const std::string& Line);

// Writes to a closed pipe (a reader that went away, an --exec command that did
// not read its input) then fail with EPIPE instead of ending the tool.
void IgnoreBrokenPipes();

}  // namespace KivTrans2::Tool
