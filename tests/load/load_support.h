// Test support for the load and fault tests: a fleet of clients, each on a
// connection of its own, whose every answer is checked against the request it
// answers; an echo server run as a child process; and the run's scale.
// Internal to tests/load.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/component.h"
#include "host/thread.h"
#include "message/kiv_errors.h"

namespace KivTrans2::Testing {

// Sanitizer builds make every thread start several times dearer (ThreadSanitizer
// far more than AddressSanitizer), and AutoConnect starts two threads per
// request: there the load tests send fewer requests per client, with the same
// clients at the same concurrency.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kRequestsPerClient = 10;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int kRequestsPerClient = 25;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr int kRequestsPerClient = 10;
#elif __has_feature(address_sanitizer)
inline constexpr int kRequestsPerClient = 25;
#else
inline constexpr int kRequestsPerClient = 50;
#endif
#else
inline constexpr int kRequestsPerClient = 50;
#endif

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The body of request Seq of client Index, as texts: it names both, and its
// length varies with Seq (an empty line included now and then).
inline std::vector<std::string> RequestBody(int Index, int Seq) {
  std::vector<std::string> Body{"client " + std::to_string(Index) + " request " +
                                std::to_string(Seq)};
  for (int K = 0; K < Seq % 4; ++K)
    Body.push_back(K == 1 ? "" : std::to_string(Index * 1000 + Seq) + "/" + std::to_string(K));
  return Body;
}

// Clients on connections of their own, all on one server. Every event runs on
// the main thread, so the fleet's counters need no lock. An exchange counts as
// answered only when its answer is exactly the echo of its own request.
class TClientFleet {
 public:
  // Setup(Connection, Index) points each connection at the server.
  TClientFleet(int Count, const std::function<void(TKivConnection*, int)>& Setup) {
    for (int I = 0; I < Count; ++I) {
      auto M = std::make_unique<TMember>();
      M->Conn = new TKivConnection(&FForm);
      Setup(M->Conn, I);
      M->Client = new TKivClient(&FForm);
      M->Client->SetConnection(M->Conn);
      TMember* Self = M.get();
      M->Client->OnRequest = [Self](TKivClient* C) {
        for (const std::string& Text : Self->Expected) C->WriteLine(Text);
      };
      M->Client->OnAnswer = [Self](TKivClient* C, bool&) {
        std::vector<std::string> Got;
        while (!C->IsEOF()) Got.push_back(C->ReadLine());
        Self->Matched = Got == Self->Expected;
      };
      M->Client->OnTimeOut = [this](TKivClient*, bool&, bool) { ++TimeOuts; };
      M->Client->OnTransEnd = [this, Self, I](TKivClient*, bool Success) {
        if (!Self->InFlight) ++Doubled;  // a second end for one exchange
        Self->InFlight = false;
        Self->EndedAtMs = NowMs();
        if (Success && Self->Matched)
          ++Answered;
        else if (Success)
          ++Wrong;
        else
          ++Failed;
        Ready.push_back(I);
      };
      FMembers.push_back(std::move(M));
    }
  }

  int Size() const { return static_cast<int>(FMembers.size()); }
  TKivConnection* Connection(int I) { return FMembers[static_cast<size_t>(I)]->Conn; }
  int Sent(int I) const { return FMembers[static_cast<size_t>(I)]->Sent; }
  int64_t EndedAtMs(int I) const { return FMembers[static_cast<size_t>(I)]->EndedAtMs; }
  int Ended() const { return Answered + Wrong + Failed; }

  // Sends client I's next request. A request that raises counts as an
  // exchange that failed and ended at once; its message is kept.
  void Send(int I) {
    TMember& M = *FMembers[static_cast<size_t>(I)];
    M.Expected = RequestBody(I, M.Sent);
    M.Matched = false;
    M.InFlight = true;
    ++M.Sent;
    try {
      M.Client->Request();
    } catch (const Exception& E) {
      M.InFlight = false;
      ++Failed;
      ++Raised;
      LastError = E.Message();
      Ready.push_back(I);
    }
  }

  // Pumps the main thread until Done() holds or TimeoutMs has passed; each
  // client whose exchange ended meanwhile is handed to Next(Index), if given.
  bool Pump(const std::function<bool()>& Done, int TimeoutMs,
            const std::function<void(int)>& Next = nullptr) {
    const int64_t Deadline = NowMs() + TimeoutMs;
    for (;;) {
      std::vector<int> Now = std::exchange(Ready, {});
      if (Next)
        for (int I : Now) Next(I);
      if (Done()) return true;
      const int64_t Left = Deadline - NowMs();
      if (Left <= 0) return false;
      ProcessMessagesUntil([&] { return !Ready.empty() || Done(); },
                           static_cast<int>(std::min<int64_t>(Left, 1000)));
    }
  }

  // Counters, main thread only.
  int Answered = 0;  // the echo of its own request
  int Wrong = 0;     // a successful exchange whose answer was not its own
  int Failed = 0;    // ended with OnTransEnd(False), or Request raised
  int Raised = 0;    // of Failed: Request raised
  int TimeOuts = 0;  // OnTimeOut events
  int Doubled = 0;   // OnTransEnd for an exchange that had ended already
  std::string LastError;
  std::vector<int> Ready;  // clients whose exchange ended since the last Pump round

 private:
  struct TMember {
    TKivConnection* Conn = nullptr;
    TKivClient* Client = nullptr;
    int Sent = 0;
    std::vector<std::string> Expected;
    bool Matched = false;
    bool InFlight = false;
    int64_t EndedAtMs = 0;
  };
  // Declared before the form: the form destroys the components (their waits
  // included) while the members' texts still exist.
  std::vector<std::unique_ptr<TMember>> FMembers;
  TOwnerComponent FForm;
};

}  // namespace KivTrans2::Testing
