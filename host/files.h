// host/files.h — text files and the file system. Public API.
//
// Exchange files are text, one line per line, with the build's line break
// (kLineBreak). Every reader accepts CR LF, LF or a lone CR.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/kiv_export.h"

namespace KivTrans2 {

// The line break this build writes into text files: LF for the Linux build,
// CR LF for the win1/win2 behaviour.
KIV_API extern const char* const kLineBreak;
KIV_API extern const char kPathDelim;  // '/'

// Dir with the directory separator appended when it is not empty and does not
// end in one; an empty Dir stays empty (file names are then used bare).
KIV_API std::string WithTrailingDelimiter(const std::string& Dir);

// Splits text into lines at CR LF, LF or a lone CR; a last line without a break
// counts, a break at the very end adds no empty line.
KIV_API std::vector<std::string> SplitTextLines(const std::string& Text);

// Loads a whole text file as lines (SplitTextLines). Raises EInOutError when
// the file cannot be opened or read, or is not a regular file (a directory, a
// FIFO: never waited on).
KIV_API std::vector<std::string> LoadTextLines(const std::string& FileName);

// A text file open for writing. Raises EInOutError on every failure.
class KIV_API TTextFileWriter {
 public:
  // Creates the file or truncates an existing one. With Exclusive, fails when
  // the file already exists.
  explicit TTextFileWriter(const std::string& FileName, bool Exclusive = false);
  ~TTextFileWriter();  // closes quietly when still open
  TTextFileWriter(const TTextFileWriter&) = delete;
  TTextFileWriter& operator=(const TTextFileWriter&) = delete;

  void WriteLn(const std::string& Line);  // the line and kLineBreak
  void Close();                           // flushes; raises when the data could not be written
  bool IsOpen() const { return FFd >= 0; }
  const std::string& FileName() const { return FFileName; }

 private:
  void Flush();
  std::string FFileName;
  int FFd = -1;
  std::string FBuffer;
};

// Names (without path) of the entries of Dir matching Mask ('*' and '?'
// wildcards, case-sensitive), every kind of entry, in the order the directory
// yields them. Dir is used as given ("" is the current directory). Missing
// directory: empty list.
KIV_API std::vector<std::string> FindFiles(const std::string& Dir, const std::string& Mask);
KIV_API bool MatchesMask(const std::string& Name, const std::string& Mask);

KIV_API bool FileExists(const std::string& FileName);  // a regular file (or other non-directory)
KIV_API bool DirectoryExists(const std::string& Path);
KIV_API bool DeleteFile(const std::string& FileName);
KIV_API bool RenameFile(const std::string& OldName, const std::string& NewName);
// Renames only when NewName does not exist; false otherwise (atomic where the
// file system allows it).
KIV_API bool RenameFileNoReplace(const std::string& OldName, const std::string& NewName);
KIV_API int64_t FileSize(const std::string& FileName);  // -1 when missing

}  // namespace KivTrans2
