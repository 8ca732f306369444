// discovery/datagrams.h — the five UDP messages of discovery and notification,
// how each is built, recognised and taken apart, and TMachine, one server
// found. Public API (the command-line tool speaks these datagrams too).
//
// Every function here is pure (no shared state) and may be called on any thread.
// A datagram carries exactly one message: its text as bytes, one byte per
// character, nothing added. Texts are compared byte for byte, case-sensitively.
// Nothing is escaped: a key, IP text or host name that holds one of the
// delimiters "|", ",", "^" or "$" is sent as it is, and the parsers then cut at
// the first occurrence of the delimiter in the whole text.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "host/kiv_export.h"

namespace KivTrans2 {

// One server found by a search. Plain data, copyable; the lists that the
// searches return own their entries.
class KIV_API TMachine {
 public:
  // Stores IP and Name; SeekKey stays empty.
  TMachine(std::string AIP, std::string AName) : IP(std::move(AIP)), Name(std::move(AName)) {}

  std::string IP;       // the server's IP address text, as its reply carried it
  std::string Name;     // the server's host name, as its reply carried it
  std::string SeekKey;  // the server's key; filled only by the duplicate-server check
};

// The fixed parts of the messages.
inline constexpr char kSeekPrefix[] = "@seek ";
inline constexpr char kServerFoundPrefix[] = "@serverfound$";
inline constexpr char kSeekOtherText[] = "@seekother";
inline constexpr char kOtherServerFoundPrefix[] = "@otherserverfound$";
inline constexpr char kNotifyPrefix[] = "@notify ";

// Delimiters of the two replies: PREFIX$key|ip,name^
inline constexpr char kKeyDelimiter = '$';
inline constexpr char kIPDelimiter = '|';
inline constexpr char kNameDelimiter = ',';
inline constexpr char kEndDelimiter = '^';

// --- Building ----------------------------------------------------------------

// "@seek " + SeekKey: a client's broadcast search.
KIV_API std::string MakeSeekRequest(const std::string& SeekKey);
// "@serverfound$" + SeekKey + "|" + IP + "," + Name + "^": a server's answer to it.
KIV_API std::string MakeServerFoundReply(const std::string& SeekKey, const std::string& IP,
                                         const std::string& Name);
// "@seekother": a starting server asks every server to report itself.
KIV_API std::string MakeOtherServerRequest();
// "@otherserverfound$" + SeekKey + "|" + IP + "," + Name + "^": the answer to it.
KIV_API std::string MakeOtherServerReply(const std::string& SeekKey, const std::string& IP,
                                         const std::string& Name);
// "@notify " + Data, Data unchanged whatever bytes it holds.
KIV_API std::string MakeNotification(const std::string& Data);

// --- Taking apart ------------------------------------------------------------

// 1-based position of the first occurrence of Delimiter in Text; 0 when absent.
KIV_API int DelimiterPosition(const std::string& Text, char Delimiter);

// The field from delimiter A to delimiter B: the substring that starts at
// position(A) + 1 and is position(B) - position(A) - 1 characters long, cut off
// at the end of Text. Empty when that length is 0 or less, or when the start
// lies beyond the end of Text. An absent A counts as position 0, so the field
// then starts at the first character.
KIV_API std::string FieldBetween(const std::string& Text, char A, char B);

// A server-found reply for OwnKey: Text is at least one character longer than
// "@serverfound$" + OwnKey and begins with it (the character after it is not
// examined, so a reply for a longer key that begins with OwnKey is taken).
// Returns IP (from "|" to ",") and Name (from "," to "^") with an empty
// SeekKey, or nothing when Text is not such a reply.
KIV_API std::optional<TMachine> ParseServerFoundReply(const std::string& Text,
                                                      const std::string& OwnKey);

// An other-server reply: the first 17 characters are "@otherserverfound" (the
// "$" after them is not examined). Returns SeekKey (from "$" to "|"), IP (from
// "|" to ",") and Name (from "," to "^"), each possibly empty when delimiters
// are missing, or nothing when Text is not such a reply.
KIV_API std::optional<TMachine> ParseOtherServerReply(const std::string& Text);

// A notification: the first 7 characters are "@notify".
KIV_API bool IsNotification(const std::string& Text);
// Its data: everything from the 9th character on, empty for 8 characters or
// fewer. The 8th character (the blank) is not examined.
KIV_API std::string NotificationData(const std::string& Text);

// A seek request for OwnKey: the whole text equals "@seek " + OwnKey.
KIV_API bool IsSeekRequest(const std::string& Text, const std::string& OwnKey);

// An other-server request: the first 10 characters are "@seekother"; anything
// after them is ignored.
KIV_API bool IsOtherServerRequest(const std::string& Text);

// What a server makes of a datagram, checked in this order.
enum class TServerDatagram { Notification, SeekRequest, OtherServerRequest, Other };
KIV_API TServerDatagram ClassifyServerDatagram(const std::string& Text, const std::string& OwnKey);

}  // namespace KivTrans2
