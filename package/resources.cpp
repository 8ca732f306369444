// The package's resources: palette bitmaps drawn as text, the description, the
// package information, and (win1/win2) the version block and the main icon.
#include "package/resources.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "host/exceptions.h"
#include "package/package.h"

namespace KivTrans2 {

namespace {

#if defined(KIVTRANS2_VARIANT_win1) || defined(KIVTRANS2_VARIANT_win2)
constexpr bool kLowerCaseNames = false;
constexpr bool kWindowsResources = true;
#else
constexpr bool kLowerCaseNames = true;
constexpr bool kWindowsResources = false;
#endif

// --- Little-endian writing ------------------------------------------------------

void PutU8(std::string& Out, uint8_t V) {
  Out += static_cast<char>(V);
}
void PutU16(std::string& Out, uint16_t V) {
  PutU8(Out, static_cast<uint8_t>(V));
  PutU8(Out, static_cast<uint8_t>(V >> 8));
}
void PutU32(std::string& Out, uint32_t V) {
  PutU16(Out, static_cast<uint16_t>(V));
  PutU16(Out, static_cast<uint16_t>(V >> 16));
}
void SetU16(std::string& Out, size_t At, uint16_t V) {
  Out[At] = static_cast<char>(V & 0xFF);
  Out[At + 1] = static_cast<char>(V >> 8);
}
// ASCII text as UTF-16LE, with the terminating zero when Terminate.
void PutUtf16(std::string& Out, std::string_view Text, bool Terminate) {
  for (char C : Text) PutU16(Out, static_cast<unsigned char>(C));
  if (Terminate) PutU16(Out, 0);
}
void PadTo4(std::string& Out) {
  while (Out.size() % 4 != 0) Out += '\0';
}

// --- Bitmaps --------------------------------------------------------------------

// The 16 colours of the standard palette, as RGB.
constexpr std::array<uint32_t, 16> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0x808080,
    0xC0C0C0, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

// Drawing characters, each at the index of its colour in the palette: black,
// maroon, green, olive, navy, purple, teal, grey, silver, red, lime, yellow,
// blue, fuchsia, aqua, white. '.' is fuchsia, the background, which no drawing
// uses: the palette shows the bottom-left pixel's colour as transparent.
constexpr std::string_view kDrawingChars = "kmGonptgsrlyb.aw";

constexpr int ColourIndex(char C) {
  size_t I = kDrawingChars.find(C);
  return I == std::string_view::npos ? -1 : static_cast<int>(I);
}

template <size_t N>
constexpr bool IsDrawing(const std::array<std::string_view, N>& Rows) {
  for (std::string_view Row : Rows) {
    if (Row.size() != N) return false;
    for (char C : Row)
      if (ColourIndex(C) < 0) return false;
  }
  return true;
}

using TPaletteArt = std::array<std::string_view, 24>;

// A server tower with two drive bays and its lights.
// clang-format off
constexpr TPaletteArt kServerArt = {
    "........................",
    "......kkkkkkkkkkkk......",
    "......kwwwwwwwwwgk......",
    "......kwssssssssgk......",
    "......kwgggggglggk......",
    "......kwkkkkkkkkgk......",
    "......kwssssssssgk......",
    "......kwssssssssgk......",
    "......kwgggggglggk......",
    "......kwkkkkkkkkgk......",
    "......kwssssssssgk......",
    "......kwssssssssgk......",
    "......kwgggggggggk......",
    "......kwssssssssgk......",
    "......kwgggggggggk......",
    "......kwssssssssgk......",
    "......kwgggggggggk......",
    "......kwssssssssgk......",
    "......kwssssssssgk......",
    "......kwslsyssrsgk......",
    "......kwssssssssgk......",
    ".....kkggggggggggkk.....",
    "....kkkkkkkkkkkkkkkk....",
    "........................",
};
// clang-format on

// A plug and a socket about to meet, each with its cable.
// clang-format off
constexpr TPaletteArt kConnectionArt = {
    "........................",
    "........................",
    "........................",
    "..............kkkkkkk...",
    "..................kk....",
    "..................kk....",
    "..................kk....",
    "..................kk....",
    ".kkkkkkk......kkkkkkkkk.",
    ".kaaaank......kaaaaaank.",
    ".kabbbnkyysskkkatttttnk.",
    ".kabbbnk......katttttnk.",
    ".kabbbnk......katttttnk.",
    ".kabbbnkyysskkkatttttnk.",
    ".knnnnnk......knnnnnnnk.",
    ".kkkkkkk......kkkkkkkkk.",
    "...kk...................",
    "...kk...................",
    "...kk...................",
    "...kk...................",
    "...kkkkkkk..............",
    "........................",
    "........................",
    "........................",
};
// clang-format on

// A monitor with lines of text on its screen.
// clang-format off
constexpr TPaletteArt kClientArt = {
    "........................",
    "........................",
    "..kkkkkkkkkkkkkkkkkkkk..",
    "..kwwwwwwwwwwwwwwwwwgk..",
    "..kwkkkkkkkkkkkkkkkkgk..",
    "..kwknnnnnnnnnnnnnnkgk..",
    "..kwknaaaaaaaaannnnkgk..",
    "..kwknnnnnnnnnnnnnnkgk..",
    "..kwknaaaaaaaaaaaankgk..",
    "..kwknnnnnnnnnnnnnnkgk..",
    "..kwknaaaaaaannnnnnkgk..",
    "..kwknnnnnnnnnnnnnnkgk..",
    "..kwknaaaaaaaaaaannkgk..",
    "..kwknnnnnnnnnnnnnnkgk..",
    "..kwkkkkkkkkkkkkkkkkgk..",
    "..kggggggggggggggggggk..",
    "..kkkkkkkkkkkkkkkkkkkk..",
    "..........gggg..........",
    "..........gggg..........",
    "......kkkkkkkkkkkk......",
    "......kssssssssssk......",
    "......kkkkkkkkkkkk......",
    "........................",
    "........................",
};
// clang-format on

static_assert(IsDrawing(kServerArt) && IsDrawing(kConnectionArt) && IsDrawing(kClientArt));

// The 40-byte info header of a 4-bit uncompressed bitmap and its colour table.
// Height is the header's height (an icon's counts its mask too).
void PutInfoHeaderAndColours(std::string& Out, int Width, int Height, uint32_t ImageSize) {
  PutU32(Out, 40);                             // biSize
  PutU32(Out, static_cast<uint32_t>(Width));   // biWidth
  PutU32(Out, static_cast<uint32_t>(Height));  // biHeight: positive, rows bottom-up
  PutU16(Out, 1);                              // biPlanes
  PutU16(Out, 4);                              // biBitCount
  PutU32(Out, 0);                              // biCompression: none
  PutU32(Out, ImageSize);                      // biSizeImage
  PutU32(Out, 0);                              // biXPelsPerMeter
  PutU32(Out, 0);                              // biYPelsPerMeter
  PutU32(Out, 16);                             // biClrUsed
  PutU32(Out, 0);                              // biClrImportant: all
  for (uint32_t Rgb : kPalette) {
    PutU8(Out, static_cast<uint8_t>(Rgb));        // blue
    PutU8(Out, static_cast<uint8_t>(Rgb >> 8));   // green
    PutU8(Out, static_cast<uint8_t>(Rgb >> 16));  // red
    PutU8(Out, 0);
  }
}

// Rows of 4-bit pixels, bottom row first, two pixels a byte (the left one in
// the high nibble), each row padded to 4 bytes.
template <size_t N>
void PutPixels(std::string& Out, const std::array<std::string_view, N>& Art) {
  for (size_t Y = N; Y-- > 0;) {
    std::string Row;
    for (size_t X = 0; X < N; X += 2) {
      int Hi = ColourIndex(Art[Y][X]);
      int Lo = X + 1 < N ? ColourIndex(Art[Y][X + 1]) : 0;
      Row += static_cast<char>((Hi << 4) | Lo);
    }
    PadTo4(Row);
    Out += Row;
  }
}

std::string PaletteBitmap(const TPaletteArt& Art) {
  std::string Out;
  PutInfoHeaderAndColours(Out, 24, 24, 24 * 12);
  PutPixels(Out, Art);
  return Out;
}

// --- Main icon (win1/win2) -----------------------------------------------------------

// A "K" and the arrow of a request on a blue tile; '.' is transparent here.
// clang-format off
constexpr std::array<std::string_view, 32> kIconArt = {
    "................................",
    "................................",
    "..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..",
    "..kbbbbbbbbbbbbbbbbbbbbbbbbbbk..",
    "..kbnnnnnnnnnnnnnnnnnnnnnnnnnk..",
    "..kbnnnnnnnnnnnnnnnnnnnnnnnnnk..",
    "..kbnnnnnnnnnnnnnnnnnnnnynnnnk..",
    "..kbnnnwwwnnnnnnnnwwnnnnyynnnk..",
    "..kbnnnwwwnnnnnnnwwwnyyyyyynnk..",
    "..kbnnnwwwnnnnnnwwwnnnnnyynnnk..",
    "..kbnnnwwwnnnnnwwwnnnnnnynnnnk..",
    "..kbnnnwwwnnnnwwwnnnnnnnnnnnnk..",
    "..kbnnnwwwnnnwwwnnnnnnnnnnnnnk..",
    "..kbnnnwwwnnwwwnnnnnnnnnnnnnnk..",
    "..kbnnnwwwnwwwnnnnnnnnnnnnnnnk..",
    "..kbnnnwwwwwwnnnnnnnnnnnnnnnnk..",
    "..kbnnnwwwwwnnnnnnnnnnnnnnnnnk..",
    "..kbnnnwwwwwwnnnnnnnnnnnnnnnnk..",
    "..kbnnnwwwnwwwnnnnnnnnnnnnnnnk..",
    "..kbnnnwwwnnwwwnnnnnnnnnnnnnnk..",
    "..kbnnnwwwnnnwwwnnnnnnnnnnnnnk..",
    "..kbnnnwwwnnnnwwwnnnnnnnnnnnnk..",
    "..kbnnnwwwnnnnnwwwnnnnnnnnnnnk..",
    "..kbnnnwwwnnnnnnwwwnnnnnnnnnnk..",
    "..kbnnnwwwnnnnnnnwwwnnnnnnnnnk..",
    "..kbnnnnnnnnnnnnnnwwnnnnnnnnnk..",
    "..kbnnnnnnnnnnnnnnnnnnnnnnnnnk..",
    "..kbnnnnnnnnnnnnnnnnnnnnnnnnnk..",
    "..kbnnnnnnnnnnnnnnnnnnnnnnnnnk..",
    "..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..",
    "................................",
    "................................",
};
// clang-format on

static_assert(IsDrawing(kIconArt));

// One icon image: info header (height doubled for the mask), colour table, the
// colour pixels (transparent ones black) and the 1-bit AND mask (1: transparent).
std::string IconImage() {
  constexpr int kSize = 32;
  constexpr uint32_t kXorBytes = kSize * kSize / 2;  // rows of 16 bytes
  constexpr uint32_t kAndBytes = kSize * 4;          // rows of 32 bits
  std::string Out;
  PutInfoHeaderAndColours(Out, kSize, 2 * kSize, kXorBytes + kAndBytes);
  std::array<std::string_view, kSize> Art = kIconArt;
  std::array<std::string, kSize> Opaque;
  for (int Y = 0; Y < kSize; ++Y) {
    Opaque[Y] = std::string(Art[Y]);
    for (char& C : Opaque[Y])
      if (C == '.') C = 'k';
  }
  std::array<std::string_view, kSize> Colours;
  for (int Y = 0; Y < kSize; ++Y) Colours[Y] = Opaque[Y];
  PutPixels(Out, Colours);
  for (int Y = kSize; Y-- > 0;) {
    for (int Byte = 0; Byte < kSize / 8; ++Byte) {
      uint8_t Bits = 0;
      for (int Bit = 0; Bit < 8; ++Bit)
        if (Art[Y][Byte * 8 + Bit] == '.') Bits |= static_cast<uint8_t>(0x80 >> Bit);
      PutU8(Out, Bits);
    }
  }
  return Out;
}

// The icon's directory: one 32 x 32 16-colour image, the ICON resource "1".
std::string IconGroup(uint32_t ImageBytes) {
  std::string Out;
  PutU16(Out, 0);  // reserved
  PutU16(Out, 1);  // type: icon
  PutU16(Out, 1);  // one image
  PutU8(Out, 32);  // width
  PutU8(Out, 32);  // height
  PutU8(Out, 16);  // colours
  PutU8(Out, 0);   // reserved
  PutU16(Out, 1);  // planes
  PutU16(Out, 4);  // bits per pixel
  PutU32(Out, ImageBytes);
  PutU16(Out, 1);  // the image's resource id
  return Out;
}

// --- Version block (win1/win2) ------------------------------------------------------

// One node of a version block: header (length, value length, type), key in
// UTF-16 with its zero, padding, value, padding, children each on a 4-byte
// boundary. The length covers the node and its children.
struct TVersionNode {
  std::string_view Key;
  std::string Value;         // the bytes
  uint16_t ValueLength = 0;  // bytes for binary values, UTF-16 units for text
  bool Text = false;
  std::vector<TVersionNode> Children;
};

std::string EncodeVersionNode(const TVersionNode& Node) {
  std::string Out;
  PutU16(Out, 0);  // length, set below
  PutU16(Out, Node.ValueLength);
  PutU16(Out, Node.Text ? 1 : 0);
  PutUtf16(Out, Node.Key, true);
  PadTo4(Out);
  Out += Node.Value;
  for (const TVersionNode& Child : Node.Children) {
    PadTo4(Out);
    Out += EncodeVersionNode(Child);
  }
  SetU16(Out, 0, static_cast<uint16_t>(Out.size()));
  return Out;
}

TVersionNode TextEntry(std::string_view Key, std::string_view Value) {
  TVersionNode Node{Key, {}, static_cast<uint16_t>(Value.size() + 1), true, {}};
  PutUtf16(Node.Value, Value, true);
  return Node;
}

std::string VersionBlock() {
  // Version 1.0.0.0: major and minor in the high word, release and build in the low.
  constexpr uint32_t kVersionMS = 0x00010000, kVersionLS = 0x00000000;
  std::string Fixed;
  PutU32(Fixed, 0xFEEF04BD);  // signature
  PutU32(Fixed, 0x00010000);  // structure version 1.0
  PutU32(Fixed, kVersionMS);  // file version
  PutU32(Fixed, kVersionLS);
  PutU32(Fixed, kVersionMS);  // product version
  PutU32(Fixed, kVersionLS);
  PutU32(Fixed, 0x3F);        // flags mask
  PutU32(Fixed, 0);           // flags
  PutU32(Fixed, 0x00000004);  // operating system: 32-bit Windows
  PutU32(Fixed, 0x00000002);  // file type: dynamic-link library
  PutU32(Fixed, 0);           // subtype
  PutU32(Fixed, 0);           // date
  PutU32(Fixed, 0);

  TVersionNode Strings{"040904E4", {}, 0, true, {}};
  for (std::string_view Key :
       {"CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
        "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments"}) {
    bool Versioned = Key == "FileVersion" || Key == "ProductVersion";
    Strings.Children.push_back(TextEntry(Key, Versioned ? "1.0.0.0" : ""));
  }
  std::string Translation;
  PutU16(Translation, 0x0409);  // US English
  PutU16(Translation, 1252);    // Windows Latin-1
  TVersionNode Root{"VS_VERSION_INFO", Fixed, static_cast<uint16_t>(Fixed.size()), false, {}};
  Root.Children.push_back({"StringFileInfo", {}, 0, true, {Strings}});
  Root.Children.push_back(
      {"VarFileInfo", {}, 0, true, {{"Translation", Translation, 4, false, {}}}});
  return EncodeVersionNode(Root);
}

}  // namespace

std::string PackageResourceName(const std::string& Name) {
  if (!kLowerCaseNames) return Name;
  std::string Out = Name;
  for (char& C : Out)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return Out;
}

std::string PaletteBitmapName(const std::string& ClassName) {
  std::string Upper = ClassName;
  for (char& C : Upper)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  return PackageResourceName(Upper);
}

std::string EncodePackageInfo(const TPackageInfo& Info) {
  std::string Out;
  PutU32(Out, 0);
  for (const auto* List : {&Info.Requires, &Info.Contains}) {
    PutU32(Out, static_cast<uint32_t>(List->size()));
    for (const std::string& Name : *List) {
      Out += Name;
      Out += '\0';
    }
  }
  return Out;
}

TPackageInfo DecodePackageInfo(const std::string& Data) {
  auto Malformed = [] { return Exception("Malformed package information"); };
  size_t Pos = 0;
  auto GetU32 = [&]() -> uint32_t {
    if (Data.size() - Pos < 4) throw Malformed();
    uint32_t V = 0;
    for (int I = 3; I >= 0; --I) V = (V << 8) | static_cast<unsigned char>(Data[Pos + I]);
    Pos += 4;
    return V;
  };
  auto GetNames = [&](std::vector<std::string>& Names) {
    uint32_t Count = GetU32();
    for (uint32_t I = 0; I < Count; ++I) {
      size_t End = Data.find('\0', Pos);
      if (End == std::string::npos) throw Malformed();
      Names.push_back(Data.substr(Pos, End - Pos));
      Pos = End + 1;
    }
  };
  TPackageInfo Info;
  GetU32();  // flags
  GetNames(Info.Requires);
  GetNames(Info.Contains);
  if (Pos != Data.size()) throw Malformed();
  return Info;
}

std::vector<TResource> PackageResources() {
  std::vector<TResource> Out;
  auto Add = [&](const char* Type, const std::string& Name, std::string Data) {
    Out.push_back({"", Type, Name, std::move(Data)});
  };
  Add(kResBitmap, PaletteBitmapName("TKivServer"), PaletteBitmap(kServerArt));
  Add(kResBitmap, PaletteBitmapName("TKivConnection"), PaletteBitmap(kConnectionArt));
  Add(kResBitmap, PaletteBitmapName("TKivClient"), PaletteBitmap(kClientArt));
  std::string Description;
  PutUtf16(Description, kPackageName, true);
  Add(kResRCData, PackageResourceName(kDescriptionResource), Description);
  // The host layer is part of this library, so the package needs no other.
  Add(kResRCData, PackageResourceName(kPackageInfoResource),
      EncodePackageInfo({{}, {kPackageName}}));
  if (kWindowsResources) {
    Add(kResVersion, kVersionResource, VersionBlock());
    std::string Image = IconImage();
    Add(kResGroupIcon, PackageResourceName(kMainIconResource),
        IconGroup(static_cast<uint32_t>(Image.size())));
    Add(kResIcon, kMainIconImageResource, Image);
  }
  return Out;
}

}  // namespace KivTrans2
