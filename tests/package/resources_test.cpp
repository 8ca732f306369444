#include "package/resources.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "host/exceptions.h"
#include "host/resources.h"
#include "package/package.h"

namespace KivTrans2 {
namespace {

#if defined(KIVTRANS2_VARIANT_lnx)
constexpr bool kWindowsBehaviour = false;
#else
constexpr bool kWindowsBehaviour = true;
#endif

uint32_t U16(const std::string& D, size_t At) {
  return static_cast<unsigned char>(D.at(At)) | static_cast<unsigned char>(D.at(At + 1)) << 8;
}
uint32_t U32(const std::string& D, size_t At) {
  return U16(D, At) | U16(D, At + 2) << 16;
}

std::string Utf16(const std::string& Text) {
  std::string Out;
  for (char C : Text) Out += {C, '\0'};
  return Out;
}

// Checks a 4-bit uncompressed bitmap's info header and colour table (Height as
// the header holds it) and returns the colour indexes of its Width x Rows
// pixels, top row first.
std::vector<std::string> CheckDib(const std::string& Dib, uint32_t Width, uint32_t Height,
                                  uint32_t ImageSize, uint32_t Rows) {
  std::vector<std::string> Pixels;
  EXPECT_GE(Dib.size(), 104u);
  if (Dib.size() < 104) return Pixels;
  EXPECT_EQ(U32(Dib, 0), 40u);         // biSize
  EXPECT_EQ(U32(Dib, 4), Width);       // biWidth
  EXPECT_EQ(U32(Dib, 8), Height);      // biHeight, positive: bottom-up
  EXPECT_EQ(U16(Dib, 12), 1u);         // biPlanes
  EXPECT_EQ(U16(Dib, 14), 4u);         // biBitCount
  EXPECT_EQ(U32(Dib, 16), 0u);         // biCompression: BI_RGB
  EXPECT_EQ(U32(Dib, 20), ImageSize);  // biSizeImage
  EXPECT_EQ(U32(Dib, 32), 16u);        // biClrUsed
  EXPECT_EQ(U32(Dib, 36), 0u);         // biClrImportant
  std::set<uint32_t> Colours;
  for (size_t I = 0; I < 16; ++I) {
    EXPECT_EQ(Dib[40 + I * 4 + 3], '\0') << "reserved byte of colour " << I;
    Colours.insert(U32(Dib, 40 + I * 4));
  }
  EXPECT_EQ(Colours.size(), 16u) << "16 distinct colours";
  const size_t RowBytes = (Width / 2 + 3) / 4 * 4;
  EXPECT_GE(Dib.size(), 104 + RowBytes * Rows);
  if (Dib.size() < 104 + RowBytes * Rows) return Pixels;
  for (uint32_t R = Rows; R-- > 0;) {
    std::string Row;
    for (uint32_t X = 0; X < Width; ++X) {
      unsigned char B = static_cast<unsigned char>(Dib[104 + R * RowBytes + X / 2]);
      Row += static_cast<char>(X % 2 ? B & 0xF : B >> 4);
    }
    Pixels.push_back(Row);
  }
  return Pixels;
}

TEST(PackageResourcesTest, PaletteBitmapsAre24By24SixteenColourBitmapsOf392Bytes) {
  const std::map<std::string, std::string> kNames =
      kWindowsBehaviour ? std::map<std::string, std::string>{{"TKivServer", "TKIVSERVER"},
                                                             {"TKivConnection", "TKIVCONNECTION"},
                                                             {"TKivClient", "TKIVCLIENT"}}
                        : std::map<std::string, std::string>{{"TKivServer", "tkivserver"},
                                                             {"TKivConnection", "tkivconnection"},
                                                             {"TKivClient", "tkivclient"}};
  std::set<std::string> Images;
  for (const auto& [ClassName, Name] : kNames) {
    SCOPED_TRACE(ClassName);
    EXPECT_EQ(PaletteBitmapName(ClassName), Name);
    auto Found = LookupResource(kResBitmap, Name);
    ASSERT_TRUE(Found);
    EXPECT_EQ(Found->Module, "KivTrans2");
    ASSERT_EQ(Found->Data.size(), 392u);
    std::vector<std::string> Pixels = CheckDib(Found->Data, 24, 24, 288, 24);
    ASSERT_EQ(Pixels.size(), 24u);
    // A drawing on a background: the bottom-left pixel's colour (the one the
    // palette shows as transparent) frames it, and it uses several colours.
    const char Background = Pixels[23][0];
    std::set<char> Used;
    for (const std::string& Row : Pixels) Used.insert(Row.begin(), Row.end());
    EXPECT_GE(Used.size(), 4u);
    EXPECT_EQ(Pixels[0], std::string(24, Background));
    EXPECT_EQ(Pixels[23], std::string(24, Background));
    Images.insert(Found->Data);
  }
  EXPECT_EQ(Images.size(), 3u) << "each component has its own picture";
}

TEST(PackageResourcesTest, DescriptionAndPackageInformation) {
  auto Description = LookupResource(kResRCData, kWindowsBehaviour ? "DESCRIPTION" : "description");
  ASSERT_TRUE(Description);
  EXPECT_EQ(Description->Data, Utf16("KivTrans2") + std::string(2, '\0'));

  auto Info = LookupResource(kResRCData, kWindowsBehaviour ? "PACKAGEINFO" : "packageinfo");
  ASSERT_TRUE(Info);
  TPackageInfo Decoded = DecodePackageInfo(Info->Data);
  EXPECT_TRUE(Decoded.Requires.empty());
  EXPECT_EQ(Decoded.Contains, std::vector<std::string>{"KivTrans2"});
  // The names of the other build are not there.
  EXPECT_FALSE(LookupResource(kResRCData, kWindowsBehaviour ? "packageinfo" : "PACKAGEINFO"));
}

TEST(PackageResourcesTest, PackageInformationRoundTripsAndRejectsDamage) {
  TPackageInfo Info{{"rtl", "vcl"}, {"KivTrans2", "Other"}};
  std::string Data = EncodePackageInfo(Info);
  EXPECT_EQ(Data, std::string("\0\0\0\0\2\0\0\0rtl\0vcl\0\2\0\0\0KivTrans2\0Other\0", 36));
  TPackageInfo Back = DecodePackageInfo(Data);
  EXPECT_EQ(Back.Requires, Info.Requires);
  EXPECT_EQ(Back.Contains, Info.Contains);
  const std::string kDamaged[] = {
      "",                                          // nothing
      Data.substr(0, Data.size() - 1),             // last name without its zero
      Data.substr(0, 6),                           // cut inside a count
      Data.substr(0, 10),                          // cut inside a name
      Data + "x",                                  // trailing bytes
      std::string("\0\0\0\0\xff\xff\xff\x7f", 8),  // a count far beyond the data
  };
  for (const std::string& D : kDamaged) EXPECT_THROW(DecodePackageInfo(D), Exception) << D.size();
}

// One node of a version information block.
struct TVersionNode {
  std::string Key;
  uint32_t Type = 0;
  std::string Value;
  std::vector<TVersionNode> Children;
};

TVersionNode ParseVersionNode(const std::string& D, size_t Pos) {
  TVersionNode Node;
  const size_t End = Pos + U16(D, Pos);
  const uint32_t ValueLength = U16(D, Pos + 2);
  Node.Type = U16(D, Pos + 4);
  size_t P = Pos + 6;
  for (; U16(D, P) != 0; P += 2) Node.Key += static_cast<char>(U16(D, P));
  P = (P + 2 + 3) / 4 * 4;
  const size_t ValueBytes = Node.Type == 1 ? ValueLength * 2 : ValueLength;
  Node.Value = D.substr(P, ValueBytes);
  P = (P + ValueBytes + 3) / 4 * 4;
  while (P < End) {
    Node.Children.push_back(ParseVersionNode(D, P));
    P = (P + U16(D, P) + 3) / 4 * 4;
  }
  EXPECT_LE(End, D.size());
  return Node;
}

TEST(PackageResourcesTest, VersionBlockAndMainIconBelongToTheWindowsBehaviour) {
  auto Version = LookupResource(kResVersion, "1");
  auto Group = LookupResource(kResGroupIcon, "MAINICON");
  auto Image = LookupResource(kResIcon, "1");
  if (!kWindowsBehaviour) {
    EXPECT_FALSE(Version);
    EXPECT_FALSE(Group);
    EXPECT_FALSE(LookupResource(kResGroupIcon, "mainicon"));
    EXPECT_FALSE(Image);
    return;
  }
  ASSERT_TRUE(Version && Group && Image);

  const std::string& V = Version->Data;
  EXPECT_EQ(U16(V, 0), V.size());
  TVersionNode Root = ParseVersionNode(V, 0);
  EXPECT_EQ(Root.Key, "VS_VERSION_INFO");
  ASSERT_EQ(Root.Value.size(), 52u);
  EXPECT_EQ(U32(Root.Value, 0), 0xFEEF04BDu);   // signature
  EXPECT_EQ(U32(Root.Value, 8), 0x00010000u);   // file version 1.0
  EXPECT_EQ(U32(Root.Value, 12), 0u);           // .0.0
  EXPECT_EQ(U32(Root.Value, 16), 0x00010000u);  // product version 1.0
  EXPECT_EQ(U32(Root.Value, 20), 0u);           // .0.0
  ASSERT_EQ(Root.Children.size(), 2u);
  const TVersionNode& StringInfo = Root.Children[0];
  EXPECT_EQ(StringInfo.Key, "StringFileInfo");
  ASSERT_EQ(StringInfo.Children.size(), 1u);
  std::map<std::string, std::string> Strings;
  for (const TVersionNode& S : StringInfo.Children[0].Children) {
    std::string Text;
    for (size_t I = 0; I + 1 < S.Value.size() && U16(S.Value, I) != 0; I += 2)
      Text += static_cast<char>(U16(S.Value, I));
    Strings[S.Key] = Text;
  }
  EXPECT_EQ(Strings["FileVersion"], "1.0.0.0");
  EXPECT_EQ(Strings["ProductVersion"], "1.0.0.0");
  EXPECT_GE(Strings.size(), 8u);
  for (const auto& [Key, Text] : Strings)
    if (Key != "FileVersion" && Key != "ProductVersion") {
      EXPECT_EQ(Text, "") << Key;
    }
  const TVersionNode& VarInfo = Root.Children[1];
  EXPECT_EQ(VarInfo.Key, "VarFileInfo");
  ASSERT_EQ(VarInfo.Children.size(), 1u);
  EXPECT_EQ(VarInfo.Children[0].Key, "Translation");
  EXPECT_EQ(VarInfo.Children[0].Value.size(), 4u);

  // The icon: a directory with one 32 x 32 16-colour image, and that image.
  const std::string& G = Group->Data;
  ASSERT_EQ(G.size(), 20u);
  EXPECT_EQ(U16(G, 0), 0u);
  EXPECT_EQ(U16(G, 2), 1u);  // icon
  EXPECT_EQ(U16(G, 4), 1u);  // one image
  EXPECT_EQ(static_cast<unsigned char>(G[6]), 32);
  EXPECT_EQ(static_cast<unsigned char>(G[7]), 32);
  EXPECT_EQ(static_cast<unsigned char>(G[8]), 16);
  EXPECT_EQ(U16(G, 12), 4u);  // bits per pixel
  EXPECT_EQ(U32(G, 14), Image->Data.size());
  EXPECT_EQ(U16(G, 18), 1u);  // the image's name
  ASSERT_EQ(Image->Data.size(), 40u + 64u + 512u + 128u);
  std::vector<std::string> Pixels = CheckDib(Image->Data, 32, 64, 640, 32);
  ASSERT_EQ(Pixels.size(), 32u);
  // The AND mask marks the transparent corners and keeps the tile's middle.
  const std::string& D = Image->Data;
  const size_t Mask = 104 + 512;
  EXPECT_EQ(static_cast<unsigned char>(D[Mask]) & 0x80, 0x80);            // bottom-left
  EXPECT_EQ(static_cast<unsigned char>(D[Mask + 16 * 4 + 1]) & 0x80, 0);  // inside
}

TEST(ResourceRegistryTest, ModulesRegisterAndWithdrawTheirOwn) {
  RegisterResources("Other",
                    {{"", kResRCData, "DATA", "one"}, {"", kResBitmap, "tkivclient", "x"}});
  auto Data = LookupResource(kResRCData, "DATA");
  ASSERT_TRUE(Data);
  EXPECT_EQ(Data->Module, "Other");
  EXPECT_EQ(Data->Data, "one");
  EXPECT_FALSE(LookupResource(kResBitmap, "DATA")) << "the type is part of the key";
  // The earlier module wins a name both carry.
  auto Bitmap = LookupResource(kResBitmap, PaletteBitmapName("TKivClient"));
  ASSERT_TRUE(Bitmap);
  EXPECT_EQ(Bitmap->Module, "KivTrans2");
  // Registering again replaces the module's resources.
  RegisterResources("Other", {{"", kResRCData, "DATA", "two"}});
  EXPECT_EQ(LookupResource(kResRCData, "DATA")->Data, "two");
  const size_t Before = ListResources().size();
  UnRegisterResources("Other");
  EXPECT_FALSE(LookupResource(kResRCData, "DATA"));
  EXPECT_EQ(ListResources().size(), Before - 1);
  EXPECT_TRUE(LookupResource(kResBitmap, PaletteBitmapName("TKivClient")));
}

}  // namespace
}  // namespace KivTrans2
