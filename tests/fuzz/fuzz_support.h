// tests/fuzz/fuzz_support.h — what the fuzz targets share: a check that turns a
// broken rule into a crash the fuzzer keeps, the library's own TCP line reader
// run over a byte stream, and a sink that records the lines written to it.
// Internal to the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/line_sink.h"

namespace KivTrans2::Fuzz {

// Prints where the rule broke and aborts, so the fuzzer reports the input.
[[noreturn]] void Fail(const char* File, int Line, const char* Condition);

#define FUZZ_CHECK(Condition) \
  ((Condition) ? (void)0 : ::KivTrans2::Fuzz::Fail(__FILE__, __LINE__, #Condition))

// The longest line the TCP targets' reader accepts: small, so that the fuzzer
// reaches the limit with small inputs.
inline constexpr size_t kFuzzMaxLineLength = 256;

// Larger inputs are skipped by the TCP targets: they travel through one socket
// buffer in one go.
inline constexpr size_t kMaxStreamBytes = 64 * 1024;

// How a stream read by ReadStreamLines ended.
enum class TStreamEnd {
  Closed,   // the peer closed; a last line without LF is lost with the connection
  TooLong,  // a line passed MaxLineLength(); the reader closed the connection
};

// Sends Bytes through a connected socket pair, closes the sending side, and
// reads the other side with the library's stream socket line reader (LF ends a
// line, one CR before it is dropped), calling OnLine for every line, in order.
// OnLine may return false to stop reading early (the result is then Closed).
TStreamEnd ReadStreamLines(const uint8_t* Bytes, size_t Size,
                           const std::function<bool(std::string)>& OnLine);

// The lines as they travel on TCP: each followed by CR LF.
std::string JoinWireLines(const std::vector<std::string>& Lines);

// The lines of Text cut at LF only (an item list or entries that may hold CR).
// A last piece without LF is a line too.
std::vector<std::string> SplitAtLineFeeds(const std::string& Text);

// Records every line written, as the answer sink of a request.
class TRecordingSink : public TLineSink {
 public:
  void WriteLine(const std::string& Line) override { Lines.push_back(Line); }
  std::vector<std::string> Lines;
};

}  // namespace KivTrans2::Fuzz
