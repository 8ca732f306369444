// Test support: a test program can start itself as a child process that runs a
// registered routine instead of the tests ("<program> --kiv-child=Name args").
#pragma once

#include <string>
#include <vector>

namespace KivTrans2::Testing {

using TChildMain = int (*)(const std::vector<std::string>& Args);
bool RegisterChild(const char* Name, TChildMain Main);

// Called by the tests' main: runs the child routine when asked to and returns
// true with its exit status in Status.
bool RunChildIfAsked(int argc, char** argv, int& Status);

// Defines a child routine: KIV_TEST_CHILD(EchoServer) { ... return 0; }
#define KIV_TEST_CHILD(Name)                                                          \
  static int Name##ChildMain(const std::vector<std::string>& Args);                    \
  [[maybe_unused]] static const bool Name##ChildRegistered =                           \
      ::KivTrans2::Testing::RegisterChild(#Name, &Name##ChildMain);                   \
  static int Name##ChildMain([[maybe_unused]] const std::vector<std::string>& Args)

// A running child: this program started with --kiv-child=Name. Its stdout is a
// pipe the test reads line by line. Killed (SIGKILL) when destroyed unfinished.
class TChildProcess {
 public:
  TChildProcess(const std::string& Name, const std::vector<std::string>& Args);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // The next line the child printed; empty when none came within TimeoutMs or
  // its stdout closed.
  std::string ReadLine(int TimeoutMs = 10000);
  void Signal(int Sig);
  // Waits for the child's end; returns its exit status, -1 on timeout.
  int Wait(int TimeoutMs = 10000);

 private:
  int FPid = -1;
  int FOut = -1;
  std::string FPending;
  bool FReaped = false;
};

}  // namespace KivTrans2::Testing
