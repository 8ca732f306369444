// The server's side of the file exchange: the file tick, the answer files,
// Clean, the marker file and the FS steps of the lifecycle.
#include "server/file_intake.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/files.h"
#include "host/thread.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"
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

// An FS-mode server on a temporary directory whose timers never tick by
// themselves: each test runs the file tick (ReadFileTimerOnTimer) and the
// dispatch tick (TimerOnTimer) when it wants them. Every request answered is
// logged as "<name> p<priority>: <entries>" and answered with "ok".
class FileIntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = new TKivServer(&Form);
    Server->SetName("Server1");
    Server->SetUseTCP(false);
    Server->SetServerDir(Dir.Path());
    Server->SetInterval(3600 * 1000);
    Server->OnRequest = [this](TKivServer* Sender, TRequest* R) {
      EXPECT_EQ(Sender, Server);
      std::string Text =
          R->BaseName.substr(Dir.Path().size() + 1) + " p" + std::to_string(R->Priority) + ":";
      for (const std::string& L : R->Lines) Text += " [" + L + "]";
      Answered.push_back(Text);
      R->WriteLine("ok");
    };
  }

  Lines Entries() const { return Sorted(FindFiles(Dir.Path(), "*")); }
  int Queued() const {
    int N = 0;
    for (int P = 1; P <= Server->MaxPriorities(); ++P) N += Server->QueueCount(P);
    return N;
  }

  Testing::TTempDir Dir;
  Lines Answered;
  TOwnerComponent Form;
  TKivServer* Server = nullptr;
};

TEST(ListFilesTest, ListsEveryKindOfEntryTrimmingTheDirectoryForTheSearchOnly) {
  Testing::TTempDir Dir;
  Dir.Write("A1234567.REQ", "");
  Dir.Write("B1234567.RE1", "");
  Dir.Write("c.req", "");
  std::filesystem::create_directory(Dir.File("D.REQ"));
  for (const std::string& D : {Dir.Path(), Dir.Path() + "/", "  " + Dir.Path() + " \t"})
    EXPECT_EQ(Sorted(ListFiles("*.REQ", D)), (Lines{"A1234567.REQ", "D.REQ"})) << "[" << D << "]";
  EXPECT_TRUE(ListFiles("*.REQ", Dir.File("missing")).empty());
}

TEST_F(FileIntakeTest, TwoRequestFilesFoundInOneTickAreServedByPriority) {
  // Each reader accepts CR LF, LF and a lone CR.
  Dir.Write("A0000002.REQ", "@prior2\n" + M + "two\n");
  Dir.Write("B0000001.REQ", "@prior1\r\n" + M + "one\r" + M + "\r\n@own");
  Server->ReadFileTimerOnTimer();
  EXPECT_EQ(Server->QueueCount(1), 1);
  EXPECT_EQ(Server->QueueCount(2), 1);
  EXPECT_TRUE(Entries().empty());  // both taken in the same tick
  Server->TimerOnTimer();
  EXPECT_EQ(Answered, (Lines{"B0000001 p1: [" + M + "one] [" + M + "] [@own]"}));
  EXPECT_EQ(Entries(), (Lines{"B0000001.ANS"}));  // renamed from its working name
  EXPECT_EQ(Dir.Read("B0000001.ANS"), M + "ok" + LB);
  Server->TimerOnTimer();
  EXPECT_EQ(Answered.back(), "A0000002 p2: [" + M + "two]");
  EXPECT_EQ(Entries(), (Lines{"A0000002.ANS", "B0000001.ANS"}));
}

TEST_F(FileIntakeTest, PrioritiesAreClampedAndMalformedFilesDroppedUnserved) {
  Dir.Write("A0000000.REQ", "@prior0\n");              // below 1: queue 1
  Dir.Write("B0000000.REQ", "@prior9\n" + M + "b\n");  // above MaxPriorities: queue 3
  Dir.Write("C0000000.REQ", "@prior12\n");             // one character read: 1
  Dir.Write("E0000000.REQ", "");                       // empty
  Dir.Write("F0000000.REQ", "@prior\n" + M + "f\n");   // no seventh character
  Dir.Write("G0000000.REQ", "@priorx\n");              // not a digit
  Server->ReadFileTimerOnTimer();
  EXPECT_TRUE(Entries().empty());  // every file taken once, served or not
  EXPECT_EQ(Server->QueueCount(1), 2);
  EXPECT_EQ(Server->QueueCount(3), 1);
  for (int I = 0; I < 3; ++I) Server->TimerOnTimer();
  EXPECT_EQ(Sorted(Answered), (Lines{"A0000000 p1:", "B0000000 p3: [" + M + "b]", "C0000000 p1:"}));
}

