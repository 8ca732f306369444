// The kivtrans2 tool, run as a user runs it: every server, request, search and
// notification is a process of its own, and the tests look only at what the
// processes print and how they exit.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "host/files.h"
#include "host/ip_watch.h"
#include "support/net_support.h"
#include "support/temp_dir.h"
#include "tools/tool_process.h"

namespace KivTrans2 {
namespace {

using Testing::FreePort;
using Testing::RunToEnd;
using Testing::TLineServer;
using Testing::TTempDir;
using Testing::TToolProcess;
using Testing::TToolRun;
using Words = std::vector<std::string>;

const std::string kTool = KIVTRANS2_TOOL;

// The tool's arguments for Command: discovery always stays on loopback.
Words ToolArgs(const std::string& Command, const Words& Rest) {
  Words All{Command, "--broadcast", "127.255.255.255"};
  All.insert(All.end(), Rest.begin(), Rest.end());
  return All;
}

TToolRun RunTool(const std::string& Command, const Words& Rest, const std::string& Input = "") {
  return RunToEnd(kTool, ToolArgs(Command, Rest), Input);
}

std::unique_ptr<TToolProcess> Start(const std::string& Command, const Words& Rest) {
  return std::make_unique<TToolProcess>(kTool, ToolArgs(Command, Rest));
}

// `kivtrans2 serve` with Rest, once it has printed "ready". A quick tick, and
// in TCP mode a short check for a running twin, keep the tests fast.
std::unique_ptr<TToolProcess> StartServer(Words Rest, const std::string& Interval = "5") {
  const bool FS = std::find(Rest.begin(), Rest.end(), "--dir") != Rest.end();
  Rest.insert(Rest.end(), {"--interval", Interval});
  if (!FS) Rest.insert(Rest.end(), {"--seek-timeout", "50"});
  auto Server = Start("serve", Rest);
  EXPECT_TRUE(Server->WaitForOut("ready\n")) << Server->Err();
  return Server;
}

size_t Count(const std::string& Text, const std::string& Part) {
  size_t N = 0;
  for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) ++N;
  return N;
}

// A failure is reported as exactly one line on stderr, and nothing on stdout.
void ExpectOneErrorLine(const TToolRun& R) {
  EXPECT_EQ(Count(R.Err, "\n"), 1u) << R.Err;
  EXPECT_EQ(R.Err.back(), '\n') << R.Err;
  EXPECT_EQ(R.Out, "");
}

// Waits for a condition that no process reports, such as a file appearing.
bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = 20000) {
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// --- The command line ----------------------------------------------------------------

TEST(ToolCommandLine, HelpSucceedsAndBadArgumentsGiveOneLineAndStatus2) {
  TTempDir Dir;
  struct {
    Words Args;
    int Status;
    std::string Expected;  // in stdout for help, in the error line otherwise
  } Cases[] = {
      {{"--help"}, 0, "Usage: kivtrans2 COMMAND"},
      {{"serve", "--help"}, 0, "Usage: kivtrans2 serve"},
      {{"request", "--port", "x", "-h"}, 0, "Usage: kivtrans2 request"},
      {{"seek", "--help"}, 0, "Usage: kivtrans2 seek"},
      {{"notify", "--help"}, 0, "Usage: kivtrans2 notify"},
      {{}, 2, "a command is missing"},
      {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
      {{"request", "--bogus", "x"}, 2, "unknown option --bogus"},
      {{"request", "--timeout"}, 2, "--timeout needs a value"},
      {{"request", "--port", "0", "x"}, 2, "--port takes a number from 1 to 65535"},
      {{"request", "--priority", "10", "x"}, 2, "--priority takes a number from 1 to 9"},
      {{"request", "--dir", Dir.Path(), "--host", "h", "x"}, 2, "--host does not apply"},
      {{"request", "--dir", Dir.Path(), "--port", "5", "x"}, 2, "--port does not apply"},
      {{"request", "--dir", Dir.Path(), "a\rb"}, 2, "line 1 holds a line break"},
      {{"serve", "--dir", Dir.Path(), "--port", "5"}, 2, "--port does not apply"},
      {{"serve", "--echo", "--exec", "cat"}, 2, "--echo and --exec exclude each other"},
      {{"serve", "--priorities", "0"}, 2, "--priorities takes a number from 1 to 9"},
      {{"serve", "extra"}, 2, "unexpected argument \"extra\""},
      {{"seek", "--broadcast", "nowhere"}, 2, "--broadcast takes an IPv4 address"},
      {{"notify"}, 2, "DATA is missing"},
      {{"notify", "a", "b"}, 2, "one DATA argument only"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::PrintToString(C.Args));
    TToolRun R = RunToEnd(kTool, C.Args);
    EXPECT_EQ(R.Status, C.Status) << R.Err;
    if (C.Status == 0) {
      EXPECT_NE(R.Out.find(C.Expected), std::string::npos) << R.Out;
      EXPECT_EQ(R.Err, "");
    } else {
      EXPECT_NE(R.Err.find(C.Expected), std::string::npos) << R.Err;
      ExpectOneErrorLine(R);
    }
  }
}

// --- Serving and requesting, over TCP and through a directory --------------------------

class ToolExchangeTest : public testing::TestWithParam<bool> {
 protected:
  bool FS() const { return GetParam(); }
  // Where the server serves and the requests go.
  Words Transport() const {
    return FS() ? Words{"--dir", Dir.Path()} : Words{"--port", std::to_string(Port)};
  }
  Words With(Words Rest) const {
    Words All = Transport();
    All.insert(All.end(), Rest.begin(), Rest.end());
    return All;
  }
  std::string Marker() const { return Dir.File("KivServer.net"); }

  TTempDir Dir;
  int Port = FreePort();
};

INSTANTIATE_TEST_SUITE_P(Transports, ToolExchangeTest, testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "FS" : "TCP"; });

TEST_P(ToolExchangeTest, EchoAnswersEveryEntryAsItCameAndStopsOnSigterm) {
  auto Server = StartServer(With({}));
  EXPECT_TRUE(FileExists(Marker()) == FS());

  // From arguments: a data line, an empty line, the list end, a word that
  // only "--" keeps from being an option.
  TToolRun R = RunTool("request", With({"--priority", "3", "--", "hello", "", "@cs-end", "--x"}));
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "hello\n\n@cs-end\n--x\n");
  // From stdin: LF ends a line, one CR before it is dropped, a last line
  // without a break counts.
  R = RunTool("request", With({}), "a\r\nb\n\nlast");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "a\nb\n\nlast\n");

  const std::string Code = FS() ? "-" : "0";  // each request process starts at code 0
  EXPECT_TRUE(Server->WaitForErr("served priority=3 code=" + Code + " lines=4 queued="));
  EXPECT_TRUE(Server->WaitForErr("served priority=1 code=" + Code + " lines=4 queued="));
  Server->Signal(SIGTERM);
  EXPECT_EQ(Server->Wait(), 0) << Server->Err();
  EXPECT_TRUE(Server->WaitForErr("stopped\n"));
  EXPECT_FALSE(FileExists(Marker()));
}

