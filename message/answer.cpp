#include "message/answer.h"

#include <cstddef>

#include "message/kiv_errors.h"
#include "message/line_codec.h"

namespace KivTrans2 {

TAnswer::TAnswer(const TComponent* AClient) : Client(AClient) {}

// A Cursor outside 0..Count (the field is public) counts as the end, so no read
// ever indexes outside the entries.
bool TAnswer::IsEOF() const {
  return Cursor < 0 || static_cast<size_t>(Cursor) >= Lines.size();
}

void TAnswer::CheckReadable(const char* Operation) const {
  if (!Lines.empty() && !IsEOF()) return;
  std::string Message = "Could not run \"";
  if (Client) Message += Client->Name();
  Message += ".";
  Message += Operation;
  Message += Lines.empty() ? "\". Empty answer." : "\". Answer has reached the end.";
  throw EKivClientError(Message);
}

std::string TAnswer::ReadLine() {
  CheckReadable("ReadLine");
  return EntryText(Lines[Cursor++]);
}

std::string TAnswer::ReadMultiLines() {
  // Reports its empty and exhausted answers under the name ReadStringList.
  CheckReadable("ReadStringList");
  std::string Joined;
  while (true) {
    const std::string& Entry = Lines[Cursor++];
    if (Entry == kCsEndLine) break;
    if (!IsDataLine(Entry)) throw EKivClientError("Invalid line in ReadMultiLines: " + Entry);
    Joined.append(Entry, 1);
    if (IsEOF()) break;
  }
  return DecodeMultiLines(Joined);
}

void TAnswer::ReadStringList(std::vector<std::string>& List, bool EmptyFirst) {
  CheckReadable("ReadStringList");
  if (EmptyFirst) List.clear();
  while (true) {
    const std::string& Entry = Lines[Cursor++];
    if (Entry == kCsEndLine) break;
    List.push_back(EntryText(Entry));
    if (IsEOF()) break;
  }
}

void TAnswer::CopyToList(std::vector<std::string>& List) {
  List.clear();
  while (!IsEOF()) List.push_back(ReadLine());
}

}  // namespace KivTrans2
