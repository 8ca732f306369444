// package/entry_points.h — the C entry points of the KivTrans2 package, for
// package loaders. Public API, but not part of KivTrans2.h: the names are
// global and an application that links against the library never calls them.
//
// A loader resolves them with dlsym (names in package/package.h) and calls
// them on its main thread: Initialize after loading the library, Finalize
// before unloading it.
#pragma once

#include "host/kiv_export.h"
#include "package/package.h"

extern "C" {

// Runs the start-up sections of the package's units in order. The first call
// after loading takes over the start-up that loading the library ran, so it
// does not nest inside it and the matching Finalize shuts the unit down.
KIV_API void Initialize(void);
// Runs the shut-down sections of the package's units in reverse order.
KIV_API void Finalize(void);
// The package's table: its units and the host layer's services.
KIV_API const KivTrans2::TPackageInfoTable* GetPackageInfoTable(void);

}  // extern "C"
