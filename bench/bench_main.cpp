// kivtrans2-bench: KivTrans2 against a plain-socket exchange and ZeroMQ
// REQ/REP on loopback, in one run, so the figures compare as ratios.
//
//   kivtrans2-bench [--rounds N] [--scale F] [--connections N] [--json PATH]
//                   [--only TEXT]
//
// --scale multiplies every sample count and measuring window; --only runs the
// cases whose name holds TEXT ("kept", "FS", "32 clients", "scale", ...).
//
// Every server runs in a child process of this program. Latency cases are run
// in rounds (each case a slice of its samples per round) so that a burst of
// load on a shared machine spreads over all of them. Requests are spaced by a
// random pause of 2 to 4 ms, the same for every case. Prints one table and
// writes the same as JSON.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KivTrans2.h"
#include "bench_support.h"

#ifdef KIVTRANS2_BENCH_ZMQ
#include <zmq.h>
#endif

#ifndef KIVTRANS2_BENCH_RESULTS
#define KIVTRANS2_BENCH_RESULTS "bench/results"
#endif

namespace KivTrans2::Bench {

int RunChild(const std::vector<std::string>& Args);

namespace {

// --- Options ----------------------------------------------------------------------------

struct TOptions {
  int Rounds = 4;
  double Scale = 1.0;  // multiplies sample counts and measuring windows
  int Connections = 1000;
  std::string JsonPath = std::string(KIVTRANS2_BENCH_RESULTS) + "/latest.json";
  std::string Only;  // run only the cases whose name holds this text

  bool Wanted(const std::string& Case) const {
    return Only.empty() || Case.find(Only) != std::string::npos;
  }
};

int Scaled(const TOptions& O, int N) {
  return std::max(1, static_cast<int>(N * O.Scale));
}

// --- Round-trip clients -----------------------------------------------------------------

class TRoundTripClient {
 public:
  virtual ~TRoundTripClient() = default;
  // One request and its answer; the time in microseconds, or < 0 on failure.
  virtual double RoundTrip() = 0;
  // How long the last RoundTrip's sending call took (the application's thread
  // is held that long), in microseconds; < 0 when not measured.
  virtual double SendCallUs() const { return -1; }
};

std::string RequestBytes() {
  std::string Out;
  for (int I = 0; I < kRequestLines; ++I) Out += RequestLine(I) + "\r\n";
  return Out;
}

class TRawClient : public TRoundTripClient {
 public:
  explicit TRawClient(int Port) : FFd(ConnectLoopback(Port)), FRequest(RequestBytes()) {
    if (FFd < 0) throw std::runtime_error("cannot connect to the plain-socket server");
  }
  ~TRawClient() override { ::close(FFd); }
  double RoundTrip() override {
    auto Start = TClock::now();
    if (!SendAll(FFd, FRequest) || !ReadLines(FFd, FBuffer, kAnswerLines)) return -1;
    return MicrosSince(Start);
  }

 private:
  int FFd;
  std::string FRequest;
  std::string FBuffer;
};

// The plain-socket exchange with a connection per request, against the same
// server (a thread per accepted connection, as KivTrans2's TCP server has).
class TRawConnectClient : public TRoundTripClient {
 public:
  explicit TRawConnectClient(int Port) : FPort(Port), FRequest(RequestBytes()) {}
  double RoundTrip() override {
    auto Start = TClock::now();
    int Fd = ConnectLoopback(FPort);
    if (Fd < 0) return -1;
    std::string Buffer;
    const bool Ok = SendAll(Fd, FRequest) && ReadLines(Fd, Buffer, kAnswerLines);
    ::close(Fd);
    return Ok ? MicrosSince(Start) : -1;
  }

 private:
  int FPort;
  std::string FRequest;
};

// A plain-socket client that speaks KivTrans2's TCP conversation: one send for
// the whole request, reads until the answer's "@end".
// Unless Kept, it connects (and closes) for every request, as a
// KivTrans2 client with AutoConnect does.
class TRawKivClient : public TRoundTripClient {
 public:
  TRawKivClient(int Port, bool Kept) : FPort(Port), FFd(Kept ? ConnectLoopback(Port) : -1) {
    if (Kept && FFd < 0) throw std::runtime_error("cannot connect to the KivTrans2 server");
  }
  ~TRawKivClient() override {
    if (FFd >= 0) ::close(FFd);
  }
  double RoundTrip() override {
    auto Start = TClock::now();
    const bool Kept = FFd >= 0;
    const int Fd = Kept ? FFd : ConnectLoopback(FPort);
    if (Fd < 0) return -1;
    std::string Request = "@request\r\n@cod " + std::to_string(++FCode) + "\r\n@prior1\r\n";
    for (int I = 0; I < kRequestLines; ++I)
      Request += std::string(1, kDataLineMarker) + RequestLine(I) + "\r\n";
    Request += "@end\r\n";
    // "@answer", "@cod", the data lines, "@end".
    if (!Kept) FBuffer.clear();  // a new connection starts with nothing pending
    const bool Ok = SendAll(Fd, Request) && ReadLines(Fd, FBuffer, kAnswerLines + 3);
    if (!Kept) ::close(Fd);
    return Ok ? MicrosSince(Start) : -1;
  }

