// Fuzz target: the recognisers and parsers of the discovery and notification
// datagrams. The input is the receiver's own key, a NUL byte and the datagram,
// which is examined the way a server and a client examine what arrives. The
// datagram's first three NUL-separated pieces also serve as a key, an IP text
// and a host name, and the whole of it as notification data, that are built
// into messages and taken apart again.
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/datagrams.h"
#include "fuzz_support.h"

using namespace KivTrans2;

namespace {

std::vector<std::string> SplitAtNul(const std::string& Text) {
  std::vector<std::string> Parts{""};
  for (char C : Text) {
    if (C == '\0')
      Parts.emplace_back();
    else
      Parts.back() += C;
  }
  return Parts;
}

bool IsPartOf(const std::string& Field, const std::string& Text) {
  return Field.empty() || Text.find(Field) != std::string::npos;
}

bool StartsWith(const std::string& Text, const std::string& Prefix) {
  return Text.compare(0, Prefix.size(), Prefix) == 0;
}

bool HasDelimiter(const std::string& Text) {
  return Text.find_first_of("$|,^") != std::string::npos;
}

// What a server and a client make of any datagram.
void CheckReceived(const std::string& Text, const std::string& OwnKey) {
  const TServerDatagram Kind = ClassifyServerDatagram(Text, OwnKey);
  switch (Kind) {
    case TServerDatagram::Notification:
      FUZZ_CHECK(StartsWith(Text, "@notify"));
      FUZZ_CHECK(NotificationData(Text) == (Text.size() > 8 ? Text.substr(8) : ""));
      break;
    case TServerDatagram::SeekRequest:
      FUZZ_CHECK(Text == "@seek " + OwnKey);
      break;
    case TServerDatagram::OtherServerRequest:
      FUZZ_CHECK(StartsWith(Text, "@seekother"));
      break;
    case TServerDatagram::Other:
      FUZZ_CHECK(!IsNotification(Text) && !IsSeekRequest(Text, OwnKey) &&
                 !IsOtherServerRequest(Text));
      break;
  }

  if (auto Found = ParseServerFoundReply(Text, OwnKey)) {
    FUZZ_CHECK(StartsWith(Text, kServerFoundPrefix + OwnKey));
    FUZZ_CHECK(Text.size() > sizeof kServerFoundPrefix - 1 + OwnKey.size());
    FUZZ_CHECK(IsPartOf(Found->IP, Text) && IsPartOf(Found->Name, Text));
    FUZZ_CHECK(Found->SeekKey.empty());
  }
  if (auto Other = ParseOtherServerReply(Text)) {
    FUZZ_CHECK(StartsWith(Text, "@otherserverfound"));
    FUZZ_CHECK(IsPartOf(Other->IP, Text) && IsPartOf(Other->Name, Text) &&
               IsPartOf(Other->SeekKey, Text));
  }

  // Every pair of delimiters, also ones the messages never use in that order.
  for (char A : {'$', '|', ',', '^', '@'})
    for (char B : {'$', '|', ',', '^', '@'}) FUZZ_CHECK(IsPartOf(FieldBetween(Text, A, B), Text));
}

// Messages built from fields without delimiters come apart into those fields.
void CheckRoundTrip(const std::string& Key, const std::string& IP, const std::string& Name,
                    const std::string& Data) {
  FUZZ_CHECK(ClassifyServerDatagram(MakeNotification(Data), Key) == TServerDatagram::Notification);
  FUZZ_CHECK(NotificationData(MakeNotification(Data)) == Data);
  FUZZ_CHECK(ClassifyServerDatagram(MakeSeekRequest(Key), Key) == TServerDatagram::SeekRequest);
  FUZZ_CHECK(ClassifyServerDatagram(MakeOtherServerRequest(), Key) ==
             TServerDatagram::OtherServerRequest);
  if (HasDelimiter(Key) || HasDelimiter(IP) || HasDelimiter(Name)) return;
  auto Found = ParseServerFoundReply(MakeServerFoundReply(Key, IP, Name), Key);
  FUZZ_CHECK(Found && Found->IP == IP && Found->Name == Name);
  auto Other = ParseOtherServerReply(MakeOtherServerReply(Key, IP, Name));
  FUZZ_CHECK(Other && Other->SeekKey == Key && Other->IP == IP && Other->Name == Name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Input(reinterpret_cast<const char*>(Data), Size);
  const size_t Nul = Input.find('\0');
  const std::string OwnKey = Input.substr(0, Nul);
  const std::string Text = Nul == std::string::npos ? std::string() : Input.substr(Nul + 1);
  CheckReceived(Text, OwnKey);
  CheckReceived(OwnKey, Text);
  const std::vector<std::string> Parts = SplitAtNul(Text);
  auto Part = [&](size_t I) { return I < Parts.size() ? Parts[I] : std::string(); };
  CheckRoundTrip(Part(0), Part(1), Part(2), Text);
  return 0;
}
