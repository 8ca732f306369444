// The built libKivTrans2.so, loaded the way a design environment or a host
// program loads a package: with dlopen, without linking against it. (This test
// program also links the library's objects; the loaded copy is a separate one,
// reached only through what the shared library exports.)
#include <dlfcn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "package/package.h"
#include "support/net_support.h"

namespace KivTrans2 {
namespace {

using Testing::TLineServer;
using Lines = std::vector<std::string>;

#if defined(KIVTRANS2_VARIANT_lnx)
constexpr bool kRequestWaitsWhenBlocking = false;
#else
constexpr bool kRequestWaitsWhenBlocking = true;
#endif

// What the test reaches in the loaded package. A C++ host reaches the public
// API's functions by their symbol names, the object as their first argument.
struct TLoadedPackage {
  void* Foreign = nullptr;
  void* Handle = nullptr;
  TPackageProc Initialize = nullptr;
  TPackageProc Finalize = nullptr;
  TPackageProc Register = nullptr;
  const TPackageInfoTable* Table = nullptr;
  void (*SetBroadcastTarget)(const std::string&) = nullptr;
  void (*SetConnection)(TKivClient*, TKivConnection*) = nullptr;
  void (*Request)(TKivClient*) = nullptr;
  std::string Error;
};

template <typename F>
void Resolve(void* Handle, const char* Name, F& Fn, std::string& Error) {
  Fn = reinterpret_cast<F>(dlsym(Handle, Name));
  if (!Fn) Error += std::string(" missing ") + Name;
}

// Loaded once per process: first the foreign library into the global scope,
// then the package.
const TLoadedPackage& Package() {
  static const TLoadedPackage P = [] {
    TLoadedPackage L;
    L.Foreign = dlopen(KIVTRANS2_FOREIGN_PACKAGE_PATH, RTLD_NOW | RTLD_GLOBAL);
    L.Handle = dlopen(KIVTRANS2_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!L.Foreign || !L.Handle) {
      L.Error = dlerror();
      return L;
    }
    Resolve(L.Handle, kInitializeEntryPoint, L.Initialize, L.Error);
    Resolve(L.Handle, kFinalizeEntryPoint, L.Finalize, L.Error);
    Resolve(L.Handle, kRegisterEntryPoint, L.Register, L.Error);
    TGetPackageInfoTableProc GetTable = nullptr;
    Resolve(L.Handle, kGetPackageInfoTableEntryPoint, GetTable, L.Error);
    Resolve(
        L.Handle,
        "_ZN9KivTrans218SetBroadcastTargetERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
        L.SetBroadcastTarget, L.Error);
    Resolve(L.Handle, "_ZN9KivTrans210TKivClient13SetConnectionEPNS_14TKivConnectionE",
            L.SetConnection, L.Error);
    Resolve(L.Handle, "_ZN9KivTrans210TKivClient7RequestEv", L.Request, L.Error);
    if (GetTable) L.Table = GetTable();
    // The loaded copy has network settings of its own; keep it on loopback.
    if (L.SetBroadcastTarget) L.SetBroadcastTarget("127.255.255.255");
    return L;
  }();
  return P;
}

class LoadedPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Package().Error, "");
    ASSERT_NE(Package().Table, nullptr);
    ASSERT_EQ(Package().Table->Size, sizeof(TPackageInfoTable));
  }
  const TPackageInfoTable& Table() const { return *Package().Table; }

  // A connection to Peer and a client on it, registered and created by class
  // name through the loaded package; events are logged.
  void CreateClient() {
    Package().Register();
    Conn.reset(static_cast<TKivConnection*>(Table().CreateComponent("TKivConnection", nullptr)));
    Client.reset(static_cast<TKivClient*>(Table().CreateComponent("TKivClient", nullptr)));
    ASSERT_TRUE(Conn && Client);
    SetProperty(*Conn, "Host", "127.0.0.1");
    SetProperty(*Conn, "Port", std::to_string(Peer.Port()));
    Package().SetConnection(Client.get(), Conn.get());
    Client->OnAnswer = [this](TKivClient*, bool&) { Events.push_back("answer"); };
    Client->OnTransEnd = [this](TKivClient*, bool Success) {
      Events.push_back(Success ? "end True" : "end False");
    };
  }

  static const TPropertyInfo& Property(const TComponent& C, const std::string& Name) {
    for (const TPropertyInfo& P : C.ClassInfo().Properties)
      if (P.Name == Name) return P;
    throw std::runtime_error("no property " + Name);
  }
  static void SetProperty(TComponent& C, const std::string& Name, const std::string& Value) {
    Property(C, Name).Set(C, Value);
  }

  // One request through the loaded package, answered; its code line.
  std::string Send() {
    const size_t Index = Sent++;
    const size_t Before = Events.size();
    Package().Request(Client.get());
    if (!Peer.WaitForLines(4, Index)) return "no request";
    std::string Cod = Peer.Received(Index)[1];
    Peer.Send({"@answer", Cod, "@end"}, Index);
    EXPECT_TRUE(Table().ProcessMessagesUntil([&] { return Events.size() == Before + 2; }, 15000));
    return Cod;
  }

  TLineServer Peer;
  // Destroyed in this order: the client before its connection.
  std::unique_ptr<TKivConnection> Conn;
  std::unique_ptr<TKivClient> Client;
  Lines Events;
  size_t Sent = 0;
};

