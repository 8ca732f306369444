// The client's side of the file exchange: request files, the answer wait and
// its give-up rule, and whole exchanges with a server through a directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/files.h"
#include "host/sysutils.h"
#include "host/thread.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"
#include "support/child_process.h"
#include "support/net_support.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using Lines = std::vector<std::string>;

const std::string M = std::string(1, kDataMarker);
const std::string LB = kLineBreak;

Lines Sorted(Lines L) {
  std::sort(L.begin(), L.end());
  return L;
}

std::string Stem(const std::string& Name) {
  return Name.substr(0, Name.find('.'));
}

// A connection and a client on it in FS mode, on a server directory whose name
// holds a dot. Every event the client receives is logged as text, in order;
// an answer is logged with all its lines as ReadLine gives them.
class FsExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerDir = Dir.File("x.dir");
    std::filesystem::create_directory(ServerDir);
    Conn = new TKivConnection(&Form);
    Conn->SetName("Connection1");
    Conn->SetAnswerTimeout(200);
    if (UseTCP) {
      Conn->SetHost("127.0.0.1");
    } else {
      Conn->SetUseTCP(false);
      Conn->SetServerDir(ServerDir);
    }
    Client = new TKivClient(&Form);
    Client->SetName("Client1");
    Client->SetConnection(Conn);
    Client->OnAnswer = [this](TKivClient* C, bool&) {
      EXPECT_TRUE(IsMainThread());
      std::string Text = "answer";
      if (C->Answer().Cursor != 0) Text += " (cursor not on the first line)";
      while (!C->IsEOF()) Text += " [" + C->ReadLine() + "]";
      Events.push_back(Text);
    };
    Client->OnTimeOut = [this](TKivClient*, bool& GiveUp, bool Coming) {
      EXPECT_TRUE(IsMainThread());
      Events.push_back("timeout " + BoolToText(GiveUp) + " " + BoolToText(Coming));
      if (KeepWaiting > 0) {
        --KeepWaiting;
        GiveUp = false;
      }
    };
    Client->OnTransEnd = [this](TKivClient*, bool Success) {
      EXPECT_TRUE(IsMainThread());
      Events.push_back("end " + BoolToText(Success));
    };
  }

  bool WaitEvents(size_t Count) {
    return ProcessMessagesUntil([&] { return Events.size() >= Count; }, 15000);
  }

  // Every entry of the server directory, sorted.
  Lines Entries() const { return Sorted(FindFiles(ServerDir, "*")); }

  // The one request file the client has published; its stem.
  std::string RequestStem() const {
    Lines Names = FindFiles(ServerDir, "*.REQ");
    EXPECT_EQ(Names.size(), 1u);
    return Names.empty() ? std::string() : Stem(Names[0]);
  }

  void CreateMarker() const { TTextFileWriter(ServerDir + "/" + kMarkerFileName).Close(); }

  // What a server does: the answer under its working name, then renamed.
  void WriteAnswer(const std::string& Stem, const Lines& Body, bool Rename = true) const {
    TTextFileWriter File(ServerDir + "/" + Stem + ".AN1");
    for (const std::string& L : Body) File.WriteLn(L);
    File.Close();
    if (Rename) {
      ASSERT_TRUE(RenameFile(ServerDir + "/" + Stem + ".AN1", ServerDir + "/" + Stem + ".ANS"));
    }
  }

  // A server in the mode under test (in FS mode on Directory), ticking every
  // millisecond, answering each request with three lines: the echo of its
  // first line, an empty line and "@cs-end".
  void StartServer() { StartServer(ServerDir); }
  void StartServer(const std::string& Directory) {
    Server = std::make_unique<TKivServer>(nullptr);
    Server->SetInterval(1);
    if (UseTCP) {
      Server->SetPort(Testing::FreePort());
      Server->SetSeekOtherTimeout(50);
      Conn->SetPort(Server->Port());
    } else {
      Server->SetUseTCP(false);
      Server->SetServerDir(Directory);
    }
    Server->OnRequest = [this](TKivServer*, TRequest* R) {
      ++Served;
      ServedPriorities.push_back(R->Priority);
      R->WriteLine("echo:" + (R->IsEOF() ? std::string() : R->ReadLine()));
      R->WriteLine("");
      R->WriteControlLine(kCsEndLine);
    };
    ASSERT_TRUE(Server->Activate());
  }

  bool UseTCP = false;
  Testing::TTempDir Dir;
  std::string ServerDir;
  Lines Events;
  int KeepWaiting = 0;
  int Served = 0;
  std::vector<int> ServedPriorities;
  TOwnerComponent Form;
  TKivConnection* Conn = nullptr;
  TKivClient* Client = nullptr;
  std::unique_ptr<TKivServer> Server;
};