 private:
  int FPort;
  int FFd;
  int FCode = 0;
  std::string FBuffer;
};

#ifdef KIVTRANS2_BENCH_ZMQ
class TZmqClient : public TRoundTripClient {
 public:
  explicit TZmqClient(int Port) : FRequest(RequestBytes()), FBuffer(64 * 1024) {
    FContext = zmq_ctx_new();
    FSocket = zmq_socket(FContext, ZMQ_REQ);
    const std::string Endpoint = "tcp://127.0.0.1:" + std::to_string(Port);
    int Limit = 10000;  // ms: a lost answer fails the sample instead of the run
    zmq_setsockopt(FSocket, ZMQ_RCVTIMEO, &Limit, sizeof Limit);
    if (zmq_connect(FSocket, Endpoint.c_str()) != 0)
      throw std::runtime_error("cannot connect to the ZeroMQ server");
  }
  ~TZmqClient() override {
    int Zero = 0;
    zmq_setsockopt(FSocket, ZMQ_LINGER, &Zero, sizeof Zero);
    zmq_close(FSocket);
    zmq_ctx_term(FContext);
  }
  double RoundTrip() override {
    auto Start = TClock::now();
    if (zmq_send(FSocket, FRequest.data(), FRequest.size(), 0) < 0) return -1;
    if (zmq_recv(FSocket, FBuffer.data(), FBuffer.size(), 0) < 0) return -1;
    return MicrosSince(Start);
  }

 private:
  void* FContext = nullptr;
  void* FSocket = nullptr;
  std::string FRequest;
  std::vector<char> FBuffer;
};
#endif

// A KivTrans2 client as an application writes one: the request body in
// OnRequest, the answer read in OnAnswer, the next request after OnTransEnd.
class TKivRoundTrip : public TRoundTripClient {
 public:
  // TCP to 127.0.0.1:Port when Dir is empty, else FS mode in Dir.
  TKivRoundTrip(int Port, const std::string& Dir, bool AutoConnect)
      : FConnection(nullptr), FClient(nullptr) {
    if (Dir.empty()) {
      FConnection.SetHost("127.0.0.1");
      FConnection.SetPort(Port);
      FConnection.SetAutoConnect(AutoConnect);
      if (!AutoConnect) FConnection.Connect();
    } else {
      FConnection.SetUseTCP(false);
      FConnection.SetServerDir(Dir);
    }
    FClient.SetConnection(&FConnection);
    FClient.OnRequest = [](TKivClient* C) {
      for (int I = 0; I < kRequestLines; ++I) C->WriteLine(RequestLine(I));
    };
    FClient.OnAnswer = [this](TKivClient* C, bool& Success) {
      int Good = 0;
      for (int I = 0; I < kAnswerLines && !C->IsEOF(); ++I)
        if (C->ReadLine() == AnswerLine(I)) ++Good;
      FAnswered = Good == kAnswerLines;
      FAnsweredAt = TClock::now();
      if (FAnswered && AnswerLog) AnswerLog->push_back(FAnsweredAt);
    };
    FClient.OnTransEnd = [this](TKivClient*, bool) { FEnded = true; };
  }

  // Starts an exchange without waiting for it.
  void Send() {
    FEnded = FAnswered = false;
    try {
      FClient.Request();
    } catch (...) {
      FEnded = true;  // nothing started
      throw;
    }
  }
  bool Ended() const { return FEnded; }
  double SendCallUs() const override { return FSendCallUs; }
  // When set, the time of every good answer is added to it.
  std::vector<TClock::time_point>* AnswerLog = nullptr;

  double RoundTrip() override {
    auto Start = TClock::now();
    Send();
    FSendCallUs = MicrosSince(Start);
    if (!ProcessMessagesUntil([&] { return FEnded; }, 20000) || !FAnswered) return -1;
    return std::chrono::duration<double, std::micro>(FAnsweredAt - Start).count();
  }

 private:
  TKivConnection FConnection;
  TKivClient FClient;
  bool FEnded = true, FAnswered = false;  // no exchange yet
  double FSendCallUs = -1;
  TClock::time_point FAnsweredAt;
};

// --- Results ----------------------------------------------------------------------------

struct TResult {
  std::string Name;
  std::optional<TStats> Latency;
  int Failures = 0;
  std::optional<double> Rate;       // per second
  std::optional<double> RateLimit;  // the design limit of that rate
  std::string Note;
  std::map<std::string, double> Extra;  // further figures, for the JSON
  bool Skipped = false;
};

// --- Latency cases ----------------------------------------------------------------------

struct TLatencyCase {
  std::string Name;
  std::vector<std::string> ServerArgs;  // empty: the case cannot run here
  std::function<std::unique_ptr<TRoundTripClient>(int Port)> MakeClient;
  int Samples = 0;
  std::string SkipNote;
  std::vector<double> Results;
  std::vector<double> SendCalls;  // Request()'s own time, where measured
  int Failures = 0;
};

TLatencyCase LatencyCase(std::string Name, std::vector<std::string> ServerArgs,
                         std::function<std::unique_ptr<TRoundTripClient>(int Port)> MakeClient,
                         int Samples, std::string SkipNote = "") {
  TLatencyCase C;
  C.Name = std::move(Name);
  C.ServerArgs = std::move(ServerArgs);
  C.MakeClient = std::move(MakeClient);
  C.Samples = Samples;
  C.SkipNote = std::move(SkipNote);
  return C;
}

class TThinkTime {
 public:
  void Pause() { std::this_thread::sleep_for(std::chrono::microseconds(FPause(FRandom))); }

