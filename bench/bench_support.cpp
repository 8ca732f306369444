// The benchmark's shared helpers: payload, child processes, plain sockets,
// statistics and machine facts.
#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace KivTrans2::Bench {

namespace {

std::string Padded(std::string Text) {
  Text.resize(kLineBytes, '.');
  return Text;
}

std::string SelfPath() {
  char Buffer[4096];
  ssize_t N = ::readlink("/proc/self/exe", Buffer, sizeof Buffer - 1);
  if (N <= 0) throw std::runtime_error("cannot find the benchmark's own executable");
  return std::string(Buffer, static_cast<size_t>(N));
}

sockaddr_in Loopback(int Port) {
  sockaddr_in A = {};
  A.sin_family = AF_INET;
  A.sin_port = htons(static_cast<uint16_t>(Port));
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return A;
}

bool BindsFree(int Type, int Port, int& BoundPort) {
  int Fd = ::socket(AF_INET, Type | SOCK_CLOEXEC, 0);
  if (Fd < 0) return false;
  sockaddr_in A = Loopback(Port);
  bool Ok = ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
  if (Ok) {
    socklen_t L = sizeof A;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
    BoundPort = ntohs(A.sin_port);
  }
  ::close(Fd);
  return Ok;
}

}  // namespace

std::string RequestLine(int Index) {
  return Padded("request line " + std::to_string(Index) + " ");
}
std::string AnswerLine(int Index) {
  return Padded("answer line " + std::to_string(Index) + " ");
}

double MicrosSince(TClock::time_point Start) {
  return std::chrono::duration<double, std::micro>(TClock::now() - Start).count();
}

// --- Child processes ----------------------------------------------------------------

