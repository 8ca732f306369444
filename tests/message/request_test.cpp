#include "message/request.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/exceptions.h"
#include "host/files.h"
#include "message/kiv_errors.h"
#include "support/temp_dir.h"

namespace KivTrans2 {
namespace {

// A data line built by hand: the marker byte, then the text.
std::string Data(const std::string& Text) {
  return "\xD7" + Text;
}

using Lines = std::vector<std::string>;

class TFakeServer : public TRequestOwner {
 public:
  bool UseTCP = true;
  bool GetUseTCP() const override { return UseTCP; }
};

// Records the lines written to it; can be told to fail like a broken connection.
class TRecordingSink : public TLineSink {
 public:
  Lines Written;
  bool Broken = false;
  void WriteLine(const std::string& Line) override {
    if (Broken) throw EInOutError("connection reset");
    Written.push_back(Line);
  }
};

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

class RequestTest : public testing::Test {
 protected:
  RequestTest() { Request.Peer = Sink; }

  // Switches the request to FS mode with a fresh answer file.
  void OpenAnswerFile() {
    Server.UseTCP = false;
    FileName = Dir.File("A0000125.AN1");
    Request.AnswerFile = std::make_unique<TTextFileWriter>(FileName);
  }

  Lines CloseAnswerFile() {
    Request.AnswerFile->Close();
    return LoadTextLines(FileName);
  }

  TFakeServer Server;
  std::shared_ptr<TRecordingSink> Sink = std::make_shared<TRecordingSink>();
  TRequest Request{&Server};
  Testing::TTempDir Dir;
  std::string FileName;
};

TEST_F(RequestTest, NewRequestIsEmpty) {
  EXPECT_EQ(Request.Priority, 1);
  EXPECT_EQ(Request.Code, 0);
  EXPECT_EQ(Request.Cursor, 0);
  EXPECT_TRUE(Request.IsEOF());
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Request.ReadLine(); }),
            "ReadLine error. Request has reached the end");
  EXPECT_EQ(Request.Cursor, 0);
}

TEST_F(RequestTest, ReadLineGivesTheTextOfEachEntry) {
  Request.Lines = {Data("abc"), "", Data(""), "@cs-end", Data("\xD7x"), Data("@end"), "@x"};
  const Lines Expected = {"abc", "", "", "@cs-end", "\xD7x", "@end", "@x"};
  for (const std::string& Text : Expected) {
    ASSERT_FALSE(Request.IsEOF());
    EXPECT_EQ(Request.ReadLine(), Text);
  }
  EXPECT_TRUE(Request.IsEOF());
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Request.ReadLine(); }),
            "ReadLine error. Request has reached the end");
  EXPECT_EQ(Request.Cursor, 7);

  Request.GoTopLine();
  EXPECT_EQ(Request.Cursor, 0);
  EXPECT_EQ(Request.ReadLine(), "abc");
}

TEST_F(RequestTest, ReadStringListStopsBehindTheClosingLine) {
  Request.Lines = {Data("a"), Data("b"), "@cs-end", Data("c")};
  Lines List = {"kept"};
  Request.ReadStringList(List, false);
  EXPECT_EQ(List, (Lines{"kept", "a", "b"}));
  EXPECT_EQ(Request.Cursor, 3);
  EXPECT_EQ(Request.ReadLine(), "c");
}

TEST_F(RequestTest, ReadStringListBlocks) {
  struct Case {
    const char* Name;
    Lines Entries;
    Lines List;
    int32_t Cursor;
  };
  const Case Cases[] = {
      {"closing line only", {"@cs-end", Data("z")}, {}, 1},
      {"empty entries", {Data(""), "", "@cs-end"}, {"", ""}, 3},
      // A client's own control line in a request file loses its first byte.
      {"foreign control line", {"@x", "@cs-end"}, {"x"}, 2},
      {"open block", {Data("a"), Data("b")}, {"a", "b"}, 2},
      {"open block of one entry", {"@x"}, {"x"}, 1},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Request.Lines = C.Entries;
    Request.GoTopLine();
    Lines List = {"old"};
    Request.ReadStringList(List, true);
    EXPECT_EQ(List, C.List);
    EXPECT_EQ(Request.Cursor, C.Cursor);
  }
}

