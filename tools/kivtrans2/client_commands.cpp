// `kivtrans2 request`, `kivtrans2 seek` and `kivtrans2 notify`: a TKivClient on
// a TKivConnection, for one exchange, one search or one notification.
#include <cstdio>
#include <iostream>
#include <iterator>

#include "KivTrans2.h"
#include "args.h"
#include "commands.h"
#include "main_loop.h"
#include "text.h"

namespace KivTrans2::Tool {

namespace {

const char kRequestUsage[] =
    R"(Usage: kivtrans2 request [OPTIONS] [LINE...]

Sends one request, made of the LINE arguments (or of stdin's lines when there
are none), and prints the answer's lines on stdout. An empty line goes out as
an empty text; a line "@cs-end" goes out as the control line that closes a
list. Put "--" before lines that begin with "--".

  --host H          server host (default 127.0.0.1)
  --port P          server port (default 2000)
  --dir DIR         FS mode: exchange request files through directory DIR
  --priority N      1 (most urgent) to 9 (default 1)
  --timeout MS      answer window (default 8000); TCP gives up after a window
                    without any line, FS mode after the first window
  --broadcast ADDR  where discovery broadcasts go (default: the local networks')

Exit status: 0 answered, 1 could not run (unusable directory), 2 bad arguments,
4 no answer within the window, 5 no TCP connection, 6 no server in DIR (no
marker file), 7 the exchange failed otherwise (connection lost, bad answer).
)";

const char kSeekUsage[] =
    R"(Usage: kivtrans2 seek [OPTIONS]

Lists the servers on the local network that use a key, one per line: IP
address, a tab, host name.

  --port P          the servers' port (default 2000)
  --key K           their key (default empty)
  --timeout MS      how long to wait for each reply (default 1000)
  --broadcast ADDR  where the search is broadcast (default: the local
                    networks'; 127.255.255.255 stays on this machine)

Exit status: 0 found at least one, 1 found none, 2 bad arguments.
)";

const char kNotifyUsage[] =
    R"(Usage: kivtrans2 notify [OPTIONS] DATA

Sends DATA to a server as a one-way notification (UDP; nothing is answered).

  --host H          server host (default 127.0.0.1)
  --port P          server port (default 2000)
  --broadcast ADDR  where discovery broadcasts go (default: the local networks')

Exit status: 0 sent, 1 could not send, 2 bad arguments.
)";

const char kDefaultHost[] = "127.0.0.1";

std::vector<std::string> ReadStdinLines() {
  std::string Text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  return SplitAtLineFeeds(Text);
}

// The outcome of one exchange, as its events tell it. Main thread.
struct TOutcome {
  bool Ended = false;
  bool Success = false;
  bool GaveUp = false;      // the last timeout decided to give up
  bool MarkerSeen = false;  // FS mode: the server's marker existed at the timeout
  std::vector<std::string> Answer;
};

int RunRequest(const std::vector<std::string>& Words) {
  const TArgs Args = TArgs::Parse(Words, {{"host", true},
                                          {"port", true},
                                          {"dir", true},
                                          {"priority", true},
                                          {"timeout", true},
                                          {"broadcast", true}});
  const bool FSMode = Args.Has("dir");
  const std::string Dir = Args.Text("dir");
  if (FSMode) {
    if (Dir.empty()) throw TUsageError("--dir needs a directory");
    for (const char* Name : {"host", "port"})
      if (Args.Has(Name))
        throw TUsageError(std::string("--") + Name + " does not apply in FS mode (--dir)");
  }
  const std::string Host = Args.Text("host", kDefaultHost);
  if (Host.empty()) throw TUsageError("--host needs a host name or address");
  const int Port = Args.Number("port", kDefaultPort, 1, 65535);
  const int Priority = Args.Number("priority", 1, 1, 9);
  const int Timeout = Args.Number("timeout", kAnswerTimeoutMs, 1, 3600000);
  ApplyBroadcastOption(Args);
  const std::vector<std::string> Lines =
      Args.Operands().empty() ? ReadStdinLines() : Args.Operands();
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (Lines[I].find('\n') != std::string::npos ||
        (FSMode && Lines[I].find('\r') != std::string::npos))
      throw TUsageError("line " + std::to_string(I + 1) + " holds a line break, which " +
                        (FSMode ? "a request file" : "the TCP conversation") +
                        " cannot carry inside a line");
  }
  if (FSMode && !DirectoryExists(Dir)) {
    PrintError("request", "directory \"" + Dir + "\" does not exist");
    return kExitFailure;
  }

