#include "server/file_intake.h"

#include "host/exceptions.h"
#include "host/files.h"
#include "host/sysutils.h"
#include "host/thread.h"

namespace KivTrans2 {

std::vector<std::string> ListFiles(const std::string& Mask, const std::string& Dir) {
  return FindFiles(WithTrailingDelimiter(Trim(Dir)), Mask);
}

std::optional<std::vector<std::string>> LoadRequestFile(const std::string& FileName) {
  constexpr int kAttempts = 4;
  for (int Attempt = 1; Attempt <= kAttempts; ++Attempt) {
    try {
      return LoadTextLines(FileName);
    } catch (const EInOutError&) {
      if (Attempt < kAttempts && FileExists(FileName)) Sleep(1);
    }
  }
  return std::nullopt;
}

}  // namespace KivTrans2