TEST_F(RequestTest, ReadStringListAtTheEnd) {
  Request.Lines = {"@cs-end"};
  Request.Cursor = 1;
  Lines List = {"old"};
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Request.ReadStringList(List, false); }),
            "ReadStringList error. Request has reached the end");
  EXPECT_EQ(List, Lines{"old"});
  // With the empty-first flag the list is emptied before the check.
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Request.ReadStringList(List, true); }),
            "ReadStringList error. Request has reached the end");
  EXPECT_TRUE(List.empty());
  EXPECT_EQ(Request.Cursor, 1);
}

TEST_F(RequestTest, CursorOutsideTheEntriesReadsAsTheEnd) {
  Request.Lines = {Data("a")};
  Request.Cursor = -1;
  EXPECT_TRUE(Request.IsEOF());
  EXPECT_THROW(Request.ReadLine(), EKivServerError);
}

TEST_F(RequestTest, WritesGoToThePeerOverTCP) {
  Request.WriteLine("abc");
  Request.WriteLine("");
  Request.WriteLine("@end");
  Request.WriteControlLine("@mine");
  Request.WriteStringList({});
  Request.WriteStringList({"a", ""});
  Request.WriteLine("a\rb");  // safe on TCP: the reader drops only a CR before LF
  EXPECT_EQ(Sink->Written, (Lines{Data("abc"), Data(""), Data("@end"), "@mine", "@cs-end",
                                  Data("a"), Data(""), "@cs-end", Data("a\rb")}));
}

TEST_F(RequestTest, WritesGoToTheAnswerFileInFSMode) {
  OpenAnswerFile();
  Request.WriteLine("abc");
  Request.WriteLine("");
  Request.WriteControlLine("@mine");
  Request.WriteStringList({"a", ""});
  EXPECT_EQ(CloseAnswerFile(),
            (Lines{Data("abc"), Data(""), "@mine", Data("a"), Data(""), "@cs-end"}));
  EXPECT_TRUE(Sink->Written.empty());
}

TEST_F(RequestTest, TheSinkIsChosenAtEachWrite) {
  OpenAnswerFile();
  Server.UseTCP = true;
  Request.WriteLine("tcp");
  Server.UseTCP = false;
  Request.WriteLine("file");
  EXPECT_EQ(Sink->Written, Lines{Data("tcp")});
  EXPECT_EQ(CloseAnswerFile(), Lines{Data("file")});
}

TEST_F(RequestTest, WritesWithoutAnOpenSinkAreRejected) {
  Request.Peer.reset();
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Request.WriteLine("x"); }),
            "Answer write error. Request has no connection");

  Server.UseTCP = false;  // no answer file at all
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Request.WriteControlLine("@x"); }),
            "Answer write error. Answer file is not open");

  OpenAnswerFile();
  CloseAnswerFile();  // outside OnRequest the file is closed
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Request.WriteStringList({}); }),
            "Answer write error. Answer file is not open");

  TRequest Orphan(nullptr);
  EXPECT_EQ(MessageOf<EKivServerError>([&] { Orphan.WriteLine("x"); }),
            "Answer write error. Request has no server");
}

TEST_F(RequestTest, TextThatWouldSplitAtTheClientIsRejected) {
  struct Case {
    bool UseTCP;
    std::function<void(TRequest&)> Write;
    std::string Message;
  };
  const Case Cases[] = {
      {true, [](TRequest& R) { R.WriteLine("a\nb"); }, "Line break in text passed to WriteLine"},
      {false, [](TRequest& R) { R.WriteLine("a\nb"); }, "Line break in text passed to WriteLine"},
      {false, [](TRequest& R) { R.WriteLine("a\rb"); }, "Line break in text passed to WriteLine"},
      {true, [](TRequest& R) { R.WriteControlLine("@x\n"); },
       "Line break in text passed to WriteControlLine"},
      {false, [](TRequest& R) { R.WriteControlLine("@x\r"); },
       "Line break in text passed to WriteControlLine"},
      {true,
       [](TRequest& R) {
         R.WriteStringList({"ok", "a\nb"});
       },
       "Line break in text passed to WriteStringList"},
  };
  OpenAnswerFile();
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Message);
    Server.UseTCP = C.UseTCP;
    EXPECT_EQ(MessageOf<EKivServerError>([&] { C.Write(Request); }), C.Message);
  }
  // Nothing reached either sink, not even the good item of the string list.
  EXPECT_TRUE(Sink->Written.empty());
  EXPECT_TRUE(CloseAnswerFile().empty());
}

TEST_F(RequestTest, SinkFailuresPassThrough) {
  Sink->Broken = true;
  EXPECT_EQ(MessageOf<EInOutError>([&] { Request.WriteLine("x"); }), "connection reset");
}

}  // namespace
}  // namespace KivTrans2
