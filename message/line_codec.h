// message/line_codec.h — the bytes of the line protocol: keywords, data lines,
// multi-line blocks, request names and the rules by which the TCP readers sort
// the lines they receive. Internal API; the functions marked KIV_API are also
// exported for the command-line tool.
//
// Every function here is pure (no shared state) and may be called on any thread.
// Text is a byte string, one byte per character, with no character-set
// conversion; a line carries no terminator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kiv_export.h"
#include "host/sysutils.h"

namespace KivTrans2 {

// First byte of every data line. Any other line is a control line.
inline constexpr char kDataMarker = '\xD7';

// Control keywords. "@cod " and "@prior" are followed by a decimal number.
inline constexpr char kRequestLine[] = "@request";
inline constexpr char kCodPrefix[] = "@cod ";  // the readers look only at "@cod"
inline constexpr char kPriorPrefix[] = "@prior";
inline constexpr char kEmptyStringLine[] = "@emptystring";
inline constexpr char kCsEndLine[] = "@cs-end";
inline constexpr char kEndLine[] = "@end";
inline constexpr char kAnswerLine[] = "@answer";

// --- Writing lines -------------------------------------------------------------

// The marker followed by the text; an empty text gives the marker alone. Used by
// the server in both transports and by the client in FS mode.
KIV_API std::string MakeDataLine(const std::string& Text);

// The client's data line on TCP: "@emptystring" for an empty text, otherwise
// MakeDataLine.
KIV_API std::string MakeClientTcpDataLine(const std::string& Text);

// "@cod " and the code in decimal, e.g. "@cod 17".
KIV_API std::string MakeCodLine(int32_t Code);

// "@prior" and the priority in decimal, e.g. "@prior1".
KIV_API std::string MakePriorLine(int32_t Priority);

// True when Text, written as one line, would be split into two lines at the
// receiver: it holds an LF (any transport) or, in FS mode, a CR. A CR without
// LF is safe on TCP, where the reader drops only a CR right before the LF.
KIV_API bool ContainsLineBreak(const std::string& Text, bool UseTCP);

// The message of the exception a writer raises for such a text, e.g.
// "Line break in text passed to WriteLine".
KIV_API std::string LineBreakMessage(const std::string& Operation);

// --- Reading entries -----------------------------------------------------------

KIV_API bool IsDataLine(const std::string& Line);

// The text of a stored entry: a data entry without its marker; any other entry
// ("@cs-end", an empty entry, a foreign control line from a file) unchanged.
KIV_API std::string EntryText(const std::string& Entry);

// --- Multi-line blocks ---------------------------------------------------------

// Splits Text into the chunk texts of a multi-line block: every CR LF becomes
// the bytes 0x01 0x02 (scanning from the left), then L div ChunkLength + 1
// chunks of at most ChunkLength bytes follow, the last one empty when L is a
// multiple of ChunkLength. The caller writes each chunk as a data line and then
// "@cs-end". A ChunkLength below 1 raises EKivClientError.
KIV_API std::vector<std::string> EncodeMultiLines(const std::string& Text, int32_t ChunkLength);

// The text of a multi-line block from its joined chunk texts: every 0x01 0x02
// becomes CR LF (scanning from the left), and bytes 0x00..0x20 are removed from
// both ends.
KIV_API std::string DecodeMultiLines(const std::string& Joined);

// --- Request names -------------------------------------------------------------

// A request name: a capital letter and seven digits, from the draws a :=
// Random(10000), b := Random(10000), then the letter Random(26) (in that order).
// The digits are b's then a's decimal text, cut to 7 or padded with leading
// "0". Returns the name, "." and Extension, or the name alone when Extension is
// empty or blank.
KIV_API std::string MakeRequestName(const TRandomFn& Random, const std::string& Extension);

// --- The TCP readers' line classification --------------------------------------

// How the server's intake treats a received line, in rule order: the first rule
// that matches wins. The caller checks first whether the server is stopping.
enum class TServerLineKind {
  Empty,        // ignored
  Data,         // first byte the marker: append the line, marker included
  Prior,        // starts "@prior": priority from the 7th character (ParsePriorityChar)
  End,          // exactly "@end": the request is complete
  Request,      // exactly "@request": a new request begins, entries emptied
  Cod,          // starts "@cod": request code (ParseCode)
  EmptyString,  // exactly "@emptystring": append an empty entry
  CsEnd,        // exactly "@cs-end": append it as an entry
  Other,        // ignored
};
KIV_API TServerLineKind ClassifyServerLine(const std::string& Line);

// How the client's answer reader treats a received line, in rule order.
enum class TClientLineKind {
  Data,    // first byte the marker: append the line, marker included
  Answer,  // exactly "@answer": empty the answer
  Cod,     // starts "@cod": received code (ParseCode)
  End,     // exactly "@end": complete when the received code is the one awaited
  CsEnd,   // exactly "@cs-end": append it as an entry
  Other,   // ignored, an empty line included
};
KIV_API TClientLineKind ClassifyClientLine(const std::string& Line);

// The priority carried by a "@prior" line: the 7th character as a decimal digit.
// Only that one character is read, so "@prior12" gives 1. nullopt when it is
// missing or not a digit.
KIV_API std::optional<int> ParsePriorityChar(const std::string& Line);

// The code carried by a "@cod" line: the text from the 6th character on (the
// 5th is skipped unexamined), as a strict signed 32-bit decimal (StrToInt).
// nullopt when that text is empty or does not convert.
KIV_API std::optional<int32_t> ParseCode(const std::string& Line);

}  // namespace KivTrans2