// --- Behaviour shared by both transports ---------------------------------------------

class TransportTest : public FsExchangeTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    UseTCP = GetParam();
    FsExchangeTest::SetUp();
  }
};

INSTANTIATE_TEST_SUITE_P(BothModes, TransportTest, ::testing::Values(true, false),
                         [](const auto& Info) { return Info.param ? "TCP" : "FS"; });

TEST_P(TransportTest, RoundTripsWithAThreeLineAnswer) {
  StartServer();
  Client->SetPriority(2);
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("hello"); };
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"answer [echo:hello] [] [@cs-end]", "end True"}));
  EXPECT_EQ(Client->Answer().Lines, (Lines{M + "echo:hello", M, "@cs-end"}));
  EXPECT_FALSE(Conn->Busy());
  if (!UseTCP) {
    EXPECT_EQ(Entries(), (Lines{kMarkerFileName}));  // the answer file was collected
  }
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("again"); };
  Client->Request();  // the connection serves the next exchange
  ASSERT_TRUE(WaitEvents(4));
  EXPECT_EQ(Events[2], "answer [echo:again] [] [@cs-end]");
  EXPECT_EQ(ServedPriorities, (std::vector<int>{2, 2}));
}

TEST_P(TransportTest, AFailingRequestBodyLeavesNothingForTheServer) {
  StartServer();
  Client->OnRequest = [](TKivClient* C) {
    C->WriteLine("half");
    throw std::runtime_error("application failure");
  };
  EXPECT_THROW(Client->Request(), std::runtime_error);
  EXPECT_FALSE(Conn->Busy());
  if (!UseTCP) {
    EXPECT_EQ(Entries(), (Lines{kMarkerFileName}));  // no ".RE1" left behind
  }
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("whole"); };
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"answer [echo:whole] [] [@cs-end]", "end True"}));
  EXPECT_EQ(Served, 1);  // the half request never reached the handler
}

// --- FS mode ------------------------------------------------------------------------

TEST(FsServerDirTest, BothSidesAppendOneSeparator) {
  struct {
    std::string ServerDir, Expected;
  } Cases[] = {
      {"/srv/kiv", "/srv/kiv/"},
      {"/srv/kiv/", "/srv/kiv/"},
      {"/srv/x.dir", "/srv/x.dir/"},
      {"", ""},
  };
  TOwnerComponent Form;
  auto* Conn = new TKivConnection(&Form);
  auto* Server = new TKivServer(&Form);
  for (const auto& Case : Cases) {
    Conn->SetServerDir(Case.ServerDir);
    EXPECT_EQ(Conn->GetServerDir(), Case.Expected) << Case.ServerDir;
    EXPECT_EQ(Conn->ServerDir(), Case.ServerDir);
  }
  // None of these directories exists: cleaning the old one finds nothing.
  for (const auto& Case : Cases) {
    Server->SetServerDir(Case.ServerDir);
    EXPECT_EQ(Server->GetServerDir(), Case.Expected) << Case.ServerDir;
  }
}

TEST_F(FsExchangeTest, TheRequestFileIsCompleteBeforeItIsPublished) {
  Conn->SetAnswerTimeout(60000);  // the wait outlasts the test
  Client->SetPriority(2);
  Lines WhileWriting;
  Client->OnRequest = [&](TKivClient* C) {
    WhileWriting = Entries();
    C->WriteLine("a");
    C->WriteLine("");
    C->Connection()->WriteControlLine("@own");
    C->WriteStringList({"x"});
  };
  Client->Request();
  ASSERT_EQ(WhileWriting.size(), 1u);
  const std::string Name = FindFiles(ServerDir, "*.REQ").at(0);
  EXPECT_EQ(Entries(), (Lines{Name}));  // the working file became the request file
  EXPECT_EQ(WhileWriting[0], Stem(Name) + ".RE1");
  EXPECT_TRUE(std::regex_match(Name, std::regex("[A-Z][0-9]{7}\\.REQ")));
  EXPECT_EQ(Dir.Read("x.dir/" + Name),
            "@prior2" + LB + M + "a" + LB + M + LB + "@own" + LB + M + "x" + LB + "@cs-end" + LB);
}

