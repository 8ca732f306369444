// package/resources.h — the resources the KivTrans2 package carries and the
// formats of those that are not plain images. Public API.
//
// The library registers them with the host layer's resource registry
// (host/resources.h) under the module name "KivTrans2" when it is loaded, and
// withdraws them when it is unloaded. Every build carries:
//   BITMAP "TKIVSERVER", "TKIVCONNECTION", "TKIVCLIENT"  palette bitmaps: 24 x 24,
//       16 colours, an uncompressed 4-bit device-independent bitmap (info
//       header, colour table, pixels; no file header) of 392 bytes
//   RCDATA "DESCRIPTION"   the package description "KivTrans2", UTF-16LE with a
//                          terminating zero
//   RCDATA "PACKAGEINFO"   required packages and contained units (below)
// The win1/win2 behaviour set also carries:
//   VERSION "1"            a version information block, file and product
//                          version 1.0.0.0, the other version strings empty
//   GROUP_ICON "MAINICON" with ICON "1"  the main icon, 32 x 32, 16 colours
// The Linux build keeps its resource names in lower case (PackageResourceName).
#pragma once

#include <string>
#include <vector>

#include "host/kiv_export.h"
#include "host/resources.h"

namespace KivTrans2 {

inline constexpr char kDescriptionResource[] = "DESCRIPTION";
inline constexpr char kPackageInfoResource[] = "PACKAGEINFO";
inline constexpr char kMainIconResource[] = "MAINICON";
inline constexpr char kVersionResource[] = "1";
inline constexpr char kMainIconImageResource[] = "1";

// The name this build gives a resource: as written (capitals) with the win1/win2
// behaviour, in lower case in the Linux build.
KIV_API std::string PackageResourceName(const std::string& Name);
// The palette bitmap's resource name for a component class ("TKivClient").
KIV_API std::string PaletteBitmapName(const std::string& ClassName);

// The package information. Encoded as: flags (uint32, 0), the number of
// required packages (uint32) and their names, the number of contained units
// (uint32) and their names; integers little-endian, each name its bytes and a
// zero byte.
struct KIV_API TPackageInfo {
  std::vector<std::string> Requires;
  std::vector<std::string> Contains;
};
KIV_API std::string EncodePackageInfo(const TPackageInfo& Info);
// Raises Exception for data that does not hold exactly one package information.
KIV_API TPackageInfo DecodePackageInfo(const std::string& Data);

// The resources of this build, as the library registers them.
KIV_API std::vector<TResource> PackageResources();

}  // namespace KivTrans2