 private:
  std::mt19937 FRandom{20261211};
  std::uniform_int_distribution<int> FPause{2000, 4000};
};

void RunLatencySlice(TLatencyCase& C, int Samples, TThinkTime& Think) {
  TServer Server = StartServer(C.ServerArgs);
  std::unique_ptr<TRoundTripClient> Client = C.MakeClient(Server.Port);
  for (int I = 0; I < 10; ++I) {  // warm-up: connections, caches, the first ticks
    Think.Pause();
    Client->RoundTrip();
  }
  for (int I = 0; I < Samples; ++I) {
    Think.Pause();
    double Us = Client->RoundTrip();
    if (Us < 0) {
      ++C.Failures;
      continue;
    }
    C.Results.push_back(Us);
    if (Client->SendCallUs() >= 0) C.SendCalls.push_back(Client->SendCallUs());
  }
  Client.reset();
  Server.Child->Stop();
}

// --- Throughput -------------------------------------------------------------------------

// Answers per second for Clients kept connections that each send their next
// request as soon as the previous exchange has ended.
double Throughput(const std::vector<std::string>& ServerArgs, int Clients, double Seconds,
                  int& Failures) {
  TServer Server = StartServer(ServerArgs);
  std::vector<std::unique_ptr<TKivRoundTrip>> Peers;
  std::vector<TClock::time_point> Answered;
  for (int I = 0; I < Clients; ++I) {
    Peers.push_back(std::make_unique<TKivRoundTrip>(Server.Port, "", false));
    Peers.back()->AnswerLog = &Answered;
  }
  auto Start = TClock::now();
  auto MeasureFrom = Start + std::chrono::milliseconds(500);
  auto End = MeasureFrom +
             std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(Seconds));
  Failures = 0;
  bool Sending = true;
  for (;;) {
    const auto Now = TClock::now();
    if (Now >= End) Sending = false;
    bool AllEnded = true;
    for (size_t I = 0; I < Peers.size(); ++I) {
      if (!Peers[I]->Ended()) {
        AllEnded = false;
        continue;
      }
      if (Sending) {
        try {
          Peers[I]->Send();
          AllEnded = false;
        } catch (const std::exception&) {
          ++Failures;
        }
      }
    }
    if (!Sending && AllEnded) break;
    if (!Sending && Now > End + std::chrono::seconds(20)) break;
    CheckSynchronize(5);
  }
  Peers.clear();
  Server.Child->Stop();
  // Counted by when each answer arrived, not by when this loop noticed it.
  const auto Answers = std::count_if(Answered.begin(), Answered.end(), [&](TClock::time_point T) {
    return T >= MeasureFrom && T < End;
  });
  return static_cast<double>(Answers) / Seconds;
}

// --- Waiting clients --------------------------------------------------------------------

// CPU time that this process spends per second while one exchange waits for an
// answer that does not come (the server ticks once an hour), in percent of one
// core.
double WaitingCpuPercent(const std::vector<std::string>& ServerArgs, const std::string& Dir,
                         double Seconds) {
  TServer Server = StartServer(ServerArgs);
  auto Client = std::make_unique<TKivRoundTrip>(Server.Port, Dir, true);
  Client->Send();
  auto Pump = [](double For) {
    auto Until = TClock::now() +
                 std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(For));
    while (TClock::now() < Until) CheckSynchronize(100);
  };
  Pump(0.2);  // the wait has begun
  const double Cpu0 = ProcessCpuSeconds();
  const auto T0 = TClock::now();
  Pump(Seconds);
  const double Cpu = ProcessCpuSeconds() - Cpu0;
  const double Wall = std::chrono::duration<double>(TClock::now() - T0).count();
  Client.reset();  // cancels the wait
  Server.Child->Stop();
  return 100.0 * Cpu / Wall;
}

// CPU time that an idle server (no client at all) spends per second, in
// percent of one core.
double IdleServerCpuPercent(const std::vector<std::string>& ServerArgs, double Seconds) {
  TServer Server = StartServer(ServerArgs);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the start
  const double Cpu0 = ProcessCpuSeconds(Server.Child->Pid());
  const auto T0 = TClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
  const double Cpu = ProcessCpuSeconds(Server.Child->Pid()) - Cpu0;
  const double Wall = std::chrono::duration<double>(TClock::now() - T0).count();
  Server.Child->Stop();
  return 100.0 * Cpu / Wall;
}

// --- Many idle connections --------------------------------------------------------------

struct TScaleResult {
  int Opened = 0;
  double AcceptMs = 0;
  bool AllAccepted = false;
  double RssBeforeMiB = 0, RssMiB = 0;
  int ThreadsBefore = 0, Threads = 0;
  std::vector<double> Single, Among;
  long OpenFilesLimit = 0;
};