  TOutcome Outcome;
  TOwnerComponent Form;
  auto* Connection = new TKivConnection(&Form);
  Connection->SetName("kivtrans2");
  if (FSMode) {
    Connection->SetUseTCP(false);
    Connection->SetServerDir(Dir);
  } else {
    Connection->SetHost(Host);
    Connection->SetPort(Port);
  }
  Connection->SetAnswerTimeout(Timeout);
  auto* Client = new TKivClient(&Form);
  Client->SetName("request");
  Client->SetConnection(Connection);
  Client->SetPriority(Priority);
  Client->OnRequest = [&](TKivClient* Sender) {
    for (const std::string& Line : Lines) {
      if (Line == "@cs-end")
        Connection->WriteControlLine(Line);
      else
        Sender->WriteLine(Line);
    }
  };
  Client->OnTimeOut = [&](TKivClient*, bool& GiveUpFlag, bool Coming) {
    // A server that is there but busy would keep an FS client waiting for
    // ever; the tool gives up after one window.
    if (FSMode) {
      Outcome.MarkerSeen = Coming;
      GiveUpFlag = true;
    }
    Outcome.GaveUp = GiveUpFlag;
  };
  Client->OnAnswer = [&](TKivClient* Sender, bool&) {
    while (!Sender->IsEOF()) Outcome.Answer.push_back(Sender->ReadLine());
  };
  Client->OnTransEnd = [&](TKivClient*, bool Success) {
    Outcome.Success = Success;
    Outcome.Ended = true;
  };

  try {
    Client->Request();
  } catch (const ETCPError& E) {
    PrintError("request",
               "no connection to " + Host + ":" + std::to_string(Port) + ": " + E.Message());
    return kExitNotConnected;
  } catch (const EFileSystemError& E) {
    PrintError("request", "cannot write the request into \"" + Dir + "\": " + E.Message());
    return kExitFailure;
  } catch (const Exception& E) {
    PrintError("request", "sending failed: " + E.Message());
    return kExitExchangeFailed;
  }
  RunMainLoop([&] { return Outcome.Ended; });

  if (Outcome.Success) {
    for (const std::string& Line : Outcome.Answer) {
      std::fwrite(Line.data(), 1, Line.size(), stdout);
      std::fputc('\n', stdout);
    }
    std::fflush(stdout);
    return kExitOk;
  }
  if (Outcome.GaveUp && FSMode && !Outcome.MarkerSeen) {
    PrintError("request", "no server in \"" + Dir + "\" (no " + kMarkerFileName + ")");
    return kExitNoServer;
  }
  if (Outcome.GaveUp) {
    PrintError("request", "no answer within " + std::to_string(Timeout) + " ms");
    return kExitGivenUp;
  }
  PrintError("request",
             "the exchange failed: the connection was lost or the answer was not "
             "readable");
  return kExitExchangeFailed;
}

int RunSeek(const std::vector<std::string>& Words) {
  const TArgs Args =
      TArgs::Parse(Words, {{"port", true}, {"key", true}, {"timeout", true}, {"broadcast", true}});
  if (!Args.Operands().empty())
    throw TUsageError("unexpected argument \"" + Args.Operands().front() + "\"");
  const int Port = Args.Number("port", kDefaultPort, 1, 65535);
  const int Timeout = Args.Number("timeout", kSeekTimeoutMs, 1, 60000);
  ApplyBroadcastOption(Args);

  TOwnerComponent Form;
  auto* Connection = new TKivConnection(&Form);
  Connection->SetPort(Port);
  Connection->SetSeekKey(Args.Text("key"));
  Connection->SetSeekTimeout(Timeout);
  const auto Servers = Connection->SeekServer();
  for (const auto& Server : Servers)
    std::printf("%s\t%s\n", Server->IP.c_str(), Server->Name.c_str());
  std::fflush(stdout);
  return Servers.empty() ? kExitFailure : kExitOk;
}

int RunNotify(const std::vector<std::string>& Words) {
  const TArgs Args = TArgs::Parse(Words, {{"host", true}, {"port", true}, {"broadcast", true}});
  if (Args.Operands().size() != 1)
    throw TUsageError(Args.Operands().empty() ? "DATA is missing"
                                              : "one DATA argument only (quote it)");
  const std::string Host = Args.Text("host", kDefaultHost);
  if (Host.empty()) throw TUsageError("--host needs a host name or address");
  const int Port = Args.Number("port", kDefaultPort, 1, 65535);
  ApplyBroadcastOption(Args);

  TOwnerComponent Form;
  auto* Connection = new TKivConnection(&Form);
  Connection->SetHost(Host);
  Connection->SetPort(Port);
  Connection->SendNotification(Args.Operands().front());
  return kExitOk;
}

}  // namespace

const TCommand kRequestCommand = {"request", "send one request and print the answer", kRequestUsage,
                                  RunRequest};
const TCommand kSeekCommand = {"seek", "list the servers that use a key", kSeekUsage, RunSeek};
const TCommand kNotifyCommand = {"notify", "send a one-way notification to a server", kNotifyUsage,
                                 RunNotify};

}  // namespace KivTrans2::Tool
