// A connection's answer wait outlives its exchange and takes the next one; each
// exchange still starts afresh.
#include <gtest/gtest.h>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/sysutils.h"
#include "host/thread.h"
#include "message/line_codec.h"
#include "support/net_support.h"

namespace KivTrans2 {
namespace {

using Testing::TLineServer;
using Lines = std::vector<std::string>;

const std::string M = std::string(1, kDataMarker);

class WaitReuseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Conn = new TKivConnection(&Form);
    Conn->SetName("Connection1");
    Conn->SetHost("127.0.0.1");
    Client = MakeClient("Client1");
  }

  TKivClient* MakeClient(const std::string& Name) {
    auto* C = new TKivClient(&Form);
    C->SetName(Name);
    C->SetConnection(Conn);
    C->OnAnswer = [this, Name](TKivClient* Sender, bool&) {
      Events.push_back(Name + " answer " + (Sender->IsEOF() ? "" : Sender->ReadLine()));
    };
    C->OnTimeOut = [this, Name](TKivClient*, bool& GiveUp, bool Coming) {
      Events.push_back(Name + " timeout " + BoolToText(GiveUp) + " " + BoolToText(Coming));
    };
    C->OnTransEnd = [this, Name](TKivClient*, bool Success) {
      Events.push_back(Name + " end " + BoolToText(Success));
    };
    return C;
  }

  bool WaitEvents(size_t Count) {
    return ProcessMessagesUntil([&] { return Events.size() >= Count; }, 15000);
  }

  // The code of the request that connection Index sent last.
  std::string LastCode(const TLineServer& Peer, size_t Index) {
    std::string Code;
    for (const std::string& L : Peer.Received(Index))
      if (L.rfind("@cod ", 0) == 0) Code = L.substr(5);
    return Code;
  }

  TOwnerComponent Form;
  TKivConnection* Conn = nullptr;
  TKivClient* Client = nullptr;
  Lines Events;
};

TEST_F(WaitReuseTest, EachExchangeInARowGetsItsOwnOutcome) {
  TLineServer Peer;
  Conn->SetPort(Peer.Port());
  // Answered and given up in silence, by turns, one connection each
  // (AutoConnect): whether the next exchange's wait runs on the thread of the
  // previous one or on a new thread, it starts from nothing.
  Lines Expected;
  for (size_t Index = 0; Index < 8; ++Index) {
    const bool Answered = Index % 2 == 0;
    // The window is read afresh by each wait: long for an answer, short for
    // the silence.
    Conn->SetAnswerTimeout(Answered ? 60000 : 100);
    Client->Request();
    if (Answered) {
      ASSERT_TRUE(Peer.WaitForLines(4, Index));
      Peer.Send({"@answer", "@cod " + LastCode(Peer, Index), M + std::to_string(Index), "@end"},
                Index);
      Expected.push_back("Client1 answer " + std::to_string(Index));
      Expected.push_back("Client1 end True");
    } else {
      Expected.push_back("Client1 timeout True False");
      Expected.push_back("Client1 end False");
    }
    ASSERT_TRUE(WaitEvents(Expected.size()));
    ASSERT_EQ(Events, Expected);
    EXPECT_TRUE(ProcessMessagesUntil([&] { return !Conn->Busy(); }, 5000));
  }
}

}  // namespace
}  // namespace KivTrans2
