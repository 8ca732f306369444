#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace KivTrans2::Testing {

namespace {
std::map<std::string, TChildMain>& Children() {
  static std::map<std::string, TChildMain> M;
  return M;
}
constexpr char kFlag[] = "--kiv-child=";
}  // namespace

bool RegisterChild(const char* Name, TChildMain Main) {
  Children()[Name] = Main;
  return true;
}

bool RunChildIfAsked(int argc, char** argv, int& Status) {
  if (argc < 2 || std::strncmp(argv[1], kFlag, sizeof kFlag - 1) != 0) return false;
  // A child never outlives the test that started it, even when that test is
  // killed before it can clean up.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::string Name = argv[1] + sizeof kFlag - 1;
  auto It = Children().find(Name);
  if (It == Children().end()) {
    Status = 99;
    return true;
  }
  std::vector<std::string> Args(argv + 2, argv + argc);
  Status = It->second(Args);
  return true;
}

TChildProcess::TChildProcess(const std::string& Name, const std::vector<std::string>& Args) {
  int Pipe[2];
  if (::pipe2(Pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
  std::vector<std::string> All{"/proc/self/exe", kFlag + Name};
  All.insert(All.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (auto& A : All) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  char Exe[4096];
  ssize_t N = ::readlink("/proc/self/exe", Exe, sizeof Exe - 1);
  if (N <= 0) throw std::runtime_error("readlink failed");
  Exe[N] = 0;
  int Rc = posix_spawn(&FPid, Exe, &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(Pipe[1]);
  FOut = Pipe[0];
  if (Rc != 0) throw std::runtime_error("spawn failed");
}

TChildProcess::~TChildProcess() {
  if (!FReaped) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
  }
  ::close(FOut);
}

std::string TChildProcess::ReadLine(int TimeoutMs) {
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    size_t Lf = FPending.find('\n');
    if (Lf != std::string::npos) {
      std::string Line = FPending.substr(0, Lf);
      FPending.erase(0, Lf + 1);
      return Line;
    }
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    Deadline - std::chrono::steady_clock::now())
                    .count();
    if (Left <= 0) return "";
    struct pollfd P = {FOut, POLLIN, 0};
    if (::poll(&P, 1, static_cast<int>(Left)) <= 0) continue;
    char Buffer[1024];
    ssize_t Got = ::read(FOut, Buffer, sizeof Buffer);
    if (Got <= 0) return "";
    FPending.append(Buffer, static_cast<size_t>(Got));
  }
}

void TChildProcess::Signal(int Sig) { ::kill(FPid, Sig); }

int TChildProcess::Wait(int TimeoutMs) {
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    int Status = 0;
    pid_t R = ::waitpid(FPid, &Status, WNOHANG);
    if (R == FPid) {
      FReaped = true;
      return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }
    if (std::chrono::steady_clock::now() > Deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace KivTrans2::Testing