TEST_F(LoadedPackageTest, RegistersItsComponentsAndCreatesThemByClassName) {
  Package().Initialize();
  Package().Register();
  std::vector<TPalettePage> Pages = Table().PalettePages();
  ASSERT_EQ(Pages.size(), 1u);
  EXPECT_EQ(Pages[0].Name, "KivTrans2");
  Lines Names;
  for (const TComponentClass* C : Pages[0].Classes) Names.push_back(C->ClassName);
  EXPECT_EQ(Names, (Lines{"TKivServer", "TKivConnection", "TKivClient"}));

  for (const std::string& Name : Names) {
    SCOPED_TRACE(Name);
    std::unique_ptr<TComponent> C(Table().CreateComponent(Name, nullptr));
    ASSERT_NE(C, nullptr);
    EXPECT_EQ(C->ClassName(), Name);
    EXPECT_EQ(&C->ClassInfo(), Table().FindComponentClass(Name));
    for (const TPropertyInfo& P : C->ClassInfo().Properties)
      if (P.Default) {
        EXPECT_EQ(P.Get(*C), *P.Default) << P.Name;
      }
  }
  EXPECT_EQ(Table().CreateComponent("TKivNothing", nullptr), nullptr);
  auto Bitmap =
      Table().LookupResource(kResBitmap, kRequestWaitsWhenBlocking ? "TKIVCLIENT" : "tkivclient");
  ASSERT_TRUE(Bitmap);
  EXPECT_EQ(Bitmap->Data.size(), 392u);
  Package().Finalize();
}

// The start-up rule through the entry points, with requests sent through the
// loaded package to a scripted peer. A foreign library in the global scope
// defines Initialize, Finalize, GetPackageInfoTable, StartUpUnit and
// SetRequestCounter; the package must not call any of them.
TEST_F(LoadedPackageTest, RequestCodesFollowTheEntryPointsNotAForeignDefinition) {
  using TCallsFn = int (*)();
  auto ForeignCalls = reinterpret_cast<TCallsFn>(dlsym(Package().Foreign, "ForeignPackageCalls"));
  ASSERT_NE(ForeignCalls, nullptr);
  void* ForeignInitialize = dlsym(Package().Foreign, "Initialize");
  ASSERT_NE(ForeignInitialize, nullptr);
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "Initialize"), ForeignInitialize)
      << "the process's global scope holds the foreign definition";
  EXPECT_NE(reinterpret_cast<void*>(Package().Initialize), ForeignInitialize);
  EXPECT_NE(reinterpret_cast<void*>(Table().Units[0].Initialization),
            dlsym(Package().Foreign, "_ZN9KivTrans211StartUpUnitEv"));

  Package().Initialize();
  ASSERT_NO_FATAL_FAILURE(CreateClient());
  EXPECT_EQ(Send(), "@cod 0") << "the first request after loading";
  EXPECT_EQ(Send(), "@cod 1");
  Package().Initialize();  // a second start-up keeps the sequence
  EXPECT_EQ(Send(), "@cod 2");
  Package().Finalize();
  Package().Finalize();    // shut down
  Package().Initialize();  // and started again
  EXPECT_EQ(Send(), "@cod 0");
  Package().Finalize();
  EXPECT_EQ(ForeignCalls(), 0);
}

TEST_F(LoadedPackageTest, BlockingIsStoredAndDecidesWhetherRequestWaits) {
  Package().Initialize();
  ASSERT_NO_FATAL_FAILURE(CreateClient());
  SetProperty(*Conn, "Blocking", "True");
  EXPECT_EQ(Property(*Conn, "Blocking").Get(*Conn), "True");
  if (kRequestWaitsWhenBlocking) {
    // The reference behaviour: Request returns once the exchange has ended;
    // no answer comes, so it ends when the answer window has passed.
    Conn->SetAnswerTimeout(100);
    Package().Request(Client.get());
    EXPECT_EQ(Events, (Lines{"end False"}));
  } else {
    // The Linux build: Request returns before the answer.
    Package().Request(Client.get());
    EXPECT_TRUE(Events.empty());
    ASSERT_TRUE(Peer.WaitForLines(4));
    Peer.Send({"@answer", Peer.Received()[1], "@end"});
    EXPECT_TRUE(Table().ProcessMessagesUntil([&] { return Events.size() == 2; }, 15000));
    EXPECT_EQ(Events, (Lines{"answer", "end True"}));
  }
  Package().Finalize();
}

