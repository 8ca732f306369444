#include "package/package.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/sysutils.h"
#include "host/thread.h"
#include "package/entry_points.h"
#include "server/kiv_server.h"
#include "support/child_process.h"
#include "support/net_support.h"

namespace KivTrans2 {
namespace {

using Testing::TLineServer;

std::vector<std::string> ClassNames(const TPalettePage& Page) {
  std::vector<std::string> Names;
  for (const TComponentClass* C : Page.Classes) Names.push_back(C->ClassName);
  return Names;
}

TEST(RegisterTest, PutsServerConnectionAndClientOnThePageKivTrans2InThisOrder) {
  UnRegisterClasses();
  Register();
  Register();  // again: nothing is added twice
  std::vector<TPalettePage> Pages = PalettePages();
  ASSERT_EQ(Pages.size(), 1u);
  EXPECT_EQ(Pages[0].Name, "KivTrans2");
  EXPECT_EQ(ClassNames(Pages[0]),
            (std::vector<std::string>{"TKivServer", "TKivConnection", "TKivClient"}));
  // What is registered can be created by class name.
  TOwnerComponent Form;
  for (const char* Name : {"TKivServer", "TKivConnection", "TKivClient"}) {
    TComponent* C = CreateComponent(Name, &Form);
    ASSERT_NE(C, nullptr) << Name;
    EXPECT_EQ(C->ClassName(), Name);
    EXPECT_EQ(C->Owner(), &Form);
  }
  UnRegisterClasses();
}

// A connection and a client sending to a scripted peer; Send() makes one
// request, answers it and returns the request's code line as the peer saw it.
class StartUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A program linked against the library runs with the unit started once,
    // by loading; each test leaves it so.
    ASSERT_TRUE(UnitStarted());
    Conn = new TKivConnection(&Form);
    Conn->SetHost("127.0.0.1");
    Conn->SetPort(Peer.Port());
    Client = new TKivClient(&Form);
    Client->SetConnection(Conn);
    Client->OnTransEnd = [this](TKivClient*, bool) { ++Ended; };
  }

  std::string Send() {
    const size_t Index = Sent++;
    Client->Request();
    if (!Peer.WaitForLines(4, Index)) return "no request";
    std::string Cod = Peer.Received(Index)[1];
    Peer.Send({"@answer", Cod, "@end"}, Index);
    EXPECT_TRUE(ProcessMessagesUntil([&] { return Ended == Sent; }, 15000));
    return Cod;
  }

  TLineServer Peer;
  TOwnerComponent Form;
  TKivConnection* Conn = nullptr;
  TKivClient* Client = nullptr;
  size_t Sent = 0;
  size_t Ended = 0;
};

TEST_F(StartUpTest, OnlyAStartUpAfterEveryStartUpIsMatchedRestartsTheCodes) {
  SetRequestCounter(7);
  EXPECT_EQ(Send(), "@cod 7");
  StartUpUnit();  // while started: counted, nothing else
  EXPECT_EQ(Send(), "@cod 8");
  ShutDownUnit();  // matches it; the unit is still started
  EXPECT_TRUE(UnitStarted());
  EXPECT_EQ(Send(), "@cod 9");
  ShutDownUnit();  // matches the start-up of loading
  EXPECT_FALSE(UnitStarted());
  EXPECT_EQ(Send(), "@cod 10") << "a shut-down resets nothing";
  ShutDownUnit();  // unmatched: ignored
  StartUpUnit();
  EXPECT_TRUE(UnitStarted());
  EXPECT_EQ(Send(), "@cod 0");
  EXPECT_EQ(Send(), "@cod 1");
}

std::vector<int> Draws() {
  std::vector<int> D;
  for (int I = 0; I < 4; ++I) D.push_back(Random(1000000000));
  return D;
}