TEST_F(FileIntakeTest, AFileThatCannotBeReadStaysUntilItCan) {
  // Neither a directory nor a FIFO under a request's name can be read (the
  // FIFO is not even waited on); both stay and are taken once they are files.
  std::filesystem::create_directory(Dir.File("D0000000.REQ"));
  ASSERT_EQ(::mkfifo(Dir.File("F0000000.REQ").c_str(), 0666), 0);
  Server->ReadFileTimerOnTimer();
  Server->ReadFileTimerOnTimer();
  EXPECT_EQ(Queued(), 0);
  EXPECT_EQ(Entries(), (Lines{"D0000000.REQ", "F0000000.REQ"}));
  std::filesystem::remove(Dir.File("D0000000.REQ"));
  Dir.Write("D0000000.REQ", "@prior1\n" + M + "d\n");
  Dir.Write("f.tmp", "@prior1\n" + M + "f\n");
  ASSERT_TRUE(RenameFile(Dir.File("f.tmp"), Dir.File("F0000000.REQ")));
  Server->ReadFileTimerOnTimer();
  EXPECT_EQ(Queued(), 2);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(FileIntakeTest, FilesUnderTheirWorkingNamesAreNeverTaken) {
  Dir.Write("A0000000.RE1", "@prior1\n");
  Dir.Write("B0000000.AN1", M + "x\n");
  Server->ReadFileTimerOnTimer();
  EXPECT_EQ(Queued(), 0);
  EXPECT_EQ(Entries(), (Lines{"A0000000.RE1", "B0000000.AN1"}));
  // A real client's request, looked for while the client is writing it.
  auto* Conn = new TKivConnection(&Form);
  Conn->SetUseTCP(false);
  Conn->SetServerDir(Dir.Path());
  Conn->SetAnswerTimeout(60000);
  auto* Client = new TKivClient(&Form);
  Client->SetConnection(Conn);
  int QueuedWhileWriting = -1;
  Client->OnRequest = [&](TKivClient* C) {
    C->WriteLine("body");
    Server->ReadFileTimerOnTimer();
    QueuedWhileWriting = Queued();
  };
  Client->Request();
  EXPECT_EQ(QueuedWhileWriting, 0);
  Server->ReadFileTimerOnTimer();
  EXPECT_EQ(Server->QueueCount(1), 1);
}

TEST_F(FileIntakeTest, AnswerFilesHoldExactlyWhatTheHandlerWrote) {
  Dir.Write("A0000000.REQ", "@prior1\n");
  Dir.Write("B0000000.REQ", "@prior2\n");
  Dir.Write("C0000000.REQ", "@prior3\n");
  Server->ReadFileTimerOnTimer();
  Server->OnRequest = [](TKivServer*, TRequest* R) {
    if (R->Priority == 1) return;  // writes nothing: an empty answer
    R->WriteLine("partial");
    throw std::runtime_error("handler failed");
  };
  Server->TimerOnTimer();
  EXPECT_EQ(Entries(), (Lines{"A0000000.ANS"}));
  EXPECT_EQ(Dir.Read("A0000000.ANS"), "");
  // A failing handler leaves no half answer, and the next tick goes on.
  EXPECT_THROW(Server->TimerOnTimer(), std::runtime_error);
  EXPECT_EQ(Entries(), (Lines{"A0000000.ANS"}));
  EXPECT_EQ(Server->QueueCount(2), 0);
  Server->OnRequest = nullptr;  // unassigned: dropped without any file
  Server->TimerOnTimer();
  EXPECT_TRUE(Server->Idle());
  EXPECT_EQ(Entries(), (Lines{"A0000000.ANS"}));
}

TEST_F(FileIntakeTest, CleanRemovesTheExchangeFilesOnly) {
  const Lines Removed{"a.ANS", "a.AN1", "a.AN2", "a.RE1", "a.REQ", "a.NET", "a.LOG", ".LOG"};
  const Lines Kept{"a.TXT", "a.ans", "a.ANSX", "KivServer.net"};  // names are case-sensitive here
  for (const std::string& Name : Removed) Dir.Write(Name, "x");
  for (const std::string& Name : Kept) Dir.Write(Name, "x");
  std::filesystem::create_directory(Dir.File("sub.LOG"));  // cannot be deleted: no matter
  Server->Clean();
  Lines Expected = Kept;
  Expected.push_back("sub.LOG");
  EXPECT_EQ(Entries(), Sorted(Expected));
}

TEST_F(FileIntakeTest, SetServerDirCleansTheOldDirectoryButNeverAnEmptyOne) {
  Testing::TTempDir Other;
  Dir.Write("a.ANS", "x");
  Other.Write("b.ANS", "x");
  Server->SetServerDir(Dir.Path());  // the same value: nothing happens
  EXPECT_EQ(Entries(), (Lines{"a.ANS"}));
  Server->SetServerDir(Other.Path());  // cleans the old directory, not the new one
  EXPECT_TRUE(Entries().empty());
  EXPECT_TRUE(FileExists(Other.File("b.ANS")));
  // An empty old value names the current directory, which is left alone.
  const auto Saved = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  Dir.Write("c.ANS", "x");
  auto* Loaded = new TKivServer(&Form);
  Loaded->SetServerDir(Other.Path());
  const bool Kept = FileExists("c.ANS");
  std::filesystem::current_path(Saved);
  EXPECT_TRUE(Kept);
  EXPECT_TRUE(FileExists(Other.File("b.ANS")));
}

TEST_F(FileIntakeTest, ActivateCleansAndMarksDeActivateAnswersAndUnmarks) {
  Dir.Write("OLD00000.REQ", "@prior1\n");
  Dir.Write("OLD00000.ANS", "");
  Dir.Write("keep.TXT", "");
  ASSERT_TRUE(Server->Activate());
  EXPECT_TRUE(Server->Active());
  EXPECT_EQ(Entries(), (Lines{"KivServer.net", "keep.TXT"}));
  EXPECT_EQ(Dir.Read("KivServer.net"), "");
  Dir.Write("A0000000.REQ", "@prior2\n");
  Dir.Write("B0000000.REQ", "@prior3\n");
  Server->ReadFileTimerOnTimer();
  Server->DeActivate();  // answers both before it unmarks the directory
  EXPECT_EQ(Sorted(Answered), (Lines{"A0000000 p2:", "B0000000 p3:"}));
  EXPECT_EQ(Entries(), (Lines{"A0000000.ANS", "B0000000.ANS", "keep.TXT"}));
  // Stopped: a request file is left where it is.
  Dir.Write("C0000000.REQ", "@prior1\n");
  Server->ReadFileTimerOnTimer();
  EXPECT_EQ(Queued(), 0);
  EXPECT_TRUE(FileExists(Dir.File("C0000000.REQ")));
  // Destroyed: the directory is cleaned, but answers that their clients have
  // not collected yet stay for them.
  Dir.Write("D0000000.AN1", "");
  Dir.Write("E0000000.RE1", "");
  delete Server;
  EXPECT_EQ(Entries(), (Lines{"A0000000.ANS", "B0000000.ANS", "keep.TXT"}));
}

TEST_F(FileIntakeTest, ActivateThatCannotMarkTheDirectoryTakesNoRequests) {
  std::filesystem::create_directory(Dir.File(kMarkerFileName));  // the marker cannot be created
  Server->SetInterval(1);
  try {
    Server->Activate();
    FAIL();
  } catch (const EFileSystemError& E) {
    EXPECT_EQ(E.Message(), "Unable to create file KivServer.net");
  }
  EXPECT_FALSE(Server->Active());
  // Nothing would answer it, so nothing takes it: the file timer is off again.
  Dir.Write("A0000000.REQ", "@prior1\n");
  EXPECT_FALSE(ProcessMessagesUntil([&] { return !FileExists(Dir.File("A0000000.REQ")); }, 300));
  EXPECT_EQ(Queued(), 0);
  // Once the directory can be marked, the timers take and answer it.
  std::filesystem::remove(Dir.File(kMarkerFileName));
  ASSERT_TRUE(Server->Activate());
  Dir.Write("B0000000.REQ", "@prior1\n");
  EXPECT_TRUE(ProcessMessagesUntil([&] { return FileExists(Dir.File("B0000000.ANS")); }, 10000));
}

}  // namespace
}  // namespace KivTrans2