// With --wake an idle server answers at once even though its ticks are an
// hour apart; without it the request would wait for the first tick.
TEST_P(ToolExchangeTest, WakeAnswersAtOnceWhateverTheInterval) {
  auto Server = StartServer(With({"--wake"}), "3600000");
  EXPECT_TRUE(Server->WaitForErr(" wake echo\n")) << Server->Err();
  TToolRun R = RunTool("request", With({"--timeout", "20000", "hello"}));
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "hello\n");
  Server->Signal(SIGTERM);
  EXPECT_EQ(Server->Wait(), 0) << Server->Err();
}

TEST_P(ToolExchangeTest, ExecServerAnswersWithTheCommandsOutput) {
  auto Server = StartServer(With({"--exec", "tr a-z A-Z; printf '@cs-end\\r\\nlast'; exit 3"}));
  TToolRun R = RunTool("request", With({"ab", "cd"}));
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "AB\nCD\n@cs-end\nlast\n");
  EXPECT_TRUE(Server->WaitForErr(" lines=2 ")) << Server->Err();
  EXPECT_TRUE(Server->WaitForErr(" exit=3\n")) << Server->Err();
}

// --- What a failed request reports --------------------------------------------------------

TEST(ToolRequest, NoServerListeningIsStatus5) {
  TToolRun R = RunTool("request", {"--port", std::to_string(FreePort()), "x"});
  EXPECT_EQ(R.Status, 5);
  EXPECT_NE(R.Err.find("no connection to 127.0.0.1:"), std::string::npos) << R.Err;
  ExpectOneErrorLine(R);
}

