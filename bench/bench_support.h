// bench/bench_support.h — what the benchmark's cases share: the payload, the
// server child processes, plain-socket helpers, statistics and facts about the
// machine. Internal to the benchmark program.
//
// Everything here runs on the benchmark's main thread unless it says otherwise.
// Every address used is 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace KivTrans2::Bench {

using TClock = std::chrono::steady_clock;

// The payload of every case: a request of 5 lines and an answer of 3, each
// line 40 bytes.
constexpr int kRequestLines = 5;
constexpr int kAnswerLines = 3;
constexpr size_t kLineBytes = 40;
std::string RequestLine(int Index);
// The byte that starts a data line in KivTrans2's conversation.
constexpr char kDataLineMarker = '\xD7';
std::string AnswerLine(int Index);

double MicrosSince(TClock::time_point Start);

// --- Child processes ----------------------------------------------------------------

// This program started again as "<program> --child Args...". Its stdin is a pipe
// that the child watches: the child ends when it is closed. Its stdout is a pipe
// the parent reads line by line. Killed when still running at Stop.
class TChild {
 public:
  explicit TChild(const std::vector<std::string>& Args);
  ~TChild();
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  pid_t Pid() const { return FPid; }
  // The next line the child printed; "" when none came within TimeoutMs or its
  // stdout closed.
  std::string ReadLine(int TimeoutMs);
  // Closes its stdin, waits up to 5 s for its end, then kills it.
  void Stop();

 private:
  pid_t FPid = -1;
  int FIn = -1;   // the child's stdin, written here
  int FOut = -1;  // the child's stdout, read here
  std::string FPending;
};

// A server child that has said "ready", and the port it serves (0 for none).
struct TServer {
  std::unique_ptr<TChild> Child;
  int Port = 0;
};

// Starts the child server Args and waits for its "ready" line. Args may hold
// "{port}", replaced by a free loopback port (tried afresh a few times when the
// child reports the port taken). Raises std::runtime_error when the child does
// not start.
TServer StartServer(const std::vector<std::string>& Args);

// A TCP and UDP port free on 127.0.0.1 right now.
int FreePort();

// Blocks until the child's stdin closes (its parent ended or is done with it).
// Runs on a thread of the child's own.
void WaitForStdinEnd();

// --- Plain sockets ---------------------------------------------------------------------

// A blocking TCP connection to 127.0.0.1:Port with TCP_NODELAY, whose reads
// give up after 10 s; -1 on failure.
int ConnectLoopback(int Port);
// A listening socket on 127.0.0.1:Port; -1 on failure.
int ListenLoopback(int Port);
bool SendAll(int Fd, const std::string& Bytes);
// Reads until Count LF-ended lines have arrived in Buffer, then removes them
// (unless Keep) and leaves any surplus. False at end of stream or on error.
bool ReadLines(int Fd, std::string& Buffer, int Count, bool Keep = false);

// --- Statistics ------------------------------------------------------------------------

struct TStats {
  size_t Count = 0;
  double P50 = 0, P99 = 0;  // microseconds
};
TStats Summarise(std::vector<double> Samples);

// --- The machine -----------------------------------------------------------------------

struct TMachineInfo {
  std::string Cpu;
  int Cores = 0;
  std::string Kernel;
  double MemoryGiB = 0;
};
TMachineInfo DescribeMachine();
// The 1-minute load average.
double LoadAverage();
// CPU time (user + system) this process has used, in seconds.
double ProcessCpuSeconds();
// CPU time (user + system) that process Pid has used, in seconds; < 0 when
// unknown.
double ProcessCpuSeconds(pid_t Pid);
// The number of open descriptors of process Pid; < 0 when unknown.
int ProcessOpenFiles(pid_t Pid);
// From /proc/<Pid>/status: resident memory in MiB and the number of threads.
bool ProcessMemory(pid_t Pid, double& RssMiB, int& Threads);
// Raises the open-files limit to its hard limit (at most Wanted); returns the
// soft limit in force afterwards.
long RaiseOpenFilesLimit(long Wanted);

}  // namespace KivTrans2::Bench
