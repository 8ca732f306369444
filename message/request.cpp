#include "message/request.h"

#include <cstddef>

#include "message/kiv_errors.h"
#include "message/line_codec.h"

namespace KivTrans2 {

TRequest::TRequest(TRequestOwner* AServer) : Server(AServer) {}

// A Cursor outside 0..Count (the field is public) counts as the end, so no read
// ever indexes outside the entries.
bool TRequest::IsEOF() const {
  return Cursor < 0 || static_cast<size_t>(Cursor) >= Lines.size();
}

std::string TRequest::ReadLine() {
  if (IsEOF()) throw EKivServerError("ReadLine error. Request has reached the end");
  return EntryText(Lines[Cursor++]);
}

void TRequest::ReadStringList(std::vector<std::string>& List, bool EmptyFirst) {
  if (EmptyFirst) List.clear();
  if (IsEOF()) throw EKivServerError("ReadStringList error. Request has reached the end");
  while (true) {
    const std::string& Entry = Lines[Cursor++];
    if (Entry == kCsEndLine) break;
    // The first byte goes whatever it is: the marker of a data entry, or the
    // first character of a client's own control line in a request file.
    List.push_back(Entry.empty() ? std::string() : Entry.substr(1));
    if (IsEOF()) break;
  }
}

bool TRequest::UseTCP() const {
  if (!Server) throw EKivServerError("Answer write error. Request has no server");
  return Server->GetUseTCP();
}

void TRequest::CheckText(const std::string& Text, const char* Operation) const {
  if (ContainsLineBreak(Text, UseTCP())) throw EKivServerError(LineBreakMessage(Operation));
}

void TRequest::Send(const std::string& Line) {
  if (UseTCP()) {
    if (!Peer) throw EKivServerError("Answer write error. Request has no connection");
    Peer->WriteLine(Line);
  } else {
    if (!AnswerFile || !AnswerFile->IsOpen())
      throw EKivServerError("Answer write error. Answer file is not open");
    AnswerFile->WriteLn(Line);
  }
}

void TRequest::WriteLine(const std::string& Text) {
  CheckText(Text, "WriteLine");
  Send(MakeDataLine(Text));
}

void TRequest::WriteControlLine(const std::string& Line) {
  CheckText(Line, "WriteControlLine");
  Send(Line);
}

void TRequest::WriteStringList(const std::vector<std::string>& List) {
  // Every item is checked before the first goes out, so a bad item never leaves
  // half a block behind.
  for (const std::string& Item : List) CheckText(Item, "WriteStringList");
  for (const std::string& Item : List) Send(MakeDataLine(Item));
  Send(kCsEndLine);
}

}  // namespace KivTrans2
