// Load: many clients at once against one server in another process, which
// serves one request per tick with Interval 0. Every answer must reach the
// client that asked, be the echo of its own request, and none may be lost.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "load/load_support.h"
#include "server/kiv_server.h"
#include "support/child_process.h"
#include "support/net_support.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using Testing::kRequestsPerClient;
using Testing::NowMs;
using Testing::TClientFleet;

// The server of the load tests: echoes every entry of every request, one
// request per tick, Interval 0. Args: port, then the server directory for FS
// mode (TCP mode without it).
KIV_TEST_CHILD(LoadEchoServer) {
  TKivServer Server(nullptr);
  Server.SetPort(std::stoi(Args.at(0)));
  if (Args.size() > 1) {
    Server.SetUseTCP(false);
    Server.SetServerDir(Args[1]);
  }
  Server.SetInterval(0);
  Server.SetSeekOtherTimeout(50);
  Server.OnRequest = [](TKivServer*, TRequest* R) {
    while (!R->IsEOF()) R->WriteLine(R->ReadLine());
  };
  if (!Server.Activate()) return 3;
  std::printf("ready\n");
  std::fflush(stdout);
  ProcessMessagesUntil([] { return false; }, 600000);
  return 0;
}

// Every client sends its next request as soon as its previous exchange has
// ended, until each has sent PerClient. Prints and records the figures.
void RunLoad(TClientFleet& Fleet, int PerClient, const std::string& Label) {
  const int Total = Fleet.Size() * PerClient;
  const int64_t Start = NowMs();
  for (int I = 0; I < Fleet.Size(); ++I) Fleet.Send(I);
  const bool Done = Fleet.Pump([&] { return Fleet.Ended() == Total; }, 240000,
                               [&](int I) {
                                 if (Fleet.Sent(I) < PerClient) Fleet.Send(I);
                               });
  const double Seconds = static_cast<double>(NowMs() - Start) / 1000.0;
  const int Lost = Total - Fleet.Answered;
  std::printf("[load] %s: %d clients x %d requests = %d, answered %d, lost %d, wrong %d, %.2f s\n",
              Label.c_str(), Fleet.Size(), PerClient, Total, Fleet.Answered, Lost, Fleet.Wrong,
              Seconds);
  ::testing::Test::RecordProperty("requests", Total);
  ::testing::Test::RecordProperty("lost", Lost);
  ::testing::Test::RecordProperty("milliseconds", static_cast<int>(Seconds * 1000));
  EXPECT_TRUE(Done) << Fleet.Ended() << " of " << Total << " exchanges ended";
  EXPECT_EQ(Fleet.Answered, Total);
  EXPECT_EQ(Fleet.Wrong, 0);
  EXPECT_EQ(Fleet.Failed, 0) << Fleet.LastError;
  EXPECT_EQ(Fleet.TimeOuts, 0);
  EXPECT_EQ(Fleet.Doubled, 0);
}

class TcpLoadTest : public ::testing::TestWithParam<bool> {};

TEST_P(TcpLoadTest, TwoHundredConnectionsFiftyRequestsEachNoneLostNoneMisdelivered) {
  const bool AutoConnect = GetParam();
  const int Port = Testing::FreePort();
  Testing::TChildProcess Server("LoadEchoServer", {std::to_string(Port)});
  ASSERT_EQ(Server.ReadLine(), "ready");
  TClientFleet Fleet(200, [&](TKivConnection* C, int) {
    C->SetHost("127.0.0.1");
    C->SetPort(Port);
    C->SetAutoConnect(AutoConnect);
    // The test counts lost answers, not slow ones: under ThreadSanitizer 200
    // clients can wait longer than the default window for their turn.
    C->SetAnswerTimeout(60000);
  });
  if (!AutoConnect)
    for (int I = 0; I < Fleet.Size(); ++I) Fleet.Connection(I)->Connect();
  RunLoad(Fleet, kRequestsPerClient, AutoConnect ? "TCP, AutoConnect" : "TCP, kept connections");
  if (!AutoConnect) {
    for (int I = 0; I < Fleet.Size(); ++I) EXPECT_TRUE(Fleet.Connection(I)->Connected());
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, TcpLoadTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                           return Info.param ? "AutoConnect" : "KeptConnection";
                         });

TEST(FsLoadTest, TwentyClientsInOneDirectoryFiftyRequestsEachNoneLost) {
  Testing::TTempDir Dir;
  Testing::TChildProcess Server("LoadEchoServer",
                                {std::to_string(Testing::FreePort()), Dir.Path()});
  ASSERT_EQ(Server.ReadLine(), "ready");
  TClientFleet Fleet(20, [&](TKivConnection* C, int) {
    C->SetUseTCP(false);
    C->SetServerDir(Dir.Path());
    C->SetAnswerTimeout(60000);  // as above: slow answers are not lost ones
  });
  RunLoad(Fleet, kRequestsPerClient, "FS, one directory");
}

}  // namespace
}  // namespace KivTrans2