TEST_F(StartUpTest, SeedsTheGeneratorOnlyWhenItsBodyRuns) {
  RandSeed(1);
  const std::vector<int> Fixed = Draws();
  RandSeed(1);
  StartUpUnit();  // while started
  EXPECT_EQ(Draws(), Fixed);
  ShutDownUnit();
  ShutDownUnit();
  ASSERT_FALSE(UnitStarted());
  RandSeed(1);
  StartUpUnit();  // the body: seeded from the clock
  EXPECT_NE(Draws(), Fixed);
}

TEST(PackageTableTest, ListsTheUnitsSectionsAndTheRegistration) {
  const TPackageInfoTable* Table = GetPackageInfoTable();
  ASSERT_NE(Table, nullptr);
  EXPECT_EQ(Table->Size, sizeof(TPackageInfoTable));
  EXPECT_STREQ(Table->Name, "KivTrans2");
  ASSERT_EQ(Table->UnitCount, 1);
  EXPECT_STREQ(Table->Units[Table->UnitCount - 1].Name, "KivTrans2");  // its own unit last
  EXPECT_EQ(Table->Units[0].Initialization, &StartUpUnit);
  EXPECT_EQ(Table->Units[0].Finalization, &ShutDownUnit);
  EXPECT_EQ(Table->Register, &Register);
  EXPECT_EQ(Table->CreateComponent, &CreateComponent);
}

// A fresh process that calls the entry points as a package loader does, and
// prints after each step whether the unit is started and the request counter.
KIV_TEST_CHILD(EntryPoints) {
  auto Say = [](const char* Step) {
    std::printf("%s %d %d\n", Step, UnitStarted() ? 1 : 0, RequestCounter());
  };
  Say("loaded");
  SetRequestCounter(5);
  Initialize();  // takes over the start-up of loading
  Say("initialized");
  Initialize();  // nested
  Say("again");
  Finalize();
  Say("finalized");
  Finalize();
  Say("finalized");
  Initialize();  // the body again
  Say("initialized");
  std::fflush(stdout);
  return 0;
}

TEST(FreshProcessTest, FinalizeMatchesTheFirstInitializeAfterLoading) {
  Testing::TChildProcess Child("EntryPoints", {});
  std::vector<std::string> Lines;
  for (int I = 0; I < 6; ++I) Lines.push_back(Child.ReadLine());
  EXPECT_EQ(Child.Wait(), 0);
  EXPECT_EQ(Lines, (std::vector<std::string>{"loaded 1 0", "initialized 1 5", "again 1 5",
                                             "finalized 1 5", "finalized 0 5", "initialized 1 0"}));
}

// A child process of this test program, started fresh: sends one request to
// the port in Args[0] and prints a draw of the random generator.
KIV_TEST_CHILD(FirstRequest) {
  TOwnerComponent Form;
  auto* Conn = new TKivConnection(&Form);
  Conn->SetHost("127.0.0.1");
  Conn->SetPort(std::stoi(Args.at(0)));
  auto* Client = new TKivClient(&Form);
  Client->SetConnection(Conn);
  Client->Request();
  std::printf("%d\n", Random(1000000000));
  std::fflush(stdout);
  return 0;
}

TEST(FreshProcessTest, FirstRequestCarriesCodeZeroAndTheGeneratorIsSeeded) {
  TLineServer Peer;
  std::vector<std::string> Draws;
  for (size_t I = 0; I < 2; ++I) {
    Testing::TChildProcess Child("FirstRequest", {std::to_string(Peer.Port())});
    ASSERT_TRUE(Peer.WaitForLines(4, I));
    EXPECT_EQ(Peer.Received(I)[1], "@cod 0");
    Draws.push_back(Child.ReadLine());
    EXPECT_EQ(Child.Wait(), 0);
  }
  ASSERT_FALSE(Draws[0].empty());
  EXPECT_NE(Draws[0], Draws[1]) << "each process seeds from the clock";
}

}  // namespace
}  // namespace KivTrans2