TScaleResult Scale(const TOptions& O, TThinkTime& Think) {
  TScaleResult R;
  TServer Server = StartServer({"kiv-tcp", "{port}", "1", "1"});
  const pid_t Pid = Server.Child->Pid();
  auto Measure = [&](std::vector<double>& Out, int Samples) {
    TKivRoundTrip Client(Server.Port, "", false);
    for (int I = 0; I < 10; ++I) {
      Think.Pause();
      Client.RoundTrip();
    }
    for (int I = 0; I < Samples; ++I) {
      Think.Pause();
      double Us = Client.RoundTrip();
      if (Us >= 0) Out.push_back(Us);
    }
  };
  Measure(R.Single, Scaled(O, 300));
  // The measuring client's connection has gone; its server thread ends soon.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ProcessMemory(Pid, R.RssBeforeMiB, R.ThreadsBefore);
  const int FilesBefore = ProcessOpenFiles(Pid);

  std::vector<int> Fds;
  const auto Start = TClock::now();
  for (int I = 0; I < O.Connections; ++I) {
    int Fd = ConnectLoopback(Server.Port);
    if (Fd < 0) break;
    Fds.push_back(Fd);
  }
  R.Opened = static_cast<int>(Fds.size());
  // Accepted means: the server holds a socket for each (a connection thread
  // takes each one as it is accepted).
  const auto Deadline = Start + std::chrono::seconds(60);
  while (TClock::now() < Deadline) {
    if (FilesBefore >= 0 && ProcessOpenFiles(Pid) >= FilesBefore + R.Opened) {
      R.AllAccepted = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  R.AcceptMs = MicrosSince(Start) / 1000.0;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the threads settle
  ProcessMemory(Pid, R.RssMiB, R.Threads);
  Measure(R.Among, Scaled(O, 300));
  for (int Fd : Fds) ::close(Fd);
  Server.Child->Stop();
  return R;
}

// --- Output -----------------------------------------------------------------------------

std::string Fixed(double V, int Decimals) {
  char Buffer[64];
  std::snprintf(Buffer, sizeof Buffer, "%.*f", Decimals, V);
  return Buffer;
}

std::string JsonText(const std::string& S) {
  std::string Out = "\"";
  for (char C : S) {
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += C;
    } else if (static_cast<unsigned char>(C) < 0x20) {
      char Buffer[8];
      std::snprintf(Buffer, sizeof Buffer, "\\u%04x", C);
      Out += Buffer;
    } else {
      Out += C;
    }
  }
  return Out + "\"";
}

std::string JsonNumber(double V) {
  std::ostringstream Out;
  Out.precision(6);
  Out << V;
  return Out.str();
}

struct TReport {
  TMachineInfo Machine;
  double LoadBefore = 0, LoadAfter = 0;
  std::string Started;
  std::vector<TResult> Results;
  std::vector<std::pair<std::string, std::string>> Targets;  // text, verdict
  const TResult* Baseline = nullptr;
  const TResult* Zmq = nullptr;
};

std::optional<double> Ratio(const TResult& R, const TResult* To) {
  if (!R.Latency || !To || !To->Latency || To->Latency->P50 <= 0) return std::nullopt;
  return R.Latency->P50 / To->Latency->P50;
}

void PrintTable(const TReport& Rep) {
  std::printf("\n%-52s %10s %10s %12s %8s %8s  %s\n", "case", "p50 us", "p99 us", "rate /s",
              "x base", "x zmq", "note");
  std::printf("%s\n", std::string(128, '-').c_str());
  for (const TResult& R : Rep.Results) {
    auto Cell = [](const std::optional<double>& V, int Decimals) {
      return V ? Fixed(*V, Decimals) : std::string("-");
    };
    std::optional<double> P50, P99;
    if (R.Latency) {
      P50 = R.Latency->P50;
      P99 = R.Latency->P99;
    }
    std::string Note = R.Note;
    if (R.Rate && R.RateLimit)
      Note = "limit " + Fixed(*R.RateLimit, 0) + "/s (" + Fixed(100 * *R.Rate / *R.RateLimit, 1) +
             "%)" + (Note.empty() ? "" : "; " + Note);
    if (R.Failures) Note += (Note.empty() ? "" : "; ") + std::to_string(R.Failures) + " failed";
    std::printf("%-52s %10s %10s %12s %8s %8s  %s\n", R.Name.c_str(), Cell(P50, 1).c_str(),
                Cell(P99, 1).c_str(), Cell(R.Rate, 1).c_str(),
                Cell(Ratio(R, Rep.Baseline), 2).c_str(), Cell(Ratio(R, Rep.Zmq), 2).c_str(),
                Note.c_str());
  }
  std::printf("\nTargets:\n");
  for (const auto& [Text, Verdict] : Rep.Targets)
    std::printf("  %-8s %s\n", Verdict.c_str(), Text.c_str());
  std::printf("\nMachine: %s, %d cores, %.1f GiB, %s; load average %.2f before, %.2f after\n",
              Rep.Machine.Cpu.c_str(), Rep.Machine.Cores, Rep.Machine.MemoryGiB,
              Rep.Machine.Kernel.c_str(), Rep.LoadBefore, Rep.LoadAfter);
}

void WriteJson(const TReport& Rep, const std::string& Path) {
  std::ostringstream J;
  J << "{\n  \"started\": " << JsonText(Rep.Started) << ",\n";
  J << "  \"machine\": {\"cpu\": " << JsonText(Rep.Machine.Cpu)
    << ", \"cores\": " << Rep.Machine.Cores
    << ", \"memory_gib\": " << JsonNumber(Rep.Machine.MemoryGiB)
    << ", \"kernel\": " << JsonText(Rep.Machine.Kernel)
    << ", \"load_before\": " << JsonNumber(Rep.LoadBefore)
    << ", \"load_after\": " << JsonNumber(Rep.LoadAfter) << "},\n";
  J << "  \"cases\": [\n";
  for (size_t I = 0; I < Rep.Results.size(); ++I) {
    const TResult& R = Rep.Results[I];
    J << "    {\"case\": " << JsonText(R.Name);
    if (R.Skipped) J << ", \"skipped\": true";
    if (R.Latency)
      J << ", \"samples\": " << R.Latency->Count << ", \"p50_us\": " << JsonNumber(R.Latency->P50)
        << ", \"p99_us\": " << JsonNumber(R.Latency->P99);
    if (R.Failures) J << ", \"failures\": " << R.Failures;
    if (R.Rate) J << ", \"rate_per_s\": " << JsonNumber(*R.Rate);
    if (R.RateLimit) J << ", \"rate_limit_per_s\": " << JsonNumber(*R.RateLimit);
    if (auto B = Ratio(R, Rep.Baseline)) J << ", \"ratio_to_baseline\": " << JsonNumber(*B);
    if (auto Z = Ratio(R, Rep.Zmq)) J << ", \"ratio_to_zmq\": " << JsonNumber(*Z);
    for (const auto& [Key, Value] : R.Extra)
      J << ", " << JsonText(Key) << ": " << JsonNumber(Value);
    if (!R.Note.empty()) J << ", \"note\": " << JsonText(R.Note);
    J << "}" << (I + 1 < Rep.Results.size() ? "," : "") << "\n";
  }
  J << "  ],\n  \"targets\": [\n";
  for (size_t I = 0; I < Rep.Targets.size(); ++I)
    J << "    {\"target\": " << JsonText(Rep.Targets[I].first)
      << ", \"verdict\": " << JsonText(Rep.Targets[I].second) << "}"
      << (I + 1 < Rep.Targets.size() ? "," : "") << "\n";
  J << "  ]\n}\n";
  std::error_code Ignored;
  std::filesystem::create_directories(std::filesystem::path(Path).parent_path(), Ignored);
  std::ofstream Out(Path);
  Out << J.str();
  if (Out)
    std::printf("Written: %s\n", Path.c_str());
  else
    std::printf("Could not write %s\n", Path.c_str());
}

std::string Verdict(bool Met) {
  return Met ? "met" : "MISSED";
}

// --- The run ----------------------------------------------------------------------------

constexpr char kBaselineName[] = "plain socket (baseline)";
constexpr char kZmqName[] = "ZeroMQ REQ/REP";

std::string KivName(bool AutoConnect, uint32_t Interval, bool Wake) {
  return std::string("KivTrans2 TCP ") + (AutoConnect ? "connect/request" : "kept") +
         ", Interval " + std::to_string(Interval) + (Wake ? ", wake" : "");
}

int Run(const TOptions& O) {
  TReport Rep;
  Rep.Machine = DescribeMachine();
  Rep.LoadBefore = LoadAverage();
  {
    std::time_t Now = std::time(nullptr);
    char Buffer[64];
    std::strftime(Buffer, sizeof Buffer, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&Now));
    Rep.Started = Buffer;
  }
  const long OpenFiles = RaiseOpenFilesLimit(O.Connections + 1024);
  std::printf("kivtrans2-bench: %d rounds, scale %.2f, load average %.2f, open files %ld\n",
              O.Rounds, O.Scale, Rep.LoadBefore, OpenFiles);

  // The FS cases' directory, on tmpfs where there is one.
  std::string FsRoot = "/dev/shm";
  struct stat St;
  if (::stat(FsRoot.c_str(), &St) != 0 || !S_ISDIR(St.st_mode)) FsRoot = "/tmp";
  const std::string Dir = FsRoot + "/kivtrans2-bench-" + std::to_string(::getpid());
  std::filesystem::create_directories(Dir);

  // Latency: the floor, the peer and the KivTrans2 settings.
  std::vector<TLatencyCase> Cases;
  Cases.push_back(LatencyCase(
      kBaselineName, {"raw", "{port}"}, [](int Port) { return std::make_unique<TRawClient>(Port); },
      Scaled(O, 1000)));
#ifdef KIVTRANS2_BENCH_ZMQ
  Cases.push_back(LatencyCase(
      kZmqName, {"zmq", "{port}"}, [](int Port) { return std::make_unique<TZmqClient>(Port); },
      Scaled(O, 1000)));
#else
  Cases.push_back(
      LatencyCase(kZmqName, {}, nullptr, 0,
                  "skipped: built without ZeroMQ (install libzmq3-dev and reconfigure)"));
#endif
  const std::pair<uint32_t, bool> Settings[] = {{25, false}, {1, false}, {0, false},
                                                {25, true},  {1, true},  {0, true}};
  for (bool AutoConnect : {false, true}) {
    for (auto [Interval, Wake] : Settings) {
      Cases.push_back(LatencyCase(
          KivName(AutoConnect, Interval, Wake),
          {"kiv-tcp", "{port}", std::to_string(Interval), Wake ? "1" : "0"},
          [AutoConnect](int Port) {
            return std::make_unique<TKivRoundTrip>(Port, "", AutoConnect);
          },
          Scaled(O, Interval >= 5 ? 300 : 1000)));
    }
  }
  // Where the time goes: each side of KivTrans2 against a plain-socket peer
  // that speaks the same conversation, and the plain exchange's own cost of a
  // connection per request.
  Cases.push_back(LatencyCase(
      "diag: plain socket, connect/request", {"raw", "{port}"},
      [](int Port) { return std::make_unique<TRawConnectClient>(Port); }, Scaled(O, 1000)));
  for (bool Kept : {true, false})
    Cases.push_back(LatencyCase(
        std::string("diag: plain client ") + (Kept ? "kept" : "connect/request") +
            " -> KivTrans2 server, I1 wake",
        {"kiv-tcp", "{port}", "1", "1"},
        [Kept](int Port) { return std::make_unique<TRawKivClient>(Port, Kept); }, Scaled(O, 1000)));
  for (bool AutoConnect : {false, true})
    Cases.push_back(LatencyCase(
        std::string("diag: KivTrans2 client ") + (AutoConnect ? "connect/request" : "kept") +
            " -> plain server",
        {"kiv-peer", "{port}"},
        [AutoConnect](int Port) { return std::make_unique<TKivRoundTrip>(Port, "", AutoConnect); },
        Scaled(O, 1000)));
  for (bool Wake : {false, true}) {
    Cases.push_back(LatencyCase(
        std::string("KivTrans2 FS (") + FsRoot + "), Interval 1" + (Wake ? ", wake" : ""),
        {"kiv-fs", Dir, "1", Wake ? "1" : "0"},
        [Dir](int) { return std::make_unique<TKivRoundTrip>(0, Dir, false); }, Scaled(O, 500)));
  }

  // The references stay in every run: the ratios need them.
  auto Reference = [](const TLatencyCase& C) {
    return C.Name == kBaselineName || C.Name == kZmqName;
  };
  std::erase_if(Cases, [&](const TLatencyCase& C) { return !Reference(C) && !O.Wanted(C.Name); });
  TThinkTime Think;
  for (int Round = 1; Round <= O.Rounds; ++Round) {
    std::printf("latency round %d/%d (load %.2f)\n", Round, O.Rounds, LoadAverage());
    std::fflush(stdout);
    for (TLatencyCase& C : Cases) {
      if (C.ServerArgs.empty()) continue;
      const int Slice = (C.Samples + O.Rounds - 1) / O.Rounds;
      try {
        RunLatencySlice(C, Slice, Think);
      } catch (const std::exception& E) {
        std::printf("  %s: %s\n", C.Name.c_str(), E.what());
        C.Failures += Slice;
      }
    }
  }
  for (TLatencyCase& C : Cases) {
    TResult R;
    R.Name = C.Name;
    if (C.ServerArgs.empty()) {
      R.Skipped = true;
      R.Note = C.SkipNote;
      std::printf("%s: %s\n", C.Name.c_str(), C.SkipNote.c_str());
    } else {
      R.Latency = Summarise(C.Results);
      R.Failures = C.Failures;
      if (!C.SendCalls.empty()) {
        const double SendP50 = Summarise(C.SendCalls).P50;
        R.Extra["request_call_p50_us"] = SendP50;
        R.Note = "Request() " + Fixed(SendP50, 1) + " us";
      }
    }
    Rep.Results.push_back(std::move(R));
  }

  // Throughput: 32 clients on kept connections.
  const double Window = std::max(1.0, 3.0 * O.Scale);
  struct TRateCase {
    uint32_t Interval;
    bool Wake;
  };
  const TRateCase RateCases[] = {{25, false}, {5, false}, {1, false}, {1, true}, {0, false}};
  for (const TRateCase& C : RateCases) {
    const std::string Name =
        "32 clients, kept, Interval " + std::to_string(C.Interval) + (C.Wake ? ", wake" : "");
    if (!O.Wanted(Name)) continue;
    std::printf("%s (load %.2f)\n", Name.c_str(), LoadAverage());
    std::fflush(stdout);
    TResult R;
    R.Name = Name;
    try {
      R.Rate = Throughput({"kiv-tcp", "{port}", std::to_string(C.Interval), C.Wake ? "1" : "0"}, 32,
                          Window, R.Failures);
    } catch (const std::exception& E) {
      R.Note = E.what();
    }
    if (C.Interval > 0)
      R.RateLimit = 1000.0 / C.Interval;
    else
      R.Note = "no design limit (Interval 0)";
    Rep.Results.push_back(std::move(R));
  }

  // CPU of a waiting client.
  const double WaitSeconds = std::max(1.0, 2.0 * O.Scale);
  if (O.Wanted("waiting client CPU")) {
    std::printf("waiting clients (load %.2f)\n", LoadAverage());
    std::fflush(stdout);
    TResult R;
    R.Name = "waiting client CPU, FS (" + FsRoot + ")";
    try {
      double Percent = WaitingCpuPercent({"kiv-fs", Dir, "3600000", "0"}, Dir, WaitSeconds);
      R.Extra["cpu_percent_of_one_core"] = Percent;
      R.Note = Fixed(Percent, 2) + "% of one core";
    } catch (const std::exception& E) {
      R.Note = E.what();
    }
    Rep.Results.push_back(std::move(R));
  }
  if (O.Wanted("waiting client CPU")) {
    TResult R;
    R.Name = "waiting client CPU, TCP";
    try {
      double Percent = WaitingCpuPercent({"kiv-tcp", "{port}", "3600000", "0"}, "", WaitSeconds);
      R.Extra["cpu_percent_of_one_core"] = Percent;
      R.Note = Fixed(Percent, 2) + "% of one core";
    } catch (const std::exception& E) {
      R.Note = E.what();
    }
    Rep.Results.push_back(std::move(R));
  }

  // Idle servers: what the dispatch (and file) timer costs with nothing to do.
  struct TIdleCase {
    const char* Name;
    std::vector<std::string> Args;
  };
  const TIdleCase IdleCases[] = {
      {"idle server CPU, TCP, Interval 25", {"kiv-tcp", "{port}", "25", "0"}},
      {"idle server CPU, TCP, Interval 1", {"kiv-tcp", "{port}", "1", "0"}},
      {"idle server CPU, TCP, Interval 0", {"kiv-tcp", "{port}", "0", "0"}},
      {"idle server CPU, TCP, Interval 1, wake", {"kiv-tcp", "{port}", "1", "1"}},
      {"idle server CPU, TCP, Interval 0, wake", {"kiv-tcp", "{port}", "0", "1"}},
      {"idle server CPU, FS, Interval 1, wake", {"kiv-fs", Dir, "1", "1"}},
  };
  for (const TIdleCase& C : IdleCases) {
    if (!O.Wanted(C.Name)) continue;
    std::printf("%s (load %.2f)\n", C.Name, LoadAverage());
    std::fflush(stdout);
    TResult R;
    R.Name = C.Name;
    try {
      double Percent = IdleServerCpuPercent(C.Args, WaitSeconds);
      R.Extra["cpu_percent_of_one_core"] = Percent;
      R.Note = Fixed(Percent, 1) + "% of one core";
    } catch (const std::exception& E) {
      R.Note = E.what();
    }
    Rep.Results.push_back(std::move(R));
  }

  // Many idle connections.
  std::optional<TScaleResult> Sc;
  if (O.Wanted("scale")) try {
      std::printf("%d idle connections (load %.2f)\n", O.Connections, LoadAverage());
      std::fflush(stdout);
      Sc = Scale(O, Think);
    } catch (const std::exception& E) {
      TResult R;
      R.Name = "scale";
      R.Note = E.what();
      Rep.Results.push_back(std::move(R));
    }
  if (Sc) {
    const std::string N = std::to_string(Sc->Opened);
    TResult Single, Accept, Memory, Among;
    Single.Name = "scale: 1 connection, kept, Interval 1, wake";
    Single.Latency = Summarise(Sc->Single);
    Accept.Name = "scale: accept " + N + " idle connections";
    Accept.Rate = Sc->AcceptMs > 0 ? Sc->Opened / (Sc->AcceptMs / 1000.0) : 0;
    Accept.Note =
        Fixed(Sc->AcceptMs, 1) + " ms" + (Sc->AllAccepted ? "" : ", not all accepted") +
        (Sc->Opened < O.Connections ? ", open-files limit " + std::to_string(OpenFiles) : "");
    Accept.Extra["accept_ms"] = Sc->AcceptMs;
    Accept.Extra["connections"] = Sc->Opened;
    Memory.Name = "scale: server holding " + N + " connections";
    Memory.Note = "RSS " + Fixed(Sc->RssMiB, 1) + " MiB (" + Fixed(Sc->RssBeforeMiB, 1) +
                  " before), " + std::to_string(Sc->Threads) + " threads (" +
                  std::to_string(Sc->ThreadsBefore) + " before)";
    Memory.Extra["rss_mib"] = Sc->RssMiB;
    Memory.Extra["rss_before_mib"] = Sc->RssBeforeMiB;
    Memory.Extra["threads"] = Sc->Threads;
    Memory.Extra["threads_before"] = Sc->ThreadsBefore;
    Among.Name = "scale: request among " + N + " connections";
    Among.Latency = Summarise(Sc->Among);
    if (Single.Latency->P50 > 0)
      Among.Note = Fixed(Among.Latency->P50 / Single.Latency->P50, 2) + "x the single connection";
    for (TResult* R : {&Single, &Accept, &Memory, &Among}) Rep.Results.push_back(std::move(*R));
  }
  Rep.LoadAfter = LoadAverage();
  std::filesystem::remove_all(Dir);

  // The targets.
  auto Find = [&](const std::string& Name) -> const TResult* {
    for (const TResult& R : Rep.Results)
      if (R.Name == Name && (R.Latency || R.Rate || !R.Extra.empty())) return &R;
    return nullptr;
  };
  Rep.Baseline = Find(kBaselineName);
  Rep.Zmq = Find(kZmqName);
  auto P50 = [](const TResult* R) { return R && R->Latency ? R->Latency->P50 : -1.0; };
  const TResult* Kept = Find(KivName(false, 1, true));
  const TResult* PerRequest = Find(KivName(true, 1, true));
  if (Kept && Rep.Zmq)
    Rep.Targets.push_back({"kept, wake, Interval 1: p50 " + Fixed(P50(Kept), 1) +
                               " us <= ZeroMQ p50 " + Fixed(P50(Rep.Zmq), 1) + " us",
                           Verdict(P50(Kept) <= P50(Rep.Zmq))});
  else
    Rep.Targets.push_back({"kept, wake, Interval 1: p50 <= ZeroMQ p50", "n/a"});
  if (Kept && Rep.Baseline)
    Rep.Targets.push_back({"kept, wake, Interval 1: p50 " + Fixed(P50(Kept), 1) +
                               " us <= 1.5 x baseline " + Fixed(P50(Rep.Baseline), 1) + " us (" +
                               Fixed(P50(Kept) / P50(Rep.Baseline), 2) + "x)",
                           Verdict(P50(Kept) <= 1.5 * P50(Rep.Baseline))});
  if (Kept && PerRequest)
    Rep.Targets.push_back({"connect per request, wake, Interval 1: p50 " +
                               Fixed(P50(PerRequest), 1) + " us <= 2 x kept " +
                               Fixed(P50(Kept), 1) + " us (" +
                               Fixed(P50(PerRequest) / P50(Kept), 2) + "x)",
                           Verdict(P50(PerRequest) <= 2 * P50(Kept))});
  for (uint32_t Interval : {1u, 5u, 25u}) {
    const TResult* R = Find("32 clients, kept, Interval " + std::to_string(Interval));
    if (!R || !R->Rate) continue;
    const double Limit = 1000.0 / Interval;
    Rep.Targets.push_back({"32 clients, Interval " + std::to_string(Interval) + ": " +
                               Fixed(*R->Rate, 1) + "/s >= 95% of " + Fixed(Limit, 0) + "/s (" +
                               Fixed(100 * *R->Rate / Limit, 1) + "%)",
                           Verdict(*R->Rate >= 0.95 * Limit)});
  }
  for (bool Wake : {true, false}) {
    const TResult* Fs =
        Find(std::string("KivTrans2 FS (") + FsRoot + "), Interval 1" + (Wake ? ", wake" : ""));
    if (Fs)
      Rep.Targets.push_back({std::string("FS, Interval 1") + (Wake ? ", wake" : "") + ": p50 " +
                                 Fixed(P50(Fs), 1) + " us < 2000 us",
                             Verdict(P50(Fs) < 2000)});
  }
  if (const TResult* W = Find("waiting client CPU, FS (" + FsRoot + ")")) {
    double Percent = W->Extra.at("cpu_percent_of_one_core");
    Rep.Targets.push_back(
        {"FS waiting client: " + Fixed(Percent, 2) + "% < 5% of one core", Verdict(Percent < 5)});
  }
  if (Sc) {
    Rep.Targets.push_back({"server RSS with " + std::to_string(Sc->Opened) +
                               " connections: " + Fixed(Sc->RssMiB, 1) + " MiB < 150 MB (143 MiB)",
                           Verdict(Sc->Opened >= O.Connections && Sc->RssMiB * 1048576.0 < 150e6)});
    const double S = Summarise(Sc->Single).P50, A = Summarise(Sc->Among).P50;
    Rep.Targets.push_back({"request among the connections: p50 " + Fixed(A, 1) + " us <= 2 x " +
                               Fixed(S, 1) + " us (" + Fixed(S > 0 ? A / S : 0, 2) + "x)",
                           Verdict(S > 0 && A <= 2 * S)});
  }

  PrintTable(Rep);
  WriteJson(Rep, O.JsonPath);
  return 0;
}

}  // namespace
}  // namespace KivTrans2::Bench

