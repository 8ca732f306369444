// host/resources.h — named resources that a module carries (palette bitmaps,
// texts, binary tables) and their lookup. Public API.
//
// A module registers its resources when it is loaded and withdraws them when it
// is unloaded; a design environment or the application finds them by type and
// name. Every function here is thread safe; what they return is a copy that the
// caller owns.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/kiv_export.h"

namespace KivTrans2 {

// Resource types, named as the resource compilers of the host platforms name
// them.
inline constexpr char kResBitmap[] = "BITMAP";  // a device-independent bitmap, no file header
inline constexpr char kResIcon[] = "ICON";      // one image of an icon (DIB, XOR and AND mask)
inline constexpr char kResGroupIcon[] = "GROUP_ICON";  // an icon's directory of images
inline constexpr char kResRCData[] = "RCDATA";         // raw bytes
inline constexpr char kResVersion[] = "VERSION";       // a version information block

struct KIV_API TResource {
  std::string Module;  // the module that registered it
  std::string Type;
  std::string Name;
  std::string Data;  // the bytes
};

// Registers Module's resources, replacing whatever Module registered before.
// Module and the resources' own Module field are set to Module.
KIV_API void RegisterResources(const std::string& Module, std::vector<TResource> Resources);
// Withdraws every resource of Module.
KIV_API void UnRegisterResources(const std::string& Module);

// The resource of this type and name, names compared exactly; the earliest
// registered module wins. Nothing when there is none. (Not FindResource: that
// name is a macro of the Windows headers.)
KIV_API std::optional<TResource> LookupResource(const std::string& Type, const std::string& Name);

// Every registered resource, by module in order of registration.
KIV_API std::vector<TResource> ListResources();

}  // namespace KivTrans2
