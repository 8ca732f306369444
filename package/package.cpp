// The package: registration, the unit's start-up and shut-down, the entry
// points a package loader calls, and what loading and unloading the library do.
#include "package/package.h"

#include <iterator>
#include <mutex>

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "host/sysutils.h"
#include "host/thread.h"
#include "package/entry_points.h"
#include "package/resources.h"
#include "server/kiv_server.h"

namespace KivTrans2 {

namespace {

struct TUnitState {
  std::mutex Lock;
  int StartCount = 0;      // GUARDED_BY(Lock): start-ups not yet matched by a shut-down
  bool LoadStart = false;  // GUARDED_BY(Lock): one of them is the start-up loading ran
};

TUnitState& UnitState() {
  // Never destroyed: unloading may still reach it.
  static TUnitState* State = new TUnitState();
  return *State;
}

const TPackageUnitInfo kUnits[] = {{kPackageName, &StartUpUnit, &ShutDownUnit}};

void RunStartUpSections() {
  for (const TPackageUnitInfo& Unit : kUnits)
    if (Unit.Initialization) Unit.Initialization();
}

void RunShutDownSections() {
  for (size_t I = std::size(kUnits); I-- > 0;)
    if (kUnits[I].Finalization) kUnits[I].Finalization();
}

// True (once) when the start-up that loading ran is still unclaimed: the
// loader's first Initialize takes it over instead of nesting inside it.
bool TakeOverLoadStart() {
  TUnitState& S = UnitState();
  std::lock_guard<std::mutex> Lock(S.Lock);
  bool Taken = S.LoadStart;
  S.LoadStart = false;
  return Taken;
}

const TPackageInfoTable kPackageInfoTable = {
    sizeof(TPackageInfoTable),
    kPackageName,
    static_cast<int32_t>(std::size(kUnits)),
    kUnits,
    &Register,
    &PalettePages,
    &FindComponentClass,
    &CreateComponent,
    &LookupResource,
    &ProcessMessagesUntil,
};

// Mapping the library registers the package's resources and starts its unit,
// so that a program linked against the library is ready from its first line;
// unmapping withdraws the resources.
struct TModule {
  TModule() {
    RegisterResources(kPackageName, PackageResources());
    RunStartUpSections();
    TUnitState& S = UnitState();
    std::lock_guard<std::mutex> Lock(S.Lock);
    S.LoadStart = true;
  }
  ~TModule() { UnRegisterResources(kPackageName); }
};

const TModule kModule;

}  // namespace

void Register() {
  RegisterComponents(kPackageName,
                     {&TKivServer::Class(), &TKivConnection::Class(), &TKivClient::Class()});
}

void StartUpUnit() {
  TUnitState& S = UnitState();
  std::lock_guard<std::mutex> Lock(S.Lock);
  if (S.StartCount++ > 0) return;
  Randomize();
  SetRequestCounter(0);
}

void ShutDownUnit() {
  TUnitState& S = UnitState();
  std::lock_guard<std::mutex> Lock(S.Lock);
  if (S.StartCount == 0) return;
  if (--S.StartCount == 0) S.LoadStart = false;
}

bool UnitStarted() {
  TUnitState& S = UnitState();
  std::lock_guard<std::mutex> Lock(S.Lock);
  return S.StartCount > 0;
}

}  // namespace KivTrans2

extern "C" {

void Initialize(void) {
  if (KivTrans2::TakeOverLoadStart()) return;
  KivTrans2::RunStartUpSections();
}

void Finalize(void) {
  KivTrans2::RunShutDownSections();
}

const KivTrans2::TPackageInfoTable* GetPackageInfoTable(void) {
  return &KivTrans2::kPackageInfoTable;
}

}  // extern "C"
