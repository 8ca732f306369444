#include "message/line_codec.h"

#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <string>
#include <vector>

#include "message/kiv_errors.h"

namespace KivTrans2 {
namespace {

// A data line built by hand: the marker byte, then the text.
std::string Data(const std::string& Text) {
  return "\xD7" + Text;
}

using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(LineCodecTest, DataLinesCarryTheMarkerAndReadBackUnchanged) {
  struct Case {
    std::string Text;
    std::string Line;           // server, and client in FS mode
    std::string ClientTcpLine;  // client in TCP mode
  };
  const Case Cases[] = {
      {"abc", Data("abc"), Data("abc")},
      {"", "\xD7", "@emptystring"},
      {"\xD7x", "\xD7\xD7x", "\xD7\xD7x"},  // a text that starts with the marker
      {"@emptystring", "\xD7@emptystring", "\xD7@emptystring"},
      {"@end", "\xD7@end", "\xD7@end"},
      {"@cs-end", "\xD7@cs-end", "\xD7@cs-end"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(MakeDataLine(C.Text), C.Line);
    EXPECT_EQ(MakeClientTcpDataLine(C.Text), C.ClientTcpLine);
    EXPECT_TRUE(IsDataLine(C.Line));
    EXPECT_EQ(EntryText(C.Line), C.Text);
    // A keyword as data text is an ordinary data line to both readers.
    EXPECT_EQ(ClassifyServerLine(C.Line), TServerLineKind::Data);
    EXPECT_EQ(ClassifyClientLine(C.Line), TClientLineKind::Data);
  }
}

TEST(LineCodecTest, EntryTextLeavesNonDataEntriesUnchanged) {
  for (const std::string Entry : {"", "@cs-end", "@x", "plain"}) {
    EXPECT_FALSE(IsDataLine(Entry)) << Entry;
    EXPECT_EQ(EntryText(Entry), Entry);
  }
}

TEST(LineCodecTest, HeaderLines) {
  EXPECT_EQ(MakeCodLine(17), "@cod 17");
  EXPECT_EQ(MakeCodLine(0), "@cod 0");
  EXPECT_EQ(MakeCodLine(-5), "@cod -5");
  EXPECT_EQ(MakePriorLine(1), "@prior1");
  EXPECT_EQ(MakePriorLine(12), "@prior12");
  for (int32_t Code : {0, 17, -5, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(ParseCode(MakeCodLine(Code)), Code);
  }
  // Only one character of the priority travels.
  EXPECT_EQ(ParsePriorityChar(MakePriorLine(12)), 1);
  EXPECT_EQ(ParsePriorityChar(MakePriorLine(-1)), std::nullopt);
}

TEST(LineCodecTest, ParsePriorityChar) {
  const std::pair<std::string, std::optional<int>> Cases[] = {
      {"@prior0", 0},
      {"@prior1", 1},
      {"@prior9", 9},
      {"@prior12", 1},
      {"@prior", std::nullopt},
      {"@prior-1", std::nullopt},
      {"@priorx", std::nullopt},
      {"@prior 1", std::nullopt},
      {"", std::nullopt},
      {"abcdef3", 3},  // the first six characters are not examined
      {"@prior\xD7", std::nullopt},
  };
  for (const auto& [Line, Expected] : Cases) EXPECT_EQ(ParsePriorityChar(Line), Expected) << Line;
}

TEST(LineCodecTest, ParseCode) {
  const std::pair<std::string, std::optional<int32_t>> Cases[] = {
      {"@cod 17", 17},
      {"@cod 0", 0},
      {"@cod120", 20},  // the fifth character is skipped whatever it is
      {"@cod -5", -5},
      {"@cod +5", 5},
      {"@cod 2147483647", INT32_MAX},
      {"@cod -2147483648", INT32_MIN},
      {"@cod 2147483648", std::nullopt},
      {"@cod 99999999999999999999", std::nullopt},
      {"@cod ", std::nullopt},
      {"@cod", std::nullopt},
      {"", std::nullopt},
      {"@cod x", std::nullopt},
      {"@cod 1 ", std::nullopt},
      {"@cod  5", std::nullopt},
      {"@cod -", std::nullopt},
  };
  for (const auto& [Line, Expected] : Cases) EXPECT_EQ(ParseCode(Line), Expected) << Line;
}

TEST(LineCodecTest, ClassifyServerLineFollowsRuleOrder) {
  using K = TServerLineKind;
  const std::pair<std::string, K> Cases[] = {
      {"", K::Empty},
      {"\xD7", K::Data},
      {Data("abc"), K::Data},
      {"@prior1", K::Prior},
      {"@prior", K::Prior},  // matched, its value then fails to convert
      {"@priority", K::Prior},
      {"@end", K::End},
      {"@request", K::Request},
      {"@cod 5", K::Cod},
      {"@cod", K::Cod},
      {"@code", K::Cod},
      {"@emptystring", K::EmptyString},
      {"@cs-end", K::CsEnd},
      {"@end ", K::Other},
      {"@requests", K::Other},
      {"@cs-end ", K::Other},
      {"@answer", K::Other},
      {"@PRIOR1", K::Other},  // keywords are case-sensitive
      {"@co", K::Other},
      {"abc", K::Other},
      {"\r", K::Other},
  };
  for (const auto& [Line, Expected] : Cases) EXPECT_EQ(ClassifyServerLine(Line), Expected) << Line;
}

TEST(LineCodecTest, ClassifyClientLineFollowsRuleOrder) {
  using K = TClientLineKind;
  const std::pair<std::string, K> Cases[] = {
      {"\xD7", K::Data},      {"\xD7@end", K::Data}, {"@answer", K::Answer},
      {"@cod 3", K::Cod},     {"@cod", K::Cod},      {"@end", K::End},
      {"@cs-end", K::CsEnd},  {"", K::Other},        {"@emptystring", K::Other},
      {"@request", K::Other}, {"@prior1", K::Other}, {"@answer ", K::Other},
      {"@End", K::Other},
  };
  for (const auto& [Line, Expected] : Cases) EXPECT_EQ(ClassifyClientLine(Line), Expected) << Line;
}

TEST(LineCodecTest, EncodeMultiLinesChunks) {
  struct Case {
    std::string Text;
    int32_t ChunkLength;
    Lines Chunks;
  };
  const Case Cases[] = {
      {"", 4, {""}},
      {"0123456789", 4, {"0123", "4567", "89"}},
      {"0123456789", 5, {"01234", "56789", ""}},
      {"0123456789", 10, {"0123456789", ""}},
      {"0123456789", 11, {"0123456789"}},
      {"ab", 1, {"a", "b", ""}},
      {"A\r\nB",
       10,
       {"A\x01\x02"
        "B"}},
      {"A\r\nB",
       2,
       {"A\x01",
        "\x02"
        "B",
        ""}},                        // the pair split across chunks
      {"a\rb\nc", 10, {"a\rb\nc"}},  // lone CR and LF stay
      {"\r\r\n\n", 10, {"\r\x01\x02\n"}},
      {"\r\n\r\n", 10, {"\x01\x02\x01\x02"}},
      {"x", INT32_MAX, {"x"}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text + " / " + std::to_string(C.ChunkLength));
    EXPECT_EQ(EncodeMultiLines(C.Text, C.ChunkLength), C.Chunks);
  }
}

TEST(LineCodecTest, EncodeMultiLinesRejectsChunkLengthBelowOne) {
  const std::pair<int32_t, std::string> Cases[] = {
      {0, "Invalid chunk length in WriteMultiLines: 0"},
      {-3, "Invalid chunk length in WriteMultiLines: -3"},
  };
  for (const auto& [Length, Message] : Cases) {
    try {
      EncodeMultiLines("abc", Length);
      ADD_FAILURE() << "no exception for " << Length;
    } catch (const EKivClientError& E) {
      EXPECT_EQ(E.Message(), Message);
    }
  }
}

TEST(LineCodecTest, DecodeMultiLines) {
  const std::pair<std::string, std::string> Cases[] = {
      {"A\x01\x02"
       "B",
       "A\r\nB"},
      {"  x", "x"},
      {"\x01\x02x\x01\x02", "x"},  // outer line breaks do not survive
      {" \t\x00x y\x1F \x20"s, "x y"},
      {"", ""},
      {"\x01\x02", ""},
      {"a\x02\x01"
       "b",
       "a\x02\x01"
       "b"},
      {"a\x01\x01\x02"
       "b",
       "a\x01\r\nb"},
      {"\xD7\xFF", "\xD7\xFF"},  // high bytes are text, not blanks
  };
  for (const auto& [Joined, Text] : Cases) EXPECT_EQ(DecodeMultiLines(Joined), Text);
}

TEST(LineCodecTest, MultiLineTextSurvivesTheTripForEveryChunkLength) {
  const std::string Texts[] = {"A\r\nB", "line one\r\nline two\r\n\r\nthree", "\xD7\r\n\xD7",
                               "  padded\r\n  ", "x"};
  for (const std::string& Text : Texts) {
    for (int32_t N = 1; N <= 12; ++N) {
      std::string Joined;
      for (const std::string& Chunk : EncodeMultiLines(Text, N)) {
        EXPECT_LE(Chunk.size(), static_cast<size_t>(N));
        Joined += Chunk;
      }
      EXPECT_EQ(DecodeMultiLines(Joined), Trim(Text)) << Text << " / " << N;
    }
  }
}

// Hands out fixed draws and records the bounds asked for.
struct TFixedDraws {
  std::deque<int> Draws;
  std::vector<int> Bounds;
  TRandomFn Fn() {
    return [this](int N) {
      Bounds.push_back(N);
      int Draw = Draws.front();
      Draws.pop_front();
      return Draw;
    };
  }
};

TEST(LineCodecTest, MakeRequestName) {
  struct Case {
    int A, B, Letter;
    std::string Extension;
    std::string Name;
  };
  const Case Cases[] = {
      {5, 12, 0, "", "A0000125"},        {5678, 1234, 25, "", "Z1234567"},
      {5, 12, 0, "RE1", "A0000125.RE1"}, {0, 0, 3, "REQ", "D0000000.REQ"},
      {9999, 9999, 1, "", "B9999999"},   {12, 3456, 2, "", "C0345612"},
      {5, 12, 0, "   ", "A0000125"},  // a blank extension is no extension
      {5, 12, 0, "\t", "A0000125"},      {5, 12, 0, " x", "A0000125. x"},
  };
  for (const Case& C : Cases) {
    TFixedDraws Draws{{C.A, C.B, C.Letter}, {}};
    EXPECT_EQ(MakeRequestName(Draws.Fn(), C.Extension), C.Name);
    EXPECT_EQ(Draws.Bounds, (std::vector<int>{10000, 10000, 26}));
  }
}

TEST(LineCodecTest, LineBreakCheck) {
  struct Case {
    std::string Text;
    bool UseTCP;
    bool Breaks;
  };
  const Case Cases[] = {
      {"", true, false},      {"abc", false, false},      {"a\nb", true, true},
      {"a\nb", false, true},  {"a\rb", true, false},  // TCP drops only a CR before LF
      {"a\rb", false, true},  {"abc\r", true, false},     {"abc\r", false, true},
      {"a\r\nb", true, true}, {"\x01\x02", false, false},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(ContainsLineBreak(C.Text, C.UseTCP), C.Breaks) << C.Text << " tcp=" << C.UseTCP;
  EXPECT_EQ(LineBreakMessage("WriteLine"), "Line break in text passed to WriteLine");
}

}  // namespace
}  // namespace KivTrans2