TEST(ToolRequest, NoAnswerWithinTheWindowIsStatus4) {
  TLineServer Silent;
  TToolRun R = RunTool("request", {"--port", std::to_string(Silent.Port()), "--timeout", "200",
                                   "--priority", "2", "x"});
  EXPECT_EQ(R.Status, 4);
  EXPECT_NE(R.Err.find("no answer within 200 ms"), std::string::npos) << R.Err;
  ExpectOneErrorLine(R);
  EXPECT_EQ(Silent.Received(), Words({"@request", "@cod 0", "@prior2", "\xD7x", "@end"}));
}

TEST(ToolRequest, ExchangeFailingDuringTheWaitIsStatus7) {
  struct {
    const char* Name;
    std::function<void(TLineServer&)> Fail;
  } Cases[] = {
      {"connection lost", [](TLineServer& S) { S.Drop(); }},
      {"unreadable code",
       [](TLineServer& S) {
         S.Send({"@answer", "@cod x", "@end"});
       }},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLineServer Server;
    auto Request = Start("request", {"--port", std::to_string(Server.Port()), "x"});
    ASSERT_TRUE(Server.WaitForLines(5));
    C.Fail(Server);
    EXPECT_EQ(Request->Wait(), 7);
    Request->WaitOutputEnd();
    EXPECT_NE(Request->Err().find("the exchange failed"), std::string::npos) << Request->Err();
    EXPECT_EQ(Count(Request->Err(), "\n"), 1u);
  }
}

TEST(ToolRequest, FSModeGivesUpAfterOneWindowTellingWhetherAServerIsThere) {
  TTempDir Empty, WithMarker;
  WithMarker.Write("KivServer.net", "");
  TToolRun R = RunTool("request", {"--dir", Empty.Path(), "--timeout", "100", "x"});
  EXPECT_EQ(R.Status, 6);
  EXPECT_NE(R.Err.find("no server in"), std::string::npos) << R.Err;
  ExpectOneErrorLine(R);
  EXPECT_TRUE(FindFiles(Empty.Path(), "*").empty());  // the request went with the give-up

  R = RunTool("request", {"--dir", WithMarker.Path(), "--timeout", "100", "x"});
  EXPECT_EQ(R.Status, 4);
  ExpectOneErrorLine(R);

  R = RunTool("request", {"--dir", Empty.File("missing"), "x"});
  EXPECT_EQ(R.Status, 1);
  ExpectOneErrorLine(R);
}

// --- Starting a server -----------------------------------------------------------------------

TEST(ToolServe, StartFailuresGiveOneLineAndTheirStatus) {
  const std::string Port = std::to_string(FreePort());
  auto Running = StartServer({"--port", Port, "--key", "k"});

  // The same key on the same machine and port: the start is given up.
  TToolRun R = RunTool("serve", {"--port", Port, "--key", "k", "--seek-timeout", "100"});
  EXPECT_EQ(R.Status, 3);
  EXPECT_NE(R.Err.find("another server with key \"k\" runs on this machine"), std::string::npos)
      << R.Err;
  EXPECT_EQ(Count(R.Err, "\n"), 2u) << R.Err;  // the server it found, and the message
  EXPECT_EQ(R.Out, "");

  // Another key there: it goes on, and finds the port taken.
  R = RunTool("serve", {"--port", Port, "--key", "other", "--seek-timeout", "100"});
  EXPECT_EQ(R.Status, 1);
  EXPECT_NE(R.Err.find("requested TCP port already in use"), std::string::npos) << R.Err;
  EXPECT_EQ(R.Out, "");

  TTempDir Dir;
  R = RunTool("serve", {"--dir", Dir.File("missing")});
  EXPECT_EQ(R.Status, 1);
  ExpectOneErrorLine(R);
}

// --- Discovery and notification ---------------------------------------------------------

