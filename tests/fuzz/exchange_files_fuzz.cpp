// Fuzz target: the request-file and answer-file readers. The input is the
// content of a request file that appears in the server directory of a server in
// FS mode. The server's file tick loads and deletes it and queues the request
// by the priority digit of its first line, unless it is beyond the request
// limits (set small here); a dispatch tick answers it into an answer file, and
// the client's reader loads that file back. The same bytes taken as an answer
// file must load as the lines they hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/files.h"
#include "host/net_settings.h"
#include "host/sysutils.h"
#include "host/thread.h"
#include "message/answer.h"
#include "message/line_codec.h"
#include "server/kiv_server.h"

using namespace KivTrans2;

namespace {

// Small limits, so that the fuzzer reaches them.
constexpr size_t kFuzzMaxFileSize = 1024;
constexpr size_t kFuzzMaxEntries = 24;

TKivServer* Server = nullptr;
std::string Dir;  // the server directory, with its trailing separator

// What the handler saw, and what it read from the request.
struct THandlerSeen {
  bool Ran = false;
  int32_t Priority = 0;
  std::string BaseName;
  std::vector<std::string> Entries;
  std::vector<std::string> Read;
} Seen;

// Answers with the request's entries as they are (control lines) for an even
// priority, and with the texts read from them (data lines) for an odd one.
void AnswerRequest(TKivServer*, TRequest* R) {
  Seen.Ran = true;
  Seen.Priority = R->Priority;
  Seen.BaseName = R->BaseName;
  Seen.Entries = R->Lines;
  Seen.Read.clear();
  if (R->Priority % 2 == 0) {
    for (const std::string& Entry : R->Lines) R->WriteControlLine(Entry);
  } else {
    while (!R->IsEOF()) {
      Seen.Read.push_back(R->ReadLine());
      R->WriteLine(Seen.Read.back());
    }
  }
}

void WriteBytes(const std::string& FileName, const uint8_t* Data, size_t Size) {
  std::ofstream Out(FileName, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
  Out.close();
  FUZZ_CHECK(Out.good());
}

bool DirEmpty() {
  return std::filesystem::is_empty(Dir);
}

void RemoveDir() {
  std::error_code Ignored;
  std::filesystem::remove_all(Dir, Ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetMainThread();
  SetBroadcastTarget("127.255.255.255");  // nothing is sent; kept on loopback all the same
  SetMaxRequestFileSize(kFuzzMaxFileSize);
  SetMaxRequestEntries(kFuzzMaxEntries);
  const char* Tmp = std::getenv("TMPDIR");
  std::string Template = std::string(Tmp && *Tmp ? Tmp : "/tmp") + "/kiv-fuzz-XXXXXX";
  FUZZ_CHECK(::mkdtemp(Template.data()) != nullptr);
  Dir = Template + "/";
  std::atexit(RemoveDir);
  Server = new TKivServer(nullptr);  // never activated: its ticks are called here
  Server->SetUseTCP(false);
  Server->SetServerDir(Template);
  Server->OnRequest = AnswerRequest;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Bytes(reinterpret_cast<const char*>(Data), Size);
  const std::vector<std::string> Lines = SplitTextLines(Bytes);

  // The line reader: no line holds a line break, and writing the lines back
  // with LF gives the same lines.
  for (const std::string& Line : Lines) FUZZ_CHECK(Line.find_first_of("\r\n") == std::string::npos);
  std::string Rewritten;
  for (const std::string& Line : Lines) Rewritten += Line + "\n";
  FUZZ_CHECK(SplitTextLines(Rewritten) == Lines);

  // The request file, through the server's file tick.
  const std::string Base = Dir + "K1234567";
  WriteBytes(Base + ".REQ", Data, Size);
  Server->ReadFileTimerOnTimer();
  FUZZ_CHECK(!FileExists(Base + ".REQ"));  // taken once, served or not
  // Served when within the limits and the first line carries a priority digit.
  std::optional<int> Digit;
  if (Size <= MaxRequestFileSize() && !Lines.empty() && Lines.size() - 1 <= MaxRequestEntries())
    Digit = ParsePriorityChar(Lines.front());
  const int Queued = Server->QueueCount(1) + Server->QueueCount(2) + Server->QueueCount(3);
  FUZZ_CHECK(Queued == (Digit ? 1 : 0));
  Seen = THandlerSeen();
  Server->TimerOnTimer();
  FUZZ_CHECK(Seen.Ran == Digit.has_value() && Server->Idle());
  if (Digit) {
    FUZZ_CHECK(Seen.Priority == std::clamp(*Digit, 1, Server->MaxPriorities()));
    FUZZ_CHECK(Seen.BaseName == Base);
    FUZZ_CHECK(Seen.Entries == std::vector<std::string>(Lines.begin() + 1, Lines.end()));
    // The answer file, through the client's reader.
    FUZZ_CHECK(!FileExists(Base + ".AN1"));
    TAnswer Answer(nullptr);
    Answer.Lines = LoadTextLines(Base + ".ANS");
    if (Seen.Priority % 2 == 0) {
      FUZZ_CHECK(Answer.Lines == Seen.Entries);
    } else {
      std::vector<std::string> Texts;
      Answer.CopyToList(Texts);
      FUZZ_CHECK(Texts == Seen.Read);
    }
    DeleteFile(Base + ".ANS");
  }

  // The same bytes as an answer file.
  WriteBytes(Base + ".ANS", Data, Size);
  FUZZ_CHECK(LoadTextLines(Base + ".ANS") == Lines);
  DeleteFile(Base + ".ANS");
  FUZZ_CHECK(DirEmpty());
  return 0;
}