// Runs Command and returns its output; Status gets its exit status.
std::string RunCommand(const std::string& Command, int& Status) {
  std::string Out;
  FILE* Pipe = popen(Command.c_str(), "r");
  if (!Pipe) return Out;
  char Buffer[4096];
  size_t N;
  while ((N = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0) Out.append(Buffer, N);
  int Raw = pclose(Pipe);
  Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
  return Out;
}

TEST(LibraryExportsTest, OnlyThePublicApiAndTheEntryPoints) {
  int Status = -1;
  std::string Out =
      RunCommand(std::string("nm -D --defined-only -C '") + KIVTRANS2_LIBRARY_PATH + "'", Status);
  ASSERT_EQ(Status, 0) << Out;
  std::set<std::string> Names;
  size_t Pos = 0;
  while (Pos < Out.size()) {
    size_t End = Out.find('\n', Pos);
    if (End == std::string::npos) End = Out.size();
    std::string Line = Out.substr(Pos, End - Pos);
    Pos = End + 1;
    // "<address> <kind> <name>"
    size_t Name = Line.find(' ', Line.find(' ') + 1);
    if (Name != std::string::npos) Names.insert(Line.substr(Name + 1));
  }
  for (const char* Entry :
       {"Initialize", "Finalize", "GetPackageInfoTable", "KivTrans2::Register()"})
    EXPECT_EQ(Names.count(Entry), 1u) << Entry;
  const std::string kPublic[] = {
      "KivTrans2::", "typeinfo for KivTrans2::", "typeinfo name for KivTrans2::",
      "vtable for KivTrans2::", "non-virtual thunk to KivTrans2::"};
  for (const std::string& N : Names) {
    if (N == "Initialize" || N == "Finalize" || N == "GetPackageInfoTable") continue;
    bool Public = false;
    for (const std::string& Prefix : kPublic) Public = Public || N.rfind(Prefix, 0) == 0;
    EXPECT_TRUE(Public) << N;
    EXPECT_EQ(N.find("(anonymous namespace)"), std::string::npos) << N;
  }
  // Internal classes stay inside.
  for (const std::string& N : Names)
    EXPECT_EQ(N.find("TKivTransWaitForAnswerThread"), std::string::npos) << N;
}

TEST(DesignToolTest, ListsThePalettePageAndThePublishedProperties) {
  int Status = -1;
  std::string Out = RunCommand(std::string("'") + KIVTRANS2_DESIGN_TOOL_PATH + "'", Status);
  EXPECT_EQ(Status, 0) << Out;
  EXPECT_NE(Out.find("Palette page \"KivTrans2\": TKivServer, TKivConnection, TKivClient\n"),
            std::string::npos)
      << Out;
  // Each component with its bitmap, then its properties by name with their defaults.
  const size_t Server = Out.find("\nTKivServer  (palette bitmap ");
  const size_t Connection = Out.find("\nTKivConnection  (palette bitmap ");
  const size_t Client = Out.find("\nTKivClient  (palette bitmap ");
  ASSERT_NE(Server, std::string::npos) << Out;
  EXPECT_LT(Server, Connection);
  EXPECT_LT(Connection, Client);
  EXPECT_NE(Out.find("24 x 24, 16 colours"), std::string::npos);
  const size_t MaxPriorities = Out.find("MaxPriorities           3 ", Server);
  const size_t Port = Out.find("Port                    2000 ", Server);
  EXPECT_LT(MaxPriorities, Port) << Out;
  EXPECT_LT(Port, Connection) << Out;
  EXPECT_NE(Out.find("Blocking        False ", Connection), std::string::npos) << Out;
  EXPECT_NE(Out.find("Priority    1 ", Client), std::string::npos) << Out;

  std::string Bad = RunCommand(
      std::string("'") + KIVTRANS2_DESIGN_TOOL_PATH + "' /nonexistent/libKivTrans2.so 2>&1",
      Status);
  EXPECT_EQ(Status, 1) << Bad;
  EXPECT_NE(Bad.find("cannot load /nonexistent/libKivTrans2.so"), std::string::npos) << Bad;
}

}  // namespace
}  // namespace KivTrans2
