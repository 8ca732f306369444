#include "message/line_codec.h"

#include <cstddef>
#include <string_view>

#include "host/exceptions.h"
#include "message/kiv_errors.h"

namespace KivTrans2 {

namespace {

bool StartsWith(const std::string& Line, const char* Prefix) {
  return std::string_view(Line).starts_with(Prefix);
}

}  // namespace

std::string MakeDataLine(const std::string& Text) {
  return kDataMarker + Text;
}

std::string MakeClientTcpDataLine(const std::string& Text) {
  return Text.empty() ? std::string(kEmptyStringLine) : MakeDataLine(Text);
}

std::string MakeCodLine(int32_t Code) {
  return kCodPrefix + IntToStr(Code);
}

std::string MakePriorLine(int32_t Priority) {
  return kPriorPrefix + IntToStr(Priority);
}

bool ContainsLineBreak(const std::string& Text, bool UseTCP) {
  if (Text.find('\n') != std::string::npos) return true;
  return !UseTCP && Text.find('\r') != std::string::npos;
}

std::string LineBreakMessage(const std::string& Operation) {
  return "Line break in text passed to " + Operation;
}

bool IsDataLine(const std::string& Line) {
  return !Line.empty() && Line[0] == kDataMarker;
}

std::string EntryText(const std::string& Entry) {
  return IsDataLine(Entry) ? Entry.substr(1) : Entry;
}

std::vector<std::string> EncodeMultiLines(const std::string& Text, int32_t ChunkLength) {
  if (ChunkLength < 1)
    throw EKivClientError("Invalid chunk length in WriteMultiLines: " + IntToStr(ChunkLength));
  std::string Encoded;
  Encoded.reserve(Text.size());
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n') {
      Encoded += "\x01\x02";
      ++I;
    } else {
      Encoded += Text[I];
    }
  }
  const size_t N = static_cast<size_t>(ChunkLength);
  const size_t Count = Encoded.size() / N + 1;
  std::vector<std::string> Chunks;
  Chunks.reserve(Count);
  for (size_t I = 0; I < Count; ++I) Chunks.push_back(Encoded.substr(I * N, N));
  return Chunks;
}

std::string DecodeMultiLines(const std::string& Joined) {
  std::string Decoded;
  Decoded.reserve(Joined.size());
  for (size_t I = 0; I < Joined.size(); ++I) {
    if (Joined[I] == '\x01' && I + 1 < Joined.size() && Joined[I + 1] == '\x02') {
      Decoded += "\r\n";
      ++I;
    } else {
      Decoded += Joined[I];
    }
  }
  return Trim(Decoded);
}

std::string MakeRequestName(const TRandomFn& Random, const std::string& Extension) {
  const int A = Random(10000);
  const int B = Random(10000);
  std::string Digits = IntToStr(B) + IntToStr(A);
  if (Digits.size() >= 7)
    Digits.resize(7);
  else
    Digits.insert(0, 7 - Digits.size(), '0');
  const char Letter = static_cast<char>('A' + Random(26));
  std::string Name = Letter + Digits;
  if (Trim(Extension).empty()) return Name;
  return Name + "." + Extension;
}

TServerLineKind ClassifyServerLine(const std::string& Line) {
  if (Line.empty()) return TServerLineKind::Empty;
  if (Line[0] == kDataMarker) return TServerLineKind::Data;
  if (StartsWith(Line, kPriorPrefix)) return TServerLineKind::Prior;
  if (Line == kEndLine) return TServerLineKind::End;
  if (Line == kRequestLine) return TServerLineKind::Request;
  if (StartsWith(Line, "@cod")) return TServerLineKind::Cod;
  if (Line == kEmptyStringLine) return TServerLineKind::EmptyString;
  if (Line == kCsEndLine) return TServerLineKind::CsEnd;
  return TServerLineKind::Other;
}

TClientLineKind ClassifyClientLine(const std::string& Line) {
  if (IsDataLine(Line)) return TClientLineKind::Data;
  if (Line == kAnswerLine) return TClientLineKind::Answer;
  if (StartsWith(Line, "@cod")) return TClientLineKind::Cod;
  if (Line == kEndLine) return TClientLineKind::End;
  if (Line == kCsEndLine) return TClientLineKind::CsEnd;
  return TClientLineKind::Other;
}

std::optional<int> ParsePriorityChar(const std::string& Line) {
  if (Line.size() < 7) return std::nullopt;
  const char C = Line[6];
  if (C < '0' || C > '9') return std::nullopt;
  return C - '0';
}

std::optional<int32_t> ParseCode(const std::string& Line) {
  if (Line.size() <= 5) return std::nullopt;
  try {
    return StrToInt(Line.substr(5));
  } catch (const EConvertError&) {
    return std::nullopt;
  }
}

}  // namespace KivTrans2
