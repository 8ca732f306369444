// tools/kivtrans2/args.h — the command line of one kivtrans2 command: its
// options ("--name VALUE", "--name=VALUE", "--flag") and its operands.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace KivTrans2::Tool {

// A bad command line. The tool prints the message as one line and exits 2.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TOptionSpec {
  const char* Name;  // without the leading "--"
  bool TakesValue;
};

class TArgs {
 public:
  // Options may stand anywhere among the operands; "--" ends the options, so
  // later words are operands even when they begin with "--". A word "-" or one
  // that begins with a single "-" is an operand. An option given twice keeps
  // its last value. Raises TUsageError for an unknown option, a missing value,
  // or a value given to a flag.
  static TArgs Parse(const std::vector<std::string>& Words, const std::vector<TOptionSpec>& Specs);

  bool Has(const std::string& Name) const { return FOptions.count(Name) != 0; }
  std::string Text(const std::string& Name, const std::string& Default = "") const;
  // The option's value as a decimal number within [Min, Max]; Default when it
  // is absent. Raises TUsageError for anything else.
  int Number(const std::string& Name, int Default, int Min, int Max) const;
  const std::vector<std::string>& Operands() const { return FOperands; }

 private:
  std::map<std::string, std::string> FOptions;
  std::vector<std::string> FOperands;
};

// True when Words ask for help ("--help" or "-h" before any "--").
bool HelpAsked(const std::vector<std::string>& Words);

}  // namespace KivTrans2::Tool
