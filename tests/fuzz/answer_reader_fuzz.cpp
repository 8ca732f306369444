// Fuzz target: the client's TCP answer reader. The input is the byte stream a
// server sends on a kept connection; the library's line reader cuts it into
// lines and the answer reader's step (ApplyAnswerLine) takes each one. The
// first exchange awaits code 0; each completed answer is read back the ways an
// application reads it, and the next exchange on the connection awaits the next
// code. A "@cod" line that does not convert ends the exchange and the stream.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "client/wait_thread.h"
#include "fuzz_support.h"
#include "host/exceptions.h"
#include "host/net_settings.h"
#include "host/thread.h"
#include "message/answer.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"

using namespace KivTrans2;

namespace {

// Every read operation over a complete answer: each either returns or raises
// the client's error, none reads outside the entries, and each read that
// returns moves the cursor forward.
void ReadBack(TAnswer& Answer) {
  for (const std::string& Entry : Answer.Lines)
    FUZZ_CHECK(IsDataLine(Entry) || Entry == kCsEndLine);
  FUZZ_CHECK(Answer.Cursor == 0);

  std::vector<std::string> Texts;
  Answer.CopyToList(Texts);
  FUZZ_CHECK(Texts.size() == Answer.Lines.size() && Answer.IsEOF());
  for (size_t I = 0; I < Texts.size(); ++I) FUZZ_CHECK(Texts[I] == EntryText(Answer.Lines[I]));

  Answer.GoTopLine();
  while (!Answer.IsEOF()) {
    const int32_t Before = Answer.Cursor;
    // Only data lines here, so a block never holds an invalid line.
    std::string Text = Answer.ReadMultiLines();
    FUZZ_CHECK(Answer.Cursor > Before);
    FUZZ_CHECK(Text.empty() || (static_cast<unsigned char>(Text.front()) > 0x20 &&
                                static_cast<unsigned char>(Text.back()) > 0x20));
  }

  Answer.GoTopLine();
  size_t Items = 0, Blocks = 0;
  while (!Answer.IsEOF()) {
    std::vector<std::string> List{"left from before"};
    const int32_t Before = Answer.Cursor;
    Answer.ReadStringList(List, true);
    FUZZ_CHECK(Answer.Cursor > Before);
    Items += List.size();
    ++Blocks;
  }
  // Every entry is an item except the "@cs-end" lines that close the blocks.
  size_t CsEnds = 0;
  for (const std::string& Entry : Answer.Lines) CsEnds += Entry == kCsEndLine;
  FUZZ_CHECK(Items + CsEnds == Answer.Lines.size());
  // One block per "@cs-end", and one more left open at the end.
  const bool OpenAtEnd = !Answer.Lines.empty() && Answer.Lines.back() != kCsEndLine;
  FUZZ_CHECK(Blocks == CsEnds + (OpenAtEnd ? 1 : 0));

  bool Raised = false;
  try {
    Answer.ReadLine();
  } catch (const EKivClientError& E) {
    const std::string Tail = Answer.Lines.empty() ? "Empty answer." : "Answer has reached the end.";
    const std::string Message = E.what();
    Raised = Message.size() >= Tail.size() &&
             Message.compare(Message.size() - Tail.size(), Tail.size(), Tail) == 0;
  }
  FUZZ_CHECK(Raised);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetMainThread();
  SetBroadcastTarget("127.255.255.255");  // nothing is sent; kept on loopback all the same
  SetMaxLineLength(Fuzz::kFuzzMaxLineLength);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > Fuzz::kMaxStreamBytes) return -1;
  TAnswer Answer(nullptr);
  std::atomic<int32_t> ReceivedCode{0};
  int32_t SentCode = 0;
  // The data and "@cs-end" lines received since the latest "@answer": what the
  // answer must hold whenever it completes.
  std::vector<std::string> Expected;
  Fuzz::ReadStreamLines(Data, Size, [&](std::string Line) {
    if (Line == kAnswerLine) Expected.clear();
    if (IsDataLine(Line) || Line == kCsEndLine) Expected.push_back(Line);
    const bool WasCod = ClassifyClientLine(Line) == TClientLineKind::Cod;
    bool Complete = false;
    try {
      Complete = ApplyAnswerLine(Answer, ReceivedCode, SentCode, std::move(Line));
    } catch (const EConvertError&) {
      FUZZ_CHECK(WasCod);
      return false;
    }
    if (!Complete) return true;
    FUZZ_CHECK(ReceivedCode.load() == SentCode);
    FUZZ_CHECK(Answer.Lines == Expected);
    Answer.GoTopLine();
    ReadBack(Answer);
    ++SentCode;
    return true;
  });
  return 0;
}
