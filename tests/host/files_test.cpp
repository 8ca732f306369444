#include "host/files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/exceptions.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

using Testing::TTempDir;
using Lines = std::vector<std::string>;

TEST(SplitTextLinesTest, AcceptsEveryLineBreak) {
  struct {
    std::string Text;
    Lines Expected;
  } Cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},                     // a break at the end adds no line
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\rb\nc", {"a", "b", "c"}},        // lone CR, LF, last line without break
      {"a\n\nb", {"a", "", "b"}},          // an empty line in the middle stays
      {"\n", {""}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\n\r", {"a", ""}},                // LF then a lone CR: two breaks
  };
  for (const auto& C : Cases) EXPECT_EQ(SplitTextLines(C.Text), C.Expected) << C.Text;
}

TEST(TextFileTest, WritesTheBuildsLineBreakAndReadsItBack) {
  TTempDir Dir;
  TTextFileWriter W(Dir.File("a.txt"));
  W.WriteLn("one");
  W.WriteLn("");
  W.WriteLn("three");
  W.Close();
  EXPECT_EQ(Dir.Read("a.txt"), std::string("one") + kLineBreak + kLineBreak + "three" + kLineBreak);
  EXPECT_EQ(LoadTextLines(Dir.File("a.txt")), (Lines{"one", "", "three"}));
#if defined(KIVTRANS2_VARIANT_lnx)
  EXPECT_STREQ(kLineBreak, "\n");
#else
  EXPECT_STREQ(kLineBreak, "\r\n");
#endif
}

TEST(TextFileTest, CreateTruncatesAndExclusiveRefusesAnExistingFile) {
  TTempDir Dir;
  Dir.Write("a.txt", "old content\n");
  { TTextFileWriter W(Dir.File("a.txt")); }
  EXPECT_EQ(Dir.Read("a.txt"), "");
  EXPECT_THROW(TTextFileWriter(Dir.File("a.txt"), true), EInOutError);
  TTextFileWriter Fresh(Dir.File("b.txt"), true);
  EXPECT_TRUE(Fresh.IsOpen());
}

TEST(TextFileTest, FailuresRaiseInOutError) {
  TTempDir Dir;
  EXPECT_THROW(LoadTextLines(Dir.File("missing")), EInOutError);
  EXPECT_THROW(TTextFileWriter(Dir.File("no/such/dir/x")), EInOutError);
  EXPECT_THROW(LoadTextLines(Dir.Path()), EInOutError);  // a directory
}

TEST(FileSystemTest, FindFilesMatchesMasksCaseSensitively) {
  TTempDir Dir;
  for (const char* N : {"A1.REQ", "B2.REQ", "c3.req", "D4.RE1", "E.x.REQ"}) Dir.Write(N, "");
  auto Names = FindFiles(Dir.Path(), "*.REQ");
  std::sort(Names.begin(), Names.end());
  EXPECT_EQ(Names, (Lines{"A1.REQ", "B2.REQ", "E.x.REQ"}));
  EXPECT_TRUE(FindFiles(Dir.File("missing"), "*").empty());
  EXPECT_TRUE(MatchesMask("KivServer.net", "*.net"));
  EXPECT_FALSE(MatchesMask("KivServer.net", "*.NET"));
}

TEST(FileSystemTest, RenameDeleteAndExists) {
  TTempDir Dir;
  Dir.Write("a", "1");
  Dir.Write("b", "2");
  EXPECT_TRUE(FileExists(Dir.File("a")));
  EXPECT_FALSE(FileExists(Dir.Path()));
  EXPECT_TRUE(DirectoryExists(Dir.Path()));
  EXPECT_FALSE(RenameFileNoReplace(Dir.File("a"), Dir.File("b")));
  EXPECT_EQ(Dir.Read("b"), "2");
  EXPECT_TRUE(RenameFileNoReplace(Dir.File("a"), Dir.File("c")));
  EXPECT_FALSE(FileExists(Dir.File("a")));
  EXPECT_EQ(Dir.Read("c"), "1");
  EXPECT_TRUE(RenameFile(Dir.File("c"), Dir.File("b")));  // replaces
  EXPECT_EQ(Dir.Read("b"), "1");
  EXPECT_EQ(FileSize(Dir.File("b")), 1);
  EXPECT_TRUE(DeleteFile(Dir.File("b")));
  EXPECT_FALSE(DeleteFile(Dir.File("b")));
  EXPECT_EQ(FileSize(Dir.File("b")), -1);
}

}  // namespace
}  // namespace KivTrans2