TEST_F(FsExchangeTest, WithoutTheServerMarkerTheClientGivesUpAfterOneWindow) {
  Client->Request();
  EXPECT_TRUE(Conn->Busy());
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"timeout True False", "end False"}));
  EXPECT_TRUE(Entries().empty());  // its request file went with it
  EXPECT_FALSE(Conn->Busy());
  // A handler that clears the flag gets another window.
  KeepWaiting = 1;
  Client->Request();
  ASSERT_TRUE(WaitEvents(5));
  EXPECT_EQ(Lines(Events.begin() + 2, Events.end()),
            (Lines{"timeout True False", "timeout True False", "end False"}));
  EXPECT_TRUE(Entries().empty());
}

TEST_F(FsExchangeTest, APresentButSilentServerKeepsTheClientWaiting) {
  CreateMarker();
  Client->Request();
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(Events, (Lines{"timeout False True"}));
  EXPECT_THROW(Client->Request(), EAlreadyWorking);
  // An answer still being written is never read: a whole window passes over it.
  const std::string Stem = RequestStem();
  ASSERT_TRUE(DeleteFile(ServerDir + "/" + Stem + ".REQ"));  // taken by the "server"
  WriteAnswer(Stem, {M + "one", "@ctl", M}, false);
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events[1], "timeout False True");
  ASSERT_TRUE(RenameFile(ServerDir + "/" + Stem + ".AN1", ServerDir + "/" + Stem + ".ANS"));
  ASSERT_TRUE(WaitEvents(4));
  EXPECT_EQ(Lines(Events.begin() + 2, Events.end()), (Lines{"answer [one] [@ctl] []", "end True"}));
  EXPECT_EQ(Entries(), (Lines{kMarkerFileName}));  // the answer file was collected
}

TEST_F(FsExchangeTest, AnAnswerThatCannotBeReadIsRetriedNotLost) {
  CreateMarker();
  Client->Request();
  const std::string Stem = RequestStem();
  const std::string Answer = ServerDir + "/" + Stem + ".ANS";
  // A FIFO under the answer's name can be neither read nor waited on.
  ASSERT_EQ(::mkfifo(Answer.c_str(), 0666), 0);
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(Events, (Lines{"timeout False True"}));  // no empty answer, no hang
  EXPECT_TRUE(FileExists(Answer));                   // and not deleted unread
  WriteAnswer(Stem, {M + "late"});                   // replaces the FIFO
  ASSERT_TRUE(WaitEvents(3));
  EXPECT_EQ(Lines(Events.begin() + 1, Events.end()), (Lines{"answer [late]", "end True"}));
  EXPECT_FALSE(FileExists(Answer));
}

TEST_F(FsExchangeTest, ARequestFileThatCannotBeCreatedRaises) {
  Conn->SetServerDir(Dir.File("missing"));
  try {
    Client->Request();
    FAIL();
  } catch (const EFileSystemError& E) {
    EXPECT_EQ(E.Message(), "Could not create request file");
  }
  EXPECT_FALSE(Conn->Busy());
  CheckSynchronize(20);
  EXPECT_TRUE(Events.empty());  // no wait was started
}

TEST_F(FsExchangeTest, ClashingNamesNeverOverwriteAnotherClientsFiles) {
  // The names the next two requests would draw, taken by another client: the
  // first as a request being written, the second as a published request.
  RandSeed(4242);
  const std::string First = MakeRequestName(Random, "");
  const std::string Second = MakeRequestName(Random, "");
  ASSERT_NE(First, Second);
  Dir.Write("x.dir/" + First + ".RE1", "theirs 1");
  RandSeed(4242);
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("mine"); };
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));  // no marker: given up, its own request deleted
  // The second: the working name is free, the published one is not.
  RandSeed(4242);
  MakeRequestName(Random, "");
  Dir.Write("x.dir/" + Second + ".REQ", "theirs 2");
  RandSeed(4242);
  MakeRequestName(Random, "");
  Lines WhileWriting;
  Client->OnRequest = [&](TKivClient* C) {
    WhileWriting = Entries();
    C->WriteLine("mine");
  };
  Conn->SetAnswerTimeout(60000);  // this one waits for its answer
  Client->Request();
  Randomize();
  EXPECT_EQ(WhileWriting, Sorted({First + ".RE1", Second + ".RE1", Second + ".REQ"}));
  Lines Mine;
  for (const std::string& Name : Entries())
    if (Name != First + ".RE1" && Name != Second + ".REQ") Mine.push_back(Name);
  ASSERT_EQ(Mine.size(), 1u);
  EXPECT_TRUE(std::regex_match(Mine[0], std::regex("[A-Z][0-9]{7}\\.REQ")));
  EXPECT_EQ(Dir.Read("x.dir/" + Mine[0]), "@prior1" + LB + M + "mine" + LB);
  WriteAnswer(Stem(Mine[0]), {M + "yours"});
  ASSERT_TRUE(WaitEvents(4));
  EXPECT_EQ(Lines(Events.begin() + 2, Events.end()), (Lines{"answer [yours]", "end True"}));
  EXPECT_EQ(Dir.Read("x.dir/" + First + ".RE1"), "theirs 1");
  EXPECT_EQ(Dir.Read("x.dir/" + Second + ".REQ"), "theirs 2");
}

