// host/line_sink.h — something that takes text lines one at a time: a TCP peer
// connection or a text file. Public API.
#pragma once

#include <string>

#include "host/kiv_export.h"

namespace KivTrans2 {

class KIV_API TLineSink {
 public:
  virtual ~TLineSink() = default;
  // Writes one line; the sink adds its own line end. Raises on failure.
  virtual void WriteLine(const std::string& Line) = 0;
  // Sends what WriteLine has buffered. Raises on failure.
  virtual void Flush() {}
};

}  // namespace KivTrans2
