// server/file_intake.h — the server directory's files: listing, the exchange
// extensions, loading a request file. Internal API of the server.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace KivTrans2 {

// The extensions of the exchange files, in the order Clean removes them.
inline constexpr const char* kExchangeExtensions[] = {"ANS", "AN1", "AN2", "RE1",
                                                      "REQ", "NET", "LOG"};
// The extension of a complete answer file, the one a client looks for.
inline constexpr char kAnswerExtension[] = "ANS";

// Names (without path) of the entries of Dir matching Mask, every kind of entry.
// Dir is trimmed of blanks for the search only and given a trailing separator
// when it lacks one; a missing directory gives an empty list.
std::vector<std::string> ListFiles(const std::string& Mask, const std::string& Dir);

// The lines of a request file, in up to four attempts with a short pause
// between them; nullopt when it could not be read (it is then left where it is
// and tried again later).
std::optional<std::vector<std::string>> LoadRequestFile(const std::string& FileName);

}  // namespace KivTrans2
