// Fuzz target: the multi-line and string-list codecs and the read operations of
// TAnswer and TRequest. The first input byte picks the chunk length of a
// multi-line block; the rest is the text. The text is encoded and decoded, sent
// as a string list both ways, and its LF-separated pieces are also taken as
// arbitrary stored entries (what a request or answer file may hold) and read
// with every read operation.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/sysutils.h"
#include "message/answer.h"
#include "message/kiv_errors.h"
#include "message/line_codec.h"
#include "message/request.h"

using namespace KivTrans2;

namespace {

class TFixedOwner : public TRequestOwner {
 public:
  explicit TFixedOwner(bool UseTCP) : FUseTCP(UseTCP) {}
  bool GetUseTCP() const override { return FUseTCP; }

 private:
  bool FUseTCP;
};

std::string Join(const std::vector<std::string>& Pieces) {
  std::string Text;
  for (const std::string& Piece : Pieces) Text += Piece;
  return Text;
}

bool IsTrimmed(const std::string& Text) {
  return Text.empty() || (static_cast<unsigned char>(Text.front()) > 0x20 &&
                          static_cast<unsigned char>(Text.back()) > 0x20);
}

// A multi-line block: chunk sizes, the decoder, and the answer's reader.
void CheckMultiLines(const std::string& Text, int32_t ChunkLength) {
  const std::vector<std::string> Chunks = EncodeMultiLines(Text, ChunkLength);
  const std::string Encoded = Join(Chunks);
  const size_t N = static_cast<size_t>(ChunkLength);
  FUZZ_CHECK(Chunks.size() == Encoded.size() / N + 1);
  for (size_t I = 0; I + 1 < Chunks.size(); ++I) FUZZ_CHECK(Chunks[I].size() == N);
  FUZZ_CHECK(Chunks.back().size() < N);
  FUZZ_CHECK(Encoded.find("\r\n") == std::string::npos);
  FUZZ_CHECK(Encoded.size() <= Text.size());

  const std::string Decoded = DecodeMultiLines(Encoded);
  FUZZ_CHECK(IsTrimmed(Decoded));
  // Only a text that holds 0x01 itself can come back changed, beyond the trim.
  if (Text.find('\x01') == std::string::npos) FUZZ_CHECK(Decoded == Trim(Text));

  // Written by a server application as data lines and "@cs-end", with an entry
  // after the block that must stay unread.
  TAnswer Answer(nullptr);
  for (const std::string& Chunk : Chunks) Answer.Lines.push_back(MakeDataLine(Chunk));
  Answer.Lines.push_back(kCsEndLine);
  Answer.Lines.push_back(MakeDataLine("next"));
  FUZZ_CHECK(Answer.ReadMultiLines() == Decoded);
  FUZZ_CHECK(Answer.Cursor == static_cast<int32_t>(Chunks.size()) + 1);
  FUZZ_CHECK(Answer.ReadLine() == "next");
}

// A string list both ways: the server's writer to the client's reader, and the
// client's TCP lines through the server's storage rules to the request's reader.
void CheckStringLists(const std::vector<std::string>& Items) {
  TFixedOwner Owner(true);
  TRequest Writer(&Owner);
  auto Sink = std::make_shared<Fuzz::TRecordingSink>();
  Writer.Peer = Sink;
  Writer.WriteStringList(Items);  // no item holds LF, so TCP takes every one
  FUZZ_CHECK(Sink->Lines.size() == Items.size() + 1);
  TAnswer Answer(nullptr);
  Answer.Lines = Sink->Lines;
  std::vector<std::string> Answered{"left from before"};
  Answer.ReadStringList(Answered, true);
  FUZZ_CHECK(Answered == Items && Answer.IsEOF());

  TRequest Request(nullptr);
  for (const std::string& Item : Items) {
    const std::string Line = MakeClientTcpDataLine(Item);
    switch (ClassifyServerLine(Line)) {
      case TServerLineKind::Data:
        Request.Lines.push_back(Line);
        break;
      case TServerLineKind::EmptyString:
        Request.Lines.emplace_back();
        break;
      default:
        FUZZ_CHECK(!"a client data line the server does not store");
    }
  }
  FUZZ_CHECK(ClassifyServerLine(kCsEndLine) == TServerLineKind::CsEnd);
  Request.Lines.push_back(kCsEndLine);
  std::vector<std::string> Read{"left from before"};
  Request.ReadStringList(Read, true);
  FUZZ_CHECK(Read == Items && Request.IsEOF());
}

// Arbitrary stored entries read with every operation: each read that returns
// moves the cursor forward, each error leaves it inside the entries, and every
// loop ends.
void CheckArbitraryEntries(const std::vector<std::string>& Entries) {
  TAnswer Answer(nullptr);
  Answer.Lines = Entries;
  std::vector<std::string> Texts;
  Answer.CopyToList(Texts);
  FUZZ_CHECK(Texts.size() == Entries.size());

  Answer.GoTopLine();
  while (!Answer.IsEOF()) {
    const int32_t Before = Answer.Cursor;
    try {
      FUZZ_CHECK(IsTrimmed(Answer.ReadMultiLines()));
    } catch (const EKivClientError&) {
      // An invalid line: the cursor stands behind it.
      FUZZ_CHECK(!IsDataLine(Entries[static_cast<size_t>(Answer.Cursor) - 1]));
    }
    FUZZ_CHECK(Answer.Cursor > Before && static_cast<size_t>(Answer.Cursor) <= Entries.size());
  }

  Answer.GoTopLine();
  while (!Answer.IsEOF()) {
    const int32_t Before = Answer.Cursor;
    std::vector<std::string> List;
    Answer.ReadStringList(List, false);
    FUZZ_CHECK(Answer.Cursor > Before);
    FUZZ_CHECK(List.size() <= static_cast<size_t>(Answer.Cursor - Before));
  }

  TRequest Request(nullptr);
  Request.Lines = Entries;
  size_t Read = 0;
  while (!Request.IsEOF()) {
    Request.ReadLine();
    ++Read;
  }
  FUZZ_CHECK(Read == Entries.size());
  Request.GoTopLine();
  while (!Request.IsEOF()) {
    const int32_t Before = Request.Cursor;
    std::vector<std::string> List;
    Request.ReadStringList(List, false);
    FUZZ_CHECK(Request.Cursor > Before);
  }

  // A cursor set outside the entries reads nothing.
  for (const int32_t Cursor : {-1, static_cast<int32_t>(Entries.size()) + 1}) {
    Answer.Cursor = Cursor;
    Request.Cursor = Cursor;
    FUZZ_CHECK(Answer.IsEOF() && Request.IsEOF());
    bool AnswerRaised = false, RequestRaised = false;
    try {
      Answer.ReadMultiLines();
    } catch (const EKivClientError&) {
      AnswerRaised = true;
    }
    try {
      Request.ReadLine();
    } catch (const EKivServerError&) {
      RequestRaised = true;
    }
    FUZZ_CHECK(AnswerRaised && RequestRaised);
    FUZZ_CHECK(Answer.Cursor == Cursor && Request.Cursor == Cursor);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const int32_t ChunkLength = 1 + Data[0] % 64;
  const std::string Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  CheckMultiLines(Text, ChunkLength);
  const std::vector<std::string> Pieces = Fuzz::SplitAtLineFeeds(Text);
  CheckStringLists(Pieces);
  CheckArbitraryEntries(Pieces);
  return 0;
}