TEST_F(FsExchangeTest, AnEmptyServerDirMeansTheCurrentDirectory) {
  const auto Saved = std::filesystem::current_path();
  std::filesystem::current_path(ServerDir);
  Conn->SetServerDir("");
  StartServer("");
  EXPECT_TRUE(FileExists(kMarkerFileName));
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("here"); };
  Client->Request();
  bool Done = WaitEvents(2);
  Server.reset();  // it cleans the current directory: still this one
  std::filesystem::current_path(Saved);
  ASSERT_TRUE(Done);
  EXPECT_EQ(Events, (Lines{"answer [echo:here] [] [@cs-end]", "end True"}));
  EXPECT_TRUE(Entries().empty());  // the marker went with the server
}

TEST_F(FsExchangeTest, BothSidesNameTheSameFilesWithOrWithoutATrailingSeparator) {
  StartServer();  // ServerDir without the separator
  Conn->SetServerDir(ServerDir + "/");
  Client->OnRequest = [](TKivClient* C) { C->WriteLine("slash"); };
  Client->Request();
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events, (Lines{"answer [echo:slash] [] [@cs-end]", "end True"}));
}

// The server of the two-process test: FS mode on the directory given, until a
// file named "stop" appears there.
KIV_TEST_CHILD(FsEchoServer) {
  const std::string Dir = Args.at(0);
  {
    TKivServer Server(nullptr);
    Server.SetUseTCP(false);
    Server.SetServerDir(Dir);
    Server.SetInterval(1);
    Server.OnRequest = [](TKivServer*, TRequest* R) {
      while (!R->IsEOF()) R->WriteLine(R->ReadLine());
    };
    if (!Server.Activate()) return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    if (!ProcessMessagesUntil([&] { return FileExists(Dir + "/stop"); }, 120000)) return 4;
    Server.DeActivate();
  }
  return 0;
}

TEST(FsProcessTest, HundredExchangesWithAServerInAnotherProcess) {
  Testing::TTempDir Dir;
  Testing::TChildProcess Child("FsEchoServer", {Dir.Path()});
  ASSERT_EQ(Child.ReadLine(), "ready");
  ASSERT_TRUE(FileExists(Dir.File(kMarkerFileName)));
  TOwnerComponent Form;
  auto* Conn = new TKivConnection(&Form);
  Conn->SetUseTCP(false);
  Conn->SetServerDir(Dir.Path());
  auto* Client = new TKivClient(&Form);
  Client->SetConnection(Conn);
  int Sent = 0;
  Client->OnRequest = [&](TKivClient* C) {
    C->WriteLine("request " + std::to_string(Sent));
    C->WriteLine("");
  };
  int Good = 0, Ended = 0;
  Client->OnAnswer = [&](TKivClient* C, bool&) {
    if (C->ReadLine() == "request " + std::to_string(Sent) && C->ReadLine().empty() && C->IsEOF())
      ++Good;
  };
  Client->OnTransEnd = [&](TKivClient*, bool) { ++Ended; };
  for (Sent = 0; Sent < 100; ++Sent) {
    Client->Request();
    ASSERT_TRUE(ProcessMessagesUntil([&] { return Ended == Sent + 1; }, 15000)) << Sent;
  }
  EXPECT_EQ(Good, 100);
  Dir.Write("stop", "");
  EXPECT_EQ(Child.Wait(), 0);
  // The server removed its marker and the directory holds no exchange file.
  EXPECT_EQ(FindFiles(Dir.Path(), "*"), (Lines{"stop"}));
}

}  // namespace
}  // namespace KivTrans2
