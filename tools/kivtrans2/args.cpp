// The command line of one kivtrans2 command.
#include "args.h"

#include <charconv>

namespace KivTrans2::Tool {

namespace {

const TOptionSpec* FindSpec(const std::vector<TOptionSpec>& Specs, const std::string& Name) {
  for (const TOptionSpec& S : Specs)
    if (Name == S.Name) return &S;
  return nullptr;
}

}  // namespace

TArgs TArgs::Parse(const std::vector<std::string>& Words, const std::vector<TOptionSpec>& Specs) {
  TArgs Result;
  bool OptionsEnded = false;
  for (size_t I = 0; I < Words.size(); ++I) {
    const std::string& Word = Words[I];
    if (OptionsEnded || Word.size() < 3 || Word.compare(0, 2, "--") != 0) {
      if (!OptionsEnded && Word == "--") {
        OptionsEnded = true;
        continue;
      }
      Result.FOperands.push_back(Word);
      continue;
    }
    const size_t Equals = Word.find('=');
    const std::string Name =
        Word.substr(2, Equals == std::string::npos ? std::string::npos : Equals - 2);
    const TOptionSpec* Option = FindSpec(Specs, Name);
    if (Option == nullptr) throw TUsageError("unknown option --" + Name);
    if (!Option->TakesValue) {
      if (Equals != std::string::npos) throw TUsageError("--" + Name + " takes no value");
      Result.FOptions[Name] = "";
    } else if (Equals != std::string::npos) {
      Result.FOptions[Name] = Word.substr(Equals + 1);
    } else {
      if (I + 1 >= Words.size()) throw TUsageError("--" + Name + " needs a value");
      Result.FOptions[Name] = Words[++I];
    }
  }
  return Result;
}

std::string TArgs::Text(const std::string& Name, const std::string& Default) const {
  auto It = FOptions.find(Name);
  return It == FOptions.end() ? Default : It->second;
}

int TArgs::Number(const std::string& Name, int Default, int Min, int Max) const {
  auto It = FOptions.find(Name);
  if (It == FOptions.end()) return Default;
  const std::string& Text = It->second;
  int Value = 0;
  auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (Text.empty() || Error != std::errc() || End != Text.data() + Text.size() || Value < Min ||
      Value > Max)
    throw TUsageError("--" + Name + " takes a number from " + std::to_string(Min) + " to " +
                      std::to_string(Max) + ", not \"" + Text + "\"");
  return Value;
}

bool HelpAsked(const std::vector<std::string>& Words) {
  for (const std::string& Word : Words) {
    if (Word == "--") return false;
    if (Word == "--help" || Word == "-h") return true;
  }
  return false;
}

}  // namespace KivTrans2::Tool
