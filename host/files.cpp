// Text files and the file system over POSIX calls. errno becomes EInOutError
// here, once.
#include "host/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/exceptions.h"

namespace KivTrans2 {

#if defined(KIVTRANS2_VARIANT_win1) || defined(KIVTRANS2_VARIANT_win2)
const char* const kLineBreak = "\r\n";
#else
const char* const kLineBreak = "\n";
#endif
const char kPathDelim = '/';

namespace {

[[noreturn]] void RaiseIO(const std::string& What, const std::string& FileName, int Error) {
  throw EInOutError(What + " '" + FileName + "': " + std::strerror(Error));
}

}  // namespace

std::string WithTrailingDelimiter(const std::string& Dir) {
  if (Dir.empty() || Dir.back() == kPathDelim) return Dir;
  return Dir + kPathDelim;
}

std::vector<std::string> SplitTextLines(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Start = 0, I = 0;
  const size_t N = Text.size();
  while (I < N) {
    char C = Text[I];
    if (C == '\r' || C == '\n') {
      Lines.push_back(Text.substr(Start, I - Start));
      I += (C == '\r' && I + 1 < N && Text[I + 1] == '\n') ? 2 : 1;
      Start = I;
    } else {
      ++I;
    }
  }
  if (Start < N) Lines.push_back(Text.substr(Start));
  return Lines;
}

std::vector<std::string> LoadTextLines(const std::string& FileName) {
  int Fd;
  do {
    // Non-blocking, so that a FIFO in a shared directory cannot stall the
    // reader in open.
    Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (Fd < 0 && errno == EINTR);
  if (Fd < 0) RaiseIO("Cannot open file", FileName, errno);
  struct stat St;
  if (::fstat(Fd, &St) != 0) {
    int Error = errno;
    ::close(Fd);
    RaiseIO("Cannot read file", FileName, Error);
  }
  if (!S_ISREG(St.st_mode)) {
    ::close(Fd);
    throw EInOutError("Cannot read file '" + FileName + "': not a regular file");
  }
  std::string Text;
  char Buffer[8192];
  for (;;) {
    ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
    if (Got < 0) {
      if (errno == EINTR) continue;
      int Error = errno;
      ::close(Fd);
      RaiseIO("Cannot read file", FileName, Error);
    }
    if (Got == 0) break;
    Text.append(Buffer, static_cast<size_t>(Got));
  }
  ::close(Fd);
  return SplitTextLines(Text);
}

TTextFileWriter::TTextFileWriter(const std::string& FileName, bool Exclusive)
    : FFileName(FileName) {
  int Flags = O_WRONLY | O_CREAT | O_CLOEXEC | (Exclusive ? O_EXCL : O_TRUNC);
  do {
    FFd = ::open(FileName.c_str(), Flags, 0666);
  } while (FFd < 0 && errno == EINTR);
  if (FFd < 0) RaiseIO("Cannot create file", FileName, errno);
}

TTextFileWriter::~TTextFileWriter() {
  if (FFd >= 0) {
    try {
      Flush();
    } catch (...) {
    }
    ::close(FFd);
  }
}

void TTextFileWriter::WriteLn(const std::string& Line) {
  if (FFd < 0) throw EInOutError("File not open '" + FFileName + "'");
  FBuffer += Line;
  FBuffer += kLineBreak;
  if (FBuffer.size() >= 64 * 1024) Flush();
}

void TTextFileWriter::Flush() {
  size_t Done = 0;
  while (Done < FBuffer.size()) {
    ssize_t N = ::write(FFd, FBuffer.data() + Done, FBuffer.size() - Done);
    if (N < 0) {
      if (errno == EINTR) continue;
      int Error = errno;
      FBuffer.clear();
      RaiseIO("Cannot write file", FFileName, Error);
    }
    Done += static_cast<size_t>(N);
  }
  FBuffer.clear();
}

void TTextFileWriter::Close() {
  if (FFd < 0) return;
  int Fd = FFd;
  try {
    Flush();
  } catch (...) {
    FFd = -1;
    ::close(Fd);
    throw;
  }
  FFd = -1;
  if (::close(Fd) != 0 && errno != EINTR) RaiseIO("Cannot close file", FFileName, errno);
}

bool MatchesMask(const std::string& Name, const std::string& Mask) {
  return ::fnmatch(Mask.c_str(), Name.c_str(), 0) == 0;
}

std::vector<std::string> FindFiles(const std::string& Dir, const std::string& Mask) {
  std::vector<std::string> Names;
  DIR* D = ::opendir(Dir.empty() ? "." : Dir.c_str());
  if (!D) return Names;
  while (struct dirent* Entry = ::readdir(D)) {
    std::string Name = Entry->d_name;
    if (Name == "." || Name == "..") continue;
    if (MatchesMask(Name, Mask)) Names.push_back(Name);
  }
  ::closedir(D);
  return Names;
}

bool FileExists(const std::string& FileName) {
  struct stat St;
  return ::stat(FileName.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

bool DirectoryExists(const std::string& Path) {
  struct stat St;
  return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

bool DeleteFile(const std::string& FileName) { return ::unlink(FileName.c_str()) == 0; }

bool RenameFile(const std::string& OldName, const std::string& NewName) {
  return ::rename(OldName.c_str(), NewName.c_str()) == 0;
}

bool RenameFileNoReplace(const std::string& OldName, const std::string& NewName) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, OldName.c_str(), AT_FDCWD, NewName.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // A file system without renameat2 flags: a hard link fails when the target
  // exists, which keeps the no-replace promise.
  if (::link(OldName.c_str(), NewName.c_str()) != 0) return false;
  ::unlink(OldName.c_str());
  return true;
}

int64_t FileSize(const std::string& FileName) {
  struct stat St;
  if (::stat(FileName.c_str(), &St) != 0) return -1;
  return static_cast<int64_t>(St.st_size);
}

}  // namespace KivTrans2