TEST(ToolDiscovery, SeekListsTheServersOfAKeyAndNotifyReachesTheServer) {
  const std::string Port = std::to_string(FreePort());
  auto Server = StartServer({"--port", Port, "--key", "alpha"});

  TToolRun R = RunTool("seek", {"--port", Port, "--key", "alpha", "--timeout", "300"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, LocalIP() + "\t" + GetLocalName() + "\n");

  R = RunTool("seek", {"--port", Port, "--key", "beta", "--timeout", "300"});
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_EQ(R.Out, "");

  R = RunTool("notify", {"--port", Port, "cache \"flushed\"\n"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_TRUE(Server->WaitForErr("notification data=\"cache \\\"flushed\\\"\\n\"\n"))
      << Server->Err();
}

// --- Stopping ------------------------------------------------------------------------------

// A stop signal lets the server answer what is queued, most urgent first. In FS
// mode the test can tell what is queued: request files are taken all at once,
// by the tick after the one that answers. Each --exec command announces itself
// on stderr and then waits for a line on the gate.
TEST(ToolServe, SigintAnswersTheQueuedRequestsMostUrgentFirst) {
  TTempDir Exchange, Work;
  const std::string Gate = Work.File("gate");
  ASSERT_EQ(::mkfifo(Gate.c_str(), 0600), 0);
  const int GateFd = ::open(Gate.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(GateFd, 0);
  auto Release = [&](int Count) {
    for (int I = 0; I < Count; ++I) ASSERT_EQ(::write(GateFd, "go\n", 3), 3);
  };
  auto Server = StartServer(
      {"--dir", Exchange.Path(), "--exec",
       "read line; echo \"started $line\" >&2; read g < '" + Gate + "'; echo \"answered $line\""},
      "100");
  auto Started = [&](size_t N) {
    return Server->WaitFor(
        [N](const std::string&, const std::string& E) { return Count(E, "\nstarted ") >= N; });
  };
  auto Request = [&](const std::string& Priority, const std::string& Text) {
    return Start("request",
                 {"--dir", Exchange.Path(), "--priority", Priority, "--timeout", "60000", Text});
  };

  auto A = Request("1", "a");
  ASSERT_TRUE(Started(1));  // the server is busy with a
  auto B = Request("3", "b");
  auto C = Request("2", "c");
  auto D = Request("1", "d");
  ASSERT_TRUE(WaitUntil([&] { return FindFiles(Exchange.Path(), "*.REQ").size() == 3; }));
  Release(1);
  ASSERT_TRUE(Started(2));  // busy with d; b and c were taken with it and wait
  Server->Signal(SIGINT);
  Release(3);

  EXPECT_EQ(Server->Wait(), 0) << Server->Err();
  const std::pair<TToolProcess*, std::string> Requests[] = {
      {A.get(), "a"}, {B.get(), "b"}, {C.get(), "c"}, {D.get(), "d"}};
  for (const auto& [P, Text] : Requests) {
    EXPECT_EQ(P->Wait(), 0) << Text << ": " << P->Err();
    P->WaitOutputEnd();
    EXPECT_EQ(P->Out(), "answered " + Text + "\n");
  }
  ::close(GateFd);
  const std::string Log = Server->Err();
  std::vector<size_t> At = {Log.find("started a"), Log.find("started d"), Log.find("stopping"),
                            Log.find("started c"), Log.find("started b"), Log.find("stopped")};
  EXPECT_TRUE(std::is_sorted(At.begin(), At.end()) && At.back() != std::string::npos) << Log;
}

// --- The example programs ------------------------------------------------------------------

TEST(Examples, ClientAndServerExchangeInTheirOwnEventLoops) {
  const std::string Port = std::to_string(FreePort());
  TToolProcess Server(KIVTRANS2_EXAMPLE_SERVER, {Port}, "", /*KeepStdinOpen=*/true);
  ASSERT_TRUE(Server.WaitForOut("serving on port " + Port)) << Server.Err();
  TToolRun R = RunToEnd(KIVTRANS2_EXAMPLE_CLIENT, {Port, "abc", "x y"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Out.find("answer: ABC\nanswer: X Y\nanswered after"), std::string::npos) << R.Out;
  Server.CloseStdin();
  EXPECT_EQ(Server.Wait(), 0);
  EXPECT_TRUE(Server.WaitForOut("request of priority 1 with 2 lines\n"));
  EXPECT_TRUE(Server.WaitForOut("stopped\n"));
}

}  // namespace
}  // namespace KivTrans2
