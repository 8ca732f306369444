// `kivtrans2 serve`: a TKivServer that answers each request by echoing it or by
// running a shell command, and logs what it serves.
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "KivTrans2.h"
#include "args.h"
#include "commands.h"
#include "main_loop.h"
#include "shell_command.h"
#include "text.h"

namespace KivTrans2::Tool {

namespace {

const char kUsage[] =
    R"(Usage: kivtrans2 serve [OPTIONS]

Runs a KivTrans2 server until SIGINT or SIGTERM, which stop it after it has
answered every queued request (exit status 0). Prints "ready" on stdout once
it serves. Requests are answered one per tick, most urgent priority first.

Transport (TCP by default):
  --port P          TCP port, also the UDP port of discovery (default 2000)
  --key K           key under which `kivtrans2 seek` finds it (default empty)
  --seek-timeout MS how long the start waits for other servers to report
                    (default 1000)
  --dir DIR         FS mode: serve the request files in directory DIR instead
                    (DIR is cleaned of exchange files: *.REQ *.RE1 *.ANS *.AN1
                    *.AN2 *.NET *.LOG)
Answers:
  --echo            answer each request with its own lines (the default)
  --exec CMD        run CMD through /bin/sh for each request: the request's
                    lines on its stdin, its stdout lines are the answer, its
                    exit status is logged (the control line that closes a list
                    is the line "@cs-end", both ways)
Dispatch:
  --priorities N    number of priorities, 1 to 9 (default 3)
  --interval MS     tick interval (default 25)
  --wake            no tick while nothing is queued: a request that arrives at
                    an idle server is answered at once, ticks still stay
                    --interval apart (for low latency with --interval 1)
Other:
  --broadcast ADDR  where discovery broadcasts go (default: the local networks')

Log (stderr), one line each:
  served priority=P code=C lines=N queued=Q answer=A [exit=S]
      Q: time from queuing to the answer's start; A: time taken by the
      answer; S: the exit status of CMD
  notification data="..."
  other server ip=... name=... key="..."

Exit status: 0 stopped by a signal, 1 could not start (port taken, unusable
directory), 2 bad arguments, 3 another server with the same key runs on this
machine.
)";

// The library's monotonic clock, the one TRequest::QueuedAt is read from.
int64_t NowMs() {
  return TickCountMs();
}

// Answers every entry as it came: data entries and empty entries as data
// lines, "@cs-end" (and, in FS mode, any control line of the client's own) as
// control lines, so lists and multi-line blocks round-trip.
void Echo(TRequest& Request) {
  while (!Request.IsEOF()) {
    const std::string Entry = Request.Lines[static_cast<size_t>(Request.Cursor)];
    const std::string Text = Request.ReadLine();
    // ReadLine drops a data entry's marker and returns any other entry as it
    // stands, so a data entry is the one whose text came out shorter.
    if (Text.size() < Entry.size() || Entry.empty())
      Request.WriteLine(Text);
    else
      Request.WriteControlLine(Text);
  }
}

// Answers with the stdout of Command run on the request's lines; returns its
// exit status.
int AnswerWithCommand(TRequest& Request, const std::string& Command, bool FSMode) {
  std::string Input;
  while (!Request.IsEOF()) {
    Input += Request.ReadLine();
    Input += '\n';
  }
  TShellResult Result = RunShellCommand(Command, Input);
  // An exchange file also ends a line at a lone CR; over TCP only LF does.
  const std::vector<std::string> Lines =
      FSMode ? SplitTextLines(Result.Output) : SplitAtLineFeeds(Result.Output);
  for (const std::string& Line : Lines) {
    if (Line == "@cs-end")
      Request.WriteControlLine(Line);
    else
      Request.WriteLine(Line);
  }
  return Result.Status;
}

int RunServe(const std::vector<std::string>& Words) {
  const TArgs Args = TArgs::Parse(Words, {{"port", true},
                                          {"key", true},
                                          {"seek-timeout", true},
                                          {"dir", true},
                                          {"echo", false},
                                          {"exec", true},
                                          {"priorities", true},
                                          {"interval", true},
                                          {"wake", false},
                                          {"broadcast", true}});
  if (!Args.Operands().empty())
    throw TUsageError("unexpected argument \"" + Args.Operands().front() + "\"");
  const bool FSMode = Args.Has("dir");
  const std::string Dir = Args.Text("dir");
  if (FSMode) {
    if (Dir.empty()) throw TUsageError("--dir needs a directory");
    for (const char* Name : {"port", "key", "seek-timeout"})
      if (Args.Has(Name))
        throw TUsageError(std::string("--") + Name + " does not apply in FS mode (--dir)");
  }
  if (Args.Has("echo") && Args.Has("exec"))
    throw TUsageError("--echo and --exec exclude each other");
  const bool Exec = Args.Has("exec");
  const std::string Command = Args.Text("exec");
  if (Exec && Command.empty()) throw TUsageError("--exec needs a command");
  const int Port = Args.Number("port", kDefaultPort, 1, 65535);
  const std::string Key = Args.Text("key");
  const int SeekTimeout = Args.Number("seek-timeout", kSeekOtherTimeoutMs, 1, 60000);
  const int Priorities = Args.Number("priorities", kDefaultMaxPriorities, 1, 9);
  const int Interval = Args.Number("interval", static_cast<int>(kDefaultInterval), 1, 3600000);
  ApplyBroadcastOption(Args);
  if (FSMode && !DirectoryExists(Dir)) {
    PrintError("serve", "directory \"" + Dir + "\" does not exist");
    return kExitFailure;
  }

  // Everything the server's handlers use outlives the server.
  TStopSignals Stop;
  TOwnerComponent Form;
  auto* Server = new TKivServer(&Form);
  Server->SetName("kivtrans2");
  Server->SetMaxPriorities(Priorities);
  Server->SetInterval(static_cast<uint32_t>(Interval));
  Server->SetWakeOnRequest(Args.Has("wake"));
  if (FSMode) {
    Server->SetUseTCP(false);
    Server->SetServerDir(Dir);
  } else {
    Server->SetPort(Port);
    Server->SetSeekKey(Key);
    Server->SetSeekOtherTimeout(SeekTimeout);
  }

  Server->OnRequest = [&](TKivServer*, TRequest* Request) {
    const int64_t Start = NowMs();
    const int64_t Queued = Start - Request->QueuedAt;
    std::string Entry = "served priority=" + std::to_string(Request->Priority) +
                        " code=" + (FSMode ? "-" : std::to_string(Request->Code)) +
                        " lines=" + std::to_string(Request->Lines.size()) +
                        " queued=" + std::to_string(Queued) + "ms";
    try {
      int Status = 0;
      if (Exec)
        Status = AnswerWithCommand(*Request, Command, FSMode);
      else
        Echo(*Request);
      Entry += " answer=" + std::to_string(NowMs() - Start) + "ms";
      if (Exec) Entry += " exit=" + std::to_string(Status);
      WriteLogLine(Entry);
    } catch (const std::exception& E) {
      // The library cuts the answer short (TCP) or drops it (FS).
      WriteLogLine(Entry + " failed: " + E.what());
      throw;
    }
  };
  Server->OnNotificationReceived = [](TKivServer*, const std::string& Data) {
    WriteLogLine("notification data=" + Quoted(Data));
  };
  Server->OnOtherServerFound = [](TKivServer*, const auto& Others, bool&) {
    for (const auto& Other : Others)
      WriteLogLine("other server ip=" + Other->IP + " name=" + Other->Name +
                   " key=" + Quoted(Other->SeekKey));
  };

  try {
    if (!Server->Activate()) {
      PrintError("serve", "another server with key " + Quoted(Key) +
                              " runs on this machine (port " + std::to_string(Port) + ")");
      return kExitServerExists;
    }
  } catch (const Exception& E) {
    PrintError("serve", "cannot start: " + E.Message());
    return kExitFailure;
  }
  WriteLogLine((FSMode ? "serving directory " + Quoted(Dir)
                       : "serving TCP port " + std::to_string(Port) + " key " + Quoted(Key)) +
               " priorities=" + std::to_string(Priorities) + (Args.Has("wake") ? " wake" : "") +
               (Exec ? " exec " + Quoted(Command) : " echo"));
  std::fputs("ready\n", stdout);
  std::fflush(stdout);

  RunMainLoop([] { return false; }, &Stop);

  int Queued = 0;
  for (int P = 1; P <= Priorities; ++P) Queued += Server->QueueCount(P);
  WriteLogLine("stopping, answering " + std::to_string(Queued) + " queued request" +
               (Queued == 1 ? "" : "s"));
  try {
    Server->DeActivate();
  } catch (const Exception& E) {
    // A request that failed during the drain (logged with it); the server has
    // stopped all the same.
    WriteLogLine("error while stopping: " + E.Message());
  }
  WriteLogLine("stopped");
  return kExitOk;
}

}  // namespace

const TCommand kServeCommand = {"serve", "run a server that echoes requests or runs a command",
                                kUsage, RunServe};

}  // namespace KivTrans2::Tool
