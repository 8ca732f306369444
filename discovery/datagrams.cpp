// The datagrams of discovery and notification.
#include "discovery/datagrams.h"

#include <string_view>

namespace KivTrans2 {

namespace {

std::string MakeReply(const char* Prefix, const std::string& SeekKey, const std::string& IP,
                      const std::string& Name) {
  return Prefix + SeekKey + kIPDelimiter + IP + kNameDelimiter + Name + kEndDelimiter;
}

bool StartsWith(const std::string& Text, std::string_view Prefix) {
  return Text.size() >= Prefix.size() && Text.compare(0, Prefix.size(), Prefix) == 0;
}

// "@notify" and "@otherserverfound": the prefixes without their last character,
// which the recognisers do not examine.
constexpr std::string_view kNotifyKeyword =
    std::string_view(kNotifyPrefix).substr(0, sizeof kNotifyPrefix - 2);
constexpr std::string_view kOtherServerFoundKeyword =
    std::string_view(kOtherServerFoundPrefix).substr(0, sizeof kOtherServerFoundPrefix - 2);

}  // namespace

// --- Building ----------------------------------------------------------------------

std::string MakeSeekRequest(const std::string& SeekKey) {
  return kSeekPrefix + SeekKey;
}

std::string MakeServerFoundReply(const std::string& SeekKey, const std::string& IP,
                                 const std::string& Name) {
  return MakeReply(kServerFoundPrefix, SeekKey, IP, Name);
}

std::string MakeOtherServerRequest() {
  return kSeekOtherText;
}

std::string MakeOtherServerReply(const std::string& SeekKey, const std::string& IP,
                                 const std::string& Name) {
  return MakeReply(kOtherServerFoundPrefix, SeekKey, IP, Name);
}

std::string MakeNotification(const std::string& Data) {
  return kNotifyPrefix + Data;
}

// --- Taking apart ------------------------------------------------------------------

int DelimiterPosition(const std::string& Text, char Delimiter) {
  size_t At = Text.find(Delimiter);
  return At == std::string::npos ? 0 : static_cast<int>(At) + 1;
}

std::string FieldBetween(const std::string& Text, char A, char B) {
  const long Start = DelimiterPosition(Text, A) + 1L;
  const long Length = static_cast<long>(DelimiterPosition(Text, B)) - Start;
  if (Length <= 0 || Start > static_cast<long>(Text.size())) return "";
  return Text.substr(static_cast<size_t>(Start - 1), static_cast<size_t>(Length));
}

std::optional<TMachine> ParseServerFoundReply(const std::string& Text, const std::string& OwnKey) {
  const std::string Prefix = kServerFoundPrefix + OwnKey;
  if (Text.size() <= Prefix.size() || !StartsWith(Text, Prefix)) return std::nullopt;
  return TMachine(FieldBetween(Text, kIPDelimiter, kNameDelimiter),
                  FieldBetween(Text, kNameDelimiter, kEndDelimiter));
}

std::optional<TMachine> ParseOtherServerReply(const std::string& Text) {
  if (!StartsWith(Text, kOtherServerFoundKeyword)) return std::nullopt;
  TMachine M(FieldBetween(Text, kIPDelimiter, kNameDelimiter),
             FieldBetween(Text, kNameDelimiter, kEndDelimiter));
  M.SeekKey = FieldBetween(Text, kKeyDelimiter, kIPDelimiter);
  return M;
}

bool IsNotification(const std::string& Text) {
  return StartsWith(Text, kNotifyKeyword);
}

std::string NotificationData(const std::string& Text) {
  const size_t Skip = sizeof kNotifyPrefix - 1;
  return Text.size() > Skip ? Text.substr(Skip) : std::string();
}

bool IsSeekRequest(const std::string& Text, const std::string& OwnKey) {
  return Text == kSeekPrefix + OwnKey;
}

bool IsOtherServerRequest(const std::string& Text) {
  return StartsWith(Text, kSeekOtherText);
}

TServerDatagram ClassifyServerDatagram(const std::string& Text, const std::string& OwnKey) {
  if (IsNotification(Text)) return TServerDatagram::Notification;
  if (IsSeekRequest(Text, OwnKey)) return TServerDatagram::SeekRequest;
  if (IsOtherServerRequest(Text)) return TServerDatagram::OtherServerRequest;
  return TServerDatagram::Other;
}

}  // namespace KivTrans2
