#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/net_errors.h"
#include "host/net_socket.h"

namespace KivTrans2::Fuzz {

void Fail(const char* File, int Line, const char* Condition) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", File, Line, Condition);
  std::abort();
}

TStreamEnd ReadStreamLines(const uint8_t* Bytes, size_t Size,
                           const std::function<bool(std::string)>& OnLine) {
  int Fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Fds) == 0);
  // The reader owns Fds[0] from here on.
  auto Reader = std::make_shared<Net::TStreamSocket>(Fds[0]);
  int Buffer = static_cast<int>(2 * kMaxStreamBytes);
  ::setsockopt(Fds[1], SOL_SOCKET, SO_SNDBUF, &Buffer, sizeof Buffer);
  ::fcntl(Fds[1], F_SETFL, O_NONBLOCK);
  size_t Sent = 0;
  while (Sent < Size) {
    ssize_t N = ::send(Fds[1], Bytes + Sent, Size - Sent, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    // The whole stream must fit the socket buffer: nobody reads yet.
    FUZZ_CHECK(N > 0);
    Sent += static_cast<size_t>(N);
  }
  ::close(Fds[1]);
  try {
    std::string Line;
    while (Reader->ReadLine(Line, -1)) {
      if (!OnLine(std::move(Line))) return TStreamEnd::Closed;
      Line.clear();
    }
    FUZZ_CHECK(!"a read without a time limit returned without a line");
  } catch (const ELineTooLong&) {
    return TStreamEnd::TooLong;
  } catch (const EConnectionClosed&) {
    return TStreamEnd::Closed;
  }
}

std::string JoinWireLines(const std::vector<std::string>& Lines) {
  std::string Text;
  for (const std::string& Line : Lines) Text += Line + "\r\n";
  return Text;
}

std::vector<std::string> SplitAtLineFeeds(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t Lf = Text.find('\n', Start);
    if (Lf == std::string::npos) Lf = Text.size();
    Lines.push_back(Text.substr(Start, Lf - Start));
    Start = Lf + 1;
  }
  return Lines;
}

}  // namespace KivTrans2::Fuzz
