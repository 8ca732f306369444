// The tool's text helpers.
#include "text.h"

#include <cstdio>

namespace KivTrans2::Tool {

std::vector<std::string> SplitAtLineFeeds(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t Lf = Text.find('\n', Start);
    if (Lf == std::string::npos) {
      Lines.push_back(Text.substr(Start));
      break;
    }
    size_t End = (Lf > Start && Text[Lf - 1] == '\r') ? Lf - 1 : Lf;
    Lines.push_back(Text.substr(Start, End - Start));
    Start = Lf + 1;
  }
  return Lines;
}

std::string Quoted(const std::string& Text) {
  std::string Result = "\"";
  for (unsigned char C : Text) {
    switch (C) {
      case '\\':
        Result += "\\\\";
        break;
      case '"':
        Result += "\\\"";
        break;
      case '\n':
        Result += "\\n";
        break;
      case '\r':
        Result += "\\r";
        break;
      case '\t':
        Result += "\\t";
        break;
      default:
        if (C < 0x20 || C == 0x7F) {
          char Hex[5];
          std::snprintf(Hex, sizeof Hex, "\\x%02X", C);
          Result += Hex;
        } else {
          Result += static_cast<char>(C);
        }
    }
  }
  return Result + "\"";
}

}  // namespace KivTrans2::Tool
