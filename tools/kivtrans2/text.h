// tools/kivtrans2/text.h — the tool's text helpers: cutting a byte stream into
// lines and quoting bytes for a one-line log entry.
#pragma once

#include <string>
#include <vector>

namespace KivTrans2::Tool {

// Cuts Text at every LF, dropping one CR right before it; a last line without
// a break counts, a break at the very end adds no empty line.
std::vector<std::string> SplitAtLineFeeds(const std::string& Text);

// Text between double quotes, with \\, \", \n, \r, \t and \xNN for the other
// control bytes, so that any data fits on one log line.
std::string Quoted(const std::string& Text);

}  // namespace KivTrans2::Tool