int main(int argc, char** argv) {
  using namespace KivTrans2;
  SetMainThread();
  // Nothing this program sends leaves loopback.
  SetBroadcastTarget("127.255.255.255");
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> Args(argv + 1, argv + argc);
  if (!Args.empty() && Args[0] == "--child")
    return Bench::RunChild(std::vector<std::string>(Args.begin() + 1, Args.end()));
  Bench::TOptions O;
  for (size_t I = 0; I < Args.size(); ++I) {
    auto Value = [&]() -> std::string {
      if (I + 1 >= Args.size()) throw std::invalid_argument(Args[I] + " needs a value");
      return Args[++I];
    };
    try {
      if (Args[I] == "--rounds")
        O.Rounds = std::max(1, std::stoi(Value()));
      else if (Args[I] == "--scale")
        O.Scale = std::stod(Value());
      else if (Args[I] == "--connections")
        O.Connections = std::max(1, std::stoi(Value()));
      else if (Args[I] == "--json")
        O.JsonPath = Value();
      else if (Args[I] == "--only")
        O.Only = Value();
      else
        throw std::invalid_argument("unknown option " + Args[I]);
    } catch (const std::exception& E) {
      std::fprintf(stderr,
                   "%s\nusage: kivtrans2-bench [--rounds N] [--scale F] [--connections N] "
                   "[--json PATH] [--only TEXT]\n",
                   E.what());
      return 2;
    }
  }
  try {
    return Bench::Run(O);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "kivtrans2-bench: %s\n", E.what());
    return 1;
  }
}
