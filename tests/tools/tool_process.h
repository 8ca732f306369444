// Test support for the tools' tests: runs a program as a user would, as a
// process of its own, feeding its stdin and collecting its stdout and stderr.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace KivTrans2::Testing {

// One running program. Its stdin is a pipe (closed at once when Input is given
// and KeepStdinOpen is false); its stdout and stderr are collected by a thread
// of this object. Killed (SIGKILL) when destroyed still running.
class TToolProcess {
 public:
  TToolProcess(const std::string& Program, const std::vector<std::string>& Args,
               const std::string& Input = "", bool KeepStdinOpen = false) {
    int In[2], Out[2], Err[2], Wake[2];
    if (::pipe2(In, O_CLOEXEC) || ::pipe2(Out, O_CLOEXEC) || ::pipe2(Err, O_CLOEXEC) ||
        ::pipe2(Wake, O_CLOEXEC))
      throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
    posix_spawn_file_actions_adddup2(&Actions, Err[1], 2);
    std::vector<std::string> All{Program};
    All.insert(All.end(), Args.begin(), Args.end());
    std::vector<char*> Argv;
    for (auto& A : All) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    int Rc = posix_spawn(&FPid, Program.c_str(), &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(In[0]);
    ::close(Out[1]);
    ::close(Err[1]);
    if (Rc != 0) throw std::runtime_error("cannot start " + Program);
    FStdin = In[1];
    FWakeRead = Wake[0];
    FWakeWrite = Wake[1];
    if (!Input.empty() && ::write(FStdin, Input.data(), Input.size()) != ssize_t(Input.size()))
      throw std::runtime_error("input too long for the pipe");
    if (!KeepStdinOpen) CloseStdin();
    FReader = std::thread([this, O = Out[0], E = Err[0]] { ReadLoop(O, E); });
    FWaiter = std::thread([this] { WaitLoop(); });
  }

  ~TToolProcess() {
    if (Wait(0) == -1) ::kill(FPid, SIGKILL);
    FWaiter.join();
    // Children of the program (an --exec command) may still hold its output.
    char Byte = 0;
    [[maybe_unused]] ssize_t N = ::write(FWakeWrite, &Byte, 1);
    FReader.join();
    CloseStdin();
    ::close(FWakeRead);
    ::close(FWakeWrite);
  }

  TToolProcess(const TToolProcess&) = delete;
  TToolProcess& operator=(const TToolProcess&) = delete;

  void CloseStdin() {
    if (FStdin >= 0) ::close(FStdin);
    FStdin = -1;
  }
  void Signal(int Sig) { ::kill(FPid, Sig); }

  std::string Out() const {
    std::lock_guard<std::mutex> Lock(FLock);
    return FOut;
  }
  std::string Err() const {
    std::lock_guard<std::mutex> Lock(FLock);
    return FErr;
  }

  // Waits until Done(stdout, stderr) holds; false when TimeoutMs passed first.
  bool WaitFor(const std::function<bool(const std::string& Out, const std::string& Err)>& Done,
               int TimeoutMs = 20000) const {
    std::unique_lock<std::mutex> Lock(FLock);
    return FChanged.wait_for(Lock, std::chrono::milliseconds(TimeoutMs),
                             [&] { return Done(FOut, FErr); });
  }
  bool WaitForOut(const std::string& Text, int TimeoutMs = 20000) const {
    return WaitFor(
        [&](const std::string& O, const std::string&) { return O.find(Text) != std::string::npos; },
        TimeoutMs);
  }
  bool WaitForErr(const std::string& Text, int TimeoutMs = 20000) const {
    return WaitFor(
        [&](const std::string&, const std::string& E) { return E.find(Text) != std::string::npos; },
        TimeoutMs);
  }

  // Waits until stdout and stderr have been read to their end.
  bool WaitOutputEnd(int TimeoutMs = 20000) const {
    std::unique_lock<std::mutex> Lock(FLock);
    return FChanged.wait_for(Lock, std::chrono::milliseconds(TimeoutMs),
                             [&] { return FOutputEnded; });
  }

  // Waits for the end; returns the exit status (128 + signal when killed), -1
  // when it has not ended within TimeoutMs.
  int Wait(int TimeoutMs = 20000) const {
    std::unique_lock<std::mutex> Lock(FLock);
    if (!FChanged.wait_for(Lock, std::chrono::milliseconds(TimeoutMs), [&] { return FEnded; }))
      return -1;
    return FStatus;
  }

 private:
  void ReadLoop(int OutFd, int ErrFd) {
    pollfd Fds[3] = {{OutFd, POLLIN, 0}, {ErrFd, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
    int Open = 2;
    while (Open > 0) {
      if (::poll(Fds, 3, -1) < 0) continue;
      if (Fds[2].revents) break;
      for (int I = 0; I < 2; ++I) {
        if (Fds[I].fd < 0 || !Fds[I].revents) continue;
        char Buffer[4096];
        ssize_t N = ::read(Fds[I].fd, Buffer, sizeof Buffer);
        if (N <= 0) {
          ::close(Fds[I].fd);
          Fds[I].fd = -1;
          --Open;
          continue;
        }
        {
          std::lock_guard<std::mutex> Lock(FLock);
          (I == 0 ? FOut : FErr).append(Buffer, static_cast<size_t>(N));
        }
        FChanged.notify_all();
      }
    }
    for (int I = 0; I < 2; ++I)
      if (Fds[I].fd >= 0) ::close(Fds[I].fd);
    {
      std::lock_guard<std::mutex> Lock(FLock);
      FOutputEnded = Open == 0;
    }
    FChanged.notify_all();
  }

  void WaitLoop() {
    int Status = 0;
    while (::waitpid(FPid, &Status, 0) < 0 && errno == EINTR) {
    }
    {
      std::lock_guard<std::mutex> Lock(FLock);
      FEnded = true;
      FStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }
    FChanged.notify_all();
  }

  pid_t FPid = -1;
  int FStdin = -1;
  int FWakeRead = -1, FWakeWrite = -1;
  std::thread FReader, FWaiter;
  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
  std::string FOut, FErr;     // GUARDED_BY(FLock)
  bool FEnded = false;        // GUARDED_BY(FLock)
  bool FOutputEnded = false;  // GUARDED_BY(FLock): stdout and stderr read to their end
  int FStatus = -1;           // GUARDED_BY(FLock)
};

// A finished run of a program.
struct TToolRun {
  int Status;
  std::string Out, Err;
};

inline TToolRun RunToEnd(const std::string& Program, const std::vector<std::string>& Args,
                         const std::string& Input = "", int TimeoutMs = 30000) {
  TToolProcess P(Program, Args, Input);
  int Status = P.Wait(TimeoutMs);
  P.WaitOutputEnd(5000);
  return {Status, P.Out(), P.Err()};
}

}  // namespace KivTrans2::Testing
