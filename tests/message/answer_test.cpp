#include "message/answer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/component.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"

namespace KivTrans2 {
namespace {

// A data line built by hand: the marker byte, then the text.
std::string Data(const std::string& Text) {
  return "\xD7" + Text;
}

using Lines = std::vector<std::string>;

template <class E>
std::string MessageOf(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const E& Error) {
    return Error.Message();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

class AnswerTest : public testing::Test {
 protected:
  AnswerTest() { Client.SetName("KivClient1"); }

  std::string ErrorOf(const std::function<void()>& Fn) { return MessageOf<EKivClientError>(Fn); }

  TOwnerComponent Client;
  TAnswer Answer{&Client};
};

TEST_F(AnswerTest, NewAnswer) {
  EXPECT_EQ(Answer.Cursor, 0);
  EXPECT_TRUE(Answer.Lines.empty());
  EXPECT_FALSE(Answer.LineArrived);
  EXPECT_EQ(Answer.Client, &Client);
  EXPECT_TRUE(Answer.IsEOF());
}

TEST_F(AnswerTest, EmptyAnswerErrorsComeFirst) {
  Lines List = {"kept"};
  for (int32_t Cursor : {0, 3}) {
    SCOPED_TRACE(Cursor);
    Answer.Cursor = Cursor;
    EXPECT_EQ(ErrorOf([&] { Answer.ReadLine(); }),
              "Could not run \"KivClient1.ReadLine\". Empty answer.");
    EXPECT_EQ(ErrorOf([&] { Answer.ReadStringList(List, true); }),
              "Could not run \"KivClient1.ReadStringList\". Empty answer.");
    EXPECT_EQ(ErrorOf([&] { Answer.ReadMultiLines(); }),
              "Could not run \"KivClient1.ReadStringList\". Empty answer.");
    EXPECT_EQ(Answer.Cursor, Cursor);
  }
  EXPECT_EQ(List, Lines{"kept"});
}

TEST_F(AnswerTest, ReadingPastTheEnd) {
  Answer.Lines = {Data("a")};
  EXPECT_EQ(Answer.ReadLine(), "a");
  EXPECT_TRUE(Answer.IsEOF());
  Lines List = {"kept"};
  EXPECT_EQ(ErrorOf([&] { Answer.ReadLine(); }),
            "Could not run \"KivClient1.ReadLine\". Answer has reached the end.");
  EXPECT_EQ(ErrorOf([&] { Answer.ReadStringList(List, true); }),
            "Could not run \"KivClient1.ReadStringList\". Answer has reached the end.");
  EXPECT_EQ(ErrorOf([&] { Answer.ReadMultiLines(); }),
            "Could not run \"KivClient1.ReadStringList\". Answer has reached the end.");
  EXPECT_EQ(Answer.Cursor, 1);
  EXPECT_EQ(List, Lines{"kept"});  // a failed read leaves the caller's list alone

  // A stale answer is still there to be read again.
  Answer.GoTopLine();
  EXPECT_EQ(Answer.ReadLine(), "a");
}

TEST_F(AnswerTest, ReadLineGivesTheTextOfEachEntry) {
  Answer.Lines = {Data("abc"), Data(""), "", "@cs-end", Data("\xD7x"), "@x"};
  const Lines Expected = {"abc", "", "", "@cs-end", "\xD7x", "@x"};
  for (const std::string& Text : Expected) EXPECT_EQ(Answer.ReadLine(), Text);
  EXPECT_TRUE(Answer.IsEOF());
}

TEST_F(AnswerTest, ReadMultiLines) {
  struct Case {
    const char* Name;
    Lines Entries;
    std::string Text;
    int32_t Cursor;
  };
  const Case Cases[] = {
      {"pair split across chunks",
       {Data("A\x01"),
        Data("\x02"
             "B"),
        "@cs-end", Data("z")},
       "A\r\nB",
       3},
      {"blanks trimmed", {Data("  x"), Data(""), "@cs-end"}, "x", 3},
      {"closing line only", {"@cs-end"}, "", 1},
      {"open block", {Data("a"), Data("b")}, "ab", 2},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Answer.Lines = C.Entries;
    Answer.GoTopLine();
    EXPECT_EQ(Answer.ReadMultiLines(), C.Text);
    EXPECT_EQ(Answer.Cursor, C.Cursor);
  }
}

TEST_F(AnswerTest, ReadMultiLinesReadsWhatTheWriterEncoded) {
  const std::string Text = "first line\r\nsecond line\r\n\r\nlast";
  for (int32_t N : {1, 3, 7, 100}) {
    Answer.Lines.clear();
    for (const std::string& Chunk : EncodeMultiLines(Text, N))
      Answer.Lines.push_back(MakeDataLine(Chunk));
    Answer.Lines.push_back(kCsEndLine);
    Answer.GoTopLine();
    EXPECT_EQ(Answer.ReadMultiLines(), Text) << N;
    EXPECT_TRUE(Answer.IsEOF());
  }
}

TEST_F(AnswerTest, ReadMultiLinesRejectsNonDataEntries) {
  struct Case {
    Lines Entries;
    std::string Message;
    int32_t Cursor;
  };
  const Case Cases[] = {
      {{"@x", "@cs-end"}, "Invalid line in ReadMultiLines: @x", 1},
      {{Data("a"), "", "@cs-end"}, "Invalid line in ReadMultiLines: ", 2},
      // An open block whose last entry is not data.
      {{Data("a"), "@x"}, "Invalid line in ReadMultiLines: @x", 2},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Message);
    Answer.Lines = C.Entries;
    Answer.GoTopLine();
    EXPECT_EQ(ErrorOf([&] { Answer.ReadMultiLines(); }), C.Message);
    EXPECT_EQ(Answer.Cursor, C.Cursor);
  }

  // A retry goes on behind the offending entry.
  Answer.Lines = {"@x", Data("y"), "@cs-end"};
  Answer.GoTopLine();
  EXPECT_THROW(Answer.ReadMultiLines(), EKivClientError);
  EXPECT_EQ(Answer.ReadMultiLines(), "y");
}

TEST_F(AnswerTest, ReadStringList) {
  struct Case {
    const char* Name;
    Lines Entries;
    Lines List;
    int32_t Cursor;
  };
  const Case Cases[] = {
      {"block then more", {Data("a"), Data(""), "", "@cs-end", Data("z")}, {"a", "", ""}, 4},
      {"closing line only", {"@cs-end", Data("z")}, {}, 1},
      // A server's own control line in an answer file is kept whole.
      {"foreign control line", {"@x", "@cs-end"}, {"@x"}, 2},
      {"open block", {Data("a"), "@x"}, {"a", "@x"}, 2},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Answer.Lines = C.Entries;
    Answer.GoTopLine();
    Lines Replaced = {"old"};
    Answer.ReadStringList(Replaced, true);
    EXPECT_EQ(Replaced, C.List);
    EXPECT_EQ(Answer.Cursor, C.Cursor);

    Answer.GoTopLine();
    Lines Appended = {"old"};
    Answer.ReadStringList(Appended, false);
    Lines Expected = {"old"};
    Expected.insert(Expected.end(), C.List.begin(), C.List.end());
    EXPECT_EQ(Appended, Expected);
  }
}

TEST_F(AnswerTest, CopyToListCopiesFromTheCursor) {
  Answer.Lines = {Data("a"), Data("b"), Data("c"), "@cs-end", "@x", ""};
  Answer.ReadLine();
  Answer.ReadLine();
  Lines List = {"old"};
  Answer.CopyToList(List);
  EXPECT_EQ(List, (Lines{"c", "@cs-end", "@x", ""}));
  EXPECT_TRUE(Answer.IsEOF());

  Answer.CopyToList(List);  // at the end: nothing left
  EXPECT_TRUE(List.empty());

  Answer.Lines.clear();
  Answer.GoTopLine();
  List = {"old"};
  Answer.CopyToList(List);  // an empty answer raises nothing
  EXPECT_TRUE(List.empty());
}

}  // namespace
}  // namespace KivTrans2