TChild::TChild(const std::vector<std::string>& Args) {
  int In[2], Out[2];
  if (::pipe2(In, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(Out, O_CLOEXEC) != 0) {
    ::close(In[0]);
    ::close(In[1]);
    throw std::runtime_error("pipe failed");
  }
  const std::string Self = SelfPath();
  std::vector<std::string> All{Self, "--child"};
  All.insert(All.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (std::string& A : All) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
  int Rc = ::posix_spawn(&FPid, Self.c_str(), &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(In[0]);
  ::close(Out[1]);
  FIn = In[1];
  FOut = Out[0];
  if (Rc != 0) {
    FPid = -1;
    Stop();
    throw std::runtime_error("cannot start the server process");
  }
}

TChild::~TChild() {
  Stop();
}

std::string TChild::ReadLine(int TimeoutMs) {
  auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    size_t End = FPending.find('\n');
    if (End != std::string::npos) {
      std::string Line = FPending.substr(0, End);
      FPending.erase(0, End + 1);
      return Line;
    }
    if (FOut < 0) return "";
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
    if (Left.count() <= 0) return "";
    pollfd P = {FOut, POLLIN, 0};
    int Rc = ::poll(&P, 1, static_cast<int>(Left.count()));
    if (Rc < 0 && errno == EINTR) continue;
    if (Rc <= 0) return "";
    char Buffer[4096];
    ssize_t N = ::read(FOut, Buffer, sizeof Buffer);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      ::close(FOut);
      FOut = -1;
      continue;
    }
    FPending.append(Buffer, static_cast<size_t>(N));
  }
}

void TChild::Stop() {
  if (FIn >= 0) ::close(FIn);
  FIn = -1;
  if (FPid > 0) {
    auto Deadline = TClock::now() + std::chrono::seconds(5);
    int Status = 0;
    while (::waitpid(FPid, &Status, WNOHANG) == 0) {
      if (TClock::now() > Deadline) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &Status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FPid = -1;
  }
  if (FOut >= 0) ::close(FOut);
  FOut = -1;
}

int FreePort() {
  for (int Attempt = 0; Attempt < 50; ++Attempt) {
    int Port = 0, Same = 0;
    if (!BindsFree(SOCK_STREAM, 0, Port)) continue;
    if (BindsFree(SOCK_DGRAM, Port, Same)) return Port;
  }
  throw std::runtime_error("no free loopback port");
}

TServer StartServer(const std::vector<std::string>& Args) {
  const bool WantsPort = std::find(Args.begin(), Args.end(), "{port}") != Args.end();
  std::string Last;
  for (int Attempt = 0; Attempt < 5; ++Attempt) {
    TServer S;
    S.Port = WantsPort ? FreePort() : 0;
    std::vector<std::string> Filled = Args;
    for (std::string& A : Filled)
      if (A == "{port}") A = std::to_string(S.Port);
    S.Child = std::make_unique<TChild>(Filled);
    Last = S.Child->ReadLine(20000);
    if (Last == "ready") return S;
  }
  throw std::runtime_error("the server process did not start: " + Last);
}

void WaitForStdinEnd() {
  char Buffer[256];
  for (;;) {
    ssize_t N = ::read(0, Buffer, sizeof Buffer);
    if (N == 0 || (N < 0 && errno != EINTR)) return;
  }
}

// --- Plain sockets ---------------------------------------------------------------------

int ConnectLoopback(int Port) {
  int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  sockaddr_in A = Loopback(Port);
  int Rc;
  do {
    Rc = ::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
  } while (Rc != 0 && errno == EINTR);
  if (Rc != 0) {
    ::close(Fd);
    return -1;
  }
  int One = 1;
  ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
  timeval Limit = {10, 0};  // a lost answer fails the sample instead of the run
  ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
  return Fd;
}

int ListenLoopback(int Port) {
  int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  int One = 1;
  ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in A = Loopback(Port);
  if (::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(Fd, SOMAXCONN) != 0) {
    ::close(Fd);
    return -1;
  }
  return Fd;
}

bool SendAll(int Fd, const std::string& Bytes) {
  size_t Sent = 0;
  while (Sent < Bytes.size()) {
    ssize_t N = ::send(Fd, Bytes.data() + Sent, Bytes.size() - Sent, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Sent += static_cast<size_t>(N);
  }
  return true;
}

bool ReadLines(int Fd, std::string& Buffer, int Count, bool Keep) {
  auto Complete = [&] {
    size_t Pos = 0;
    for (int I = 0; I < Count; ++I) {
      Pos = Buffer.find('\n', Pos);
      if (Pos == std::string::npos) return std::string::npos;
      ++Pos;
    }
    return Pos;
  };
  for (;;) {
    size_t End = Complete();
    if (End != std::string::npos) {
      if (!Keep) Buffer.erase(0, End);
      return true;
    }
    char Chunk[4096];
    ssize_t N = ::recv(Fd, Chunk, sizeof Chunk, 0);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Buffer.append(Chunk, static_cast<size_t>(N));
  }
}

// --- Statistics ------------------------------------------------------------------------

TStats Summarise(std::vector<double> Samples) {
  TStats S;
  S.Count = Samples.size();
  if (Samples.empty()) return S;
  std::sort(Samples.begin(), Samples.end());
  auto At = [&](double Q) {
    size_t I = static_cast<size_t>(std::ceil(Q * static_cast<double>(Samples.size())));
    return Samples[std::min(Samples.size() - 1, I == 0 ? 0 : I - 1)];
  };
  S.P50 = At(0.50);
  S.P99 = At(0.99);
  return S;
}

// --- The machine -----------------------------------------------------------------------

TMachineInfo DescribeMachine() {
  TMachineInfo M;
  std::ifstream CpuInfo("/proc/cpuinfo");
  std::string Line;
  while (std::getline(CpuInfo, Line)) {
    if (Line.rfind("model name", 0) == 0 && M.Cpu.empty()) {
      size_t Colon = Line.find(':');
      if (Colon != std::string::npos) M.Cpu = Line.substr(Colon + 2);
    }
  }
  M.Cores = static_cast<int>(std::thread::hardware_concurrency());
  utsname U;
  if (::uname(&U) == 0) M.Kernel = std::string(U.sysname) + " " + U.release;
  std::ifstream MemInfo("/proc/meminfo");
  while (std::getline(MemInfo, Line)) {
    if (Line.rfind("MemTotal:", 0) == 0) {
      std::istringstream In(Line.substr(9));
      double Kib = 0;
      In >> Kib;
      M.MemoryGiB = Kib / (1024.0 * 1024.0);
    }
  }
  return M;
}

double LoadAverage() {
  std::ifstream In("/proc/loadavg");
  double One = 0;
  In >> One;
  return One;
}

double ProcessCpuSeconds() {
  rusage U;
  ::getrusage(RUSAGE_SELF, &U);
  auto Seconds = [](const timeval& T) { return static_cast<double>(T.tv_sec) + T.tv_usec / 1e6; };
  return Seconds(U.ru_utime) + Seconds(U.ru_stime);
}

double ProcessCpuSeconds(pid_t Pid) {
  std::ifstream In("/proc/" + std::to_string(Pid) + "/stat");
  std::string Text((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  // The fields after the command name, which is in parentheses and may hold spaces.
  size_t Close = Text.rfind(')');
  if (Close == std::string::npos) return -1;
  std::istringstream Fields(Text.substr(Close + 2));
  std::string Field;
  double UserTicks = 0, SystemTicks = 0;
  for (int I = 3; I <= 15 && Fields >> Field; ++I) {
    if (I == 14) UserTicks = std::stod(Field);
    if (I == 15) SystemTicks = std::stod(Field);
  }
  return (UserTicks + SystemTicks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int ProcessOpenFiles(pid_t Pid) {
  std::error_code Error;
  std::filesystem::directory_iterator It("/proc/" + std::to_string(Pid) + "/fd", Error);
  if (Error) return -1;
  int Count = 0;
  for (; It != std::filesystem::directory_iterator(); It.increment(Error)) {
    if (Error) return -1;
    ++Count;
  }
  return Count;
}

bool ProcessMemory(pid_t Pid, double& RssMiB, int& Threads) {
  std::ifstream In("/proc/" + std::to_string(Pid) + "/status");
  if (!In) return false;
  std::string Line;
  bool HaveRss = false, HaveThreads = false;
  while (std::getline(In, Line)) {
    if (Line.rfind("VmRSS:", 0) == 0) {
      double Kib = 0;
      std::istringstream(Line.substr(6)) >> Kib;
      RssMiB = Kib / 1024.0;
      HaveRss = true;
    } else if (Line.rfind("Threads:", 0) == 0) {
      std::istringstream(Line.substr(8)) >> Threads;
      HaveThreads = true;
    }
  }
  return HaveRss && HaveThreads;
}

long RaiseOpenFilesLimit(long Wanted) {
  rlimit L;
  if (::getrlimit(RLIMIT_NOFILE, &L) != 0) return -1;
  rlim_t Target = static_cast<rlim_t>(Wanted);
  if (L.rlim_max != RLIM_INFINITY && Target > L.rlim_max) Target = L.rlim_max;
  if (L.rlim_cur == RLIM_INFINITY || L.rlim_cur >= Target) return static_cast<long>(L.rlim_cur);
  L.rlim_cur = Target;
  if (::setrlimit(RLIMIT_NOFILE, &L) != 0) ::getrlimit(RLIMIT_NOFILE, &L);
  return static_cast<long>(L.rlim_cur);
}

}  // namespace KivTrans2::Bench
