// kivtrans2-design — loads the KivTrans2 package the way a design environment
// does and shows what it would show: the palette page with its components in
// order, and each component's published properties and events with their
// defaults, listed by name as an object inspector lists them.
//
//   kivtrans2-design [LIBRARY]
//
// LIBRARY defaults to the library next to this program. The program does not
// link against the library: it finds the package's entry points with dlsym and
// everything else through the package's table.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "package/package.h"

namespace {

using namespace KivTrans2;

std::string DefaultLibrary() {
  std::error_code Error;
  std::filesystem::path Self = std::filesystem::read_symlink("/proc/self/exe", Error);
  if (Error) return KIVTRANS2_LIBRARY_NAME;
  return (Self.parent_path() / KIVTRANS2_LIBRARY_NAME).string();
}

// UTF-16LE text up to its terminating zero; characters beyond Latin-1 as '?'.
std::string FromUtf16(const std::string& Data) {
  std::string Out;
  for (size_t I = 0; I + 1 < Data.size(); I += 2) {
    unsigned Unit = static_cast<unsigned char>(Data[I]) |
                    static_cast<unsigned>(static_cast<unsigned char>(Data[I + 1])) << 8;
    if (Unit == 0) break;
    Out += Unit < 0x100 ? static_cast<char>(Unit) : '?';
  }
  return Out;
}

// "24 x 24, 16 colours" from a bitmap's info header; empty when it has none.
std::string DescribeBitmap(const std::string& Dib) {
  if (Dib.size() < 40) return "";
  auto U32 = [&](size_t At) {
    uint32_t V = 0;
    for (int I = 3; I >= 0; --I) V = (V << 8) | static_cast<unsigned char>(Dib[At + I]);
    return V;
  };
  uint32_t Bits = U32(14) & 0xFFFF;
  return std::to_string(U32(4)) + " x " + std::to_string(U32(8)) + ", " +
         std::to_string(1u << Bits) + " colours";
}

void PrintClass(const TComponentClass& Class, const TPackageInfoTable& Table) {
  // The Windows builds name the bitmap in capitals, the Linux build in lower case.
  std::string Upper = Class.ClassName, Lower = Class.ClassName;
  for (char& C : Upper) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  for (char& C : Lower) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  std::string Bitmap = "no palette bitmap";
  for (const std::string& Name : {Upper, Lower})
    if (auto Found = Table.LookupResource(kResBitmap, Name)) {
      Bitmap = "palette bitmap " + Name + ": " + DescribeBitmap(Found->Data);
      break;
    }
  std::printf("\n%s  (%s)\n", Class.ClassName.c_str(), Bitmap.c_str());

  std::vector<const TPropertyInfo*> Properties, Events;
  for (const TPropertyInfo& P : Class.Properties)
    (P.Kind == TPropertyKind::Event ? Events : Properties).push_back(&P);
  auto ByName = [](const TPropertyInfo* A, const TPropertyInfo* B) { return A->Name < B->Name; };
  std::sort(Properties.begin(), Properties.end(), ByName);
  std::sort(Events.begin(), Events.end(), ByName);
  size_t Width = 0;
  for (const TPropertyInfo& P : Class.Properties) Width = std::max(Width, P.Name.size());

  std::printf("  Properties\n");
  for (const TPropertyInfo* P : Properties) {
    // A new component holds the declared default; one without a default holds
    // the empty value of its type.
    std::string Value = P->Default.value_or("");
    std::printf("    %-*s  %-*s  %s\n", static_cast<int>(Width), P->Name.c_str(), 8, Value.c_str(),
                P->TypeName.c_str());
  }
  std::printf("  Events\n");
  for (const TPropertyInfo* P : Events)
    std::printf("    %-*s  %-*s  %s\n", static_cast<int>(Width), P->Name.c_str(), 8, "",
                P->TypeName.c_str());
}

int Run(const std::string& Library) {
  // RTLD_LOCAL: the package's names stay out of this program's global scope.
  void* Handle = dlopen(Library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Handle) {
    std::fprintf(stderr, "kivtrans2-design: cannot load %s: %s\n", Library.c_str(), dlerror());
    return 1;
  }
  auto Initialize = reinterpret_cast<TPackageProc>(dlsym(Handle, kInitializeEntryPoint));
  auto Finalize = reinterpret_cast<TPackageProc>(dlsym(Handle, kFinalizeEntryPoint));
  auto GetTable =
      reinterpret_cast<TGetPackageInfoTableProc>(dlsym(Handle, kGetPackageInfoTableEntryPoint));
  auto Register = reinterpret_cast<TPackageProc>(dlsym(Handle, kRegisterEntryPoint));
  if (!Initialize || !Finalize || !GetTable || !Register) {
    std::fprintf(stderr, "kivtrans2-design: %s is not a KivTrans2 package\n", Library.c_str());
    return 1;
  }
  const TPackageInfoTable* Table = GetTable();
  if (!Table || Table->Size != sizeof(TPackageInfoTable)) {
    std::fprintf(stderr, "kivtrans2-design: %s was built with another package table\n",
                 Library.c_str());
    return 1;
  }

  Initialize();
  Register();
  std::printf("Package %s (%s)\n", Table->Name, Library.c_str());
  for (const char* Name : {"DESCRIPTION", "description"})
    if (auto Description = Table->LookupResource(kResRCData, Name)) {
      std::printf("  Description: %s\n", FromUtf16(Description->Data).c_str());
      break;
    }
  std::printf("  Units:");
  for (int32_t I = 0; I < Table->UnitCount; ++I) std::printf(" %s", Table->Units[I].Name);
  std::printf("\n");

  for (const TPalettePage& Page : Table->PalettePages()) {
    std::printf("\nPalette page \"%s\":", Page.Name.c_str());
    for (size_t I = 0; I < Page.Classes.size(); ++I)
      std::printf("%s %s", I ? "," : "", Page.Classes[I]->ClassName.c_str());
    std::printf("\n");
    for (const TComponentClass* Class : Page.Classes) PrintClass(*Class, *Table);
  }
  Finalize();
  // The library stays mapped until the process ends: its host layer keeps
  // process-wide objects (the main thread's queue) that unloading would strand.
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 ||
      (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
    std::fprintf(stderr, "usage: kivtrans2-design [LIBRARY]\n");
    return argc > 2 ? 2 : 0;
  }
  return Run(argc == 2 ? argv[1] : DefaultLibrary());
}
