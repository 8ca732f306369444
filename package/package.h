// package/package.h — the KivTrans2 package as a whole: registration of its
// components with the design environment, the start-up and shut-down of the
// unit, and the table a package loader reads. Public API.
//
// Loading the library starts the unit once, so an application that links
// against the library needs no call. A host that loads it as a package
// (dlopen) calls the entry points of package/entry_points.h instead: Initialize
// after loading, then Register, and Finalize before unloading. Everything here
// runs on the main thread, before any component of the package exists and
// after the last one is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/component.h"
#include "host/kiv_export.h"
#include "host/resources.h"

namespace KivTrans2 {

// The package, its one unit and its palette page share this name.
inline constexpr char kPackageName[] = "KivTrans2";

// Registers TKivServer, TKivConnection and TKivClient, in this order, on the
// palette page "KivTrans2". Registering again adds nothing. REQUIRES: main
// thread.
KIV_API void Register();

// The start-up of the unit. Its body runs when every earlier start-up has been
// matched by a shut-down (the first call, and the first after the unit was shut
// down): it seeds the random generator from the clock and sets RequestCounter
// to 0. A start-up while the unit is started only counts the call.
KIV_API void StartUpUnit();
// The shut-down of the unit: matches one start-up. It releases and resets
// nothing; once every start-up is matched, the next start-up runs the body
// again. A shut-down without a start-up does nothing.
KIV_API void ShutDownUnit();
// True between a start-up and the shut-down that matches the last one.
KIV_API bool UnitStarted();

// --- The package loader's view -------------------------------------------------
//
// A host that loads the library with dlopen and does not link against it finds
// the entry points by these names (dlsym) and everything else through the
// table that GetPackageInfoTable returns. The library binds its own calls to
// its own definitions, so other definitions of these names in the host process
// do not disturb it.

inline constexpr char kInitializeEntryPoint[] = "Initialize";
inline constexpr char kFinalizeEntryPoint[] = "Finalize";
inline constexpr char kGetPackageInfoTableEntryPoint[] = "GetPackageInfoTable";
// The registration entry point: the symbol of KivTrans2::Register().
inline constexpr char kRegisterEntryPoint[] = "_ZN9KivTrans28RegisterEv";

// One unit of the package with its start-up and shut-down sections.
struct TPackageUnitInfo {
  const char* Name;
  void (*Initialization)();  // may be null
  void (*Finalization)();    // may be null
};

// What GetPackageInfoTable returns. Static data of the library: valid while it
// stays loaded; the caller owns nothing.
struct TPackageInfoTable {
  // sizeof(TPackageInfoTable) in the library that filled it; a loader refuses a
  // table of another size.
  uint32_t Size;
  const char* Name;  // kPackageName
  int32_t UnitCount;
  // In start-up order, the package's own unit last. Initialize runs their
  // start-up sections in this order and Finalize their shut-down sections in
  // the reverse order.
  const TPackageUnitInfo* Units;
  void (*Register)();
  // The host layer that the library carries: the component registry, the
  // resources and the main thread's queue, as the library's own copies see
  // them. CreateComponent and ProcessMessagesUntil: main thread only.
  std::vector<TPalettePage> (*PalettePages)();
  const TComponentClass* (*FindComponentClass)(const std::string& ClassName);
  // The component is owned by AOwner, or by the caller when AOwner is null.
  TComponent* (*CreateComponent)(const std::string& ClassName, TComponent* AOwner);
  std::optional<TResource> (*LookupResource)(const std::string& Type, const std::string& Name);
  bool (*ProcessMessagesUntil)(const std::function<bool()>& Done, int TimeoutMs);
};

// The signatures of the C entry points, for dlsym.
using TPackageProc = void (*)();
using TGetPackageInfoTableProc = const TPackageInfoTable* (*)();

}  // namespace KivTrans2
