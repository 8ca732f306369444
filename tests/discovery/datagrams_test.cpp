#include "discovery/datagrams.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace KivTrans2 {
namespace {

using namespace std::string_literals;

TEST(DatagramTest, BuildersGiveTheExactTexts) {
  const std::string Reply = MakeServerFoundReply("north", "192.168.1.20", "hal");
  EXPECT_EQ(Reply, "@serverfound$north|192.168.1.20,hal^");
  EXPECT_EQ(Reply.size(), 36u);
  EXPECT_EQ(MakeOtherServerReply("north", "192.168.1.20", "hal"),
            "@otherserverfound$north|192.168.1.20,hal^");
  EXPECT_EQ(MakeSeekRequest("north"), "@seek north");
  EXPECT_EQ(MakeSeekRequest(""), "@seek ");
  EXPECT_EQ(MakeOtherServerRequest(), "@seekother");
  EXPECT_EQ(MakeNotification(""), "@notify ");
  // Data goes as it is: line breaks, the data-line marker, a NUL byte.
  EXPECT_EQ(MakeNotification("a\r\nb\xD7\0c"s), "@notify a\r\nb\xD7\0c"s);
  // Nothing is escaped.
  EXPECT_EQ(MakeServerFoundReply("a|b", "1,2", "h^$"), "@serverfound$a|b|1,2,h^$^");
}

TEST(DatagramTest, FieldsLieBetweenTheFirstOccurrencesOfTheirDelimiters) {
  struct Case {
    std::string Text;
    char A, B;
    std::string Field;
  } Cases[] = {
      {"x|ip,name^", '|', ',', "ip"},
      {"x|a|b,c,d^", '|', ',', "a|b"},  // first occurrences only
      {"x,name^", '|', ',', "x"},       // no A: from the first character on
      {"x|ip", '|', ',', ""},           // no B
      {"x,a|b", '|', ',', ""},          // B before A
      {"x|,", '|', ',', ""},            // adjacent
      {"", '|', ',', ""},
  };
  for (const Case& C : Cases) EXPECT_EQ(FieldBetween(C.Text, C.A, C.B), C.Field) << C.Text;
  EXPECT_EQ(DelimiterPosition("a|b|c", '|'), 2);
  EXPECT_EQ(DelimiterPosition("|", '|'), 1);
  EXPECT_EQ(DelimiterPosition("abc", '|'), 0);
}

TEST(DatagramTest, ServerFoundReplies) {
  struct Case {
    std::string OwnKey, Text;
    bool Accepted;
    std::string IP, Name;
  } Cases[] = {
      {"north", "@serverfound$north|192.168.1.20,hal^", true, "192.168.1.20", "hal"},
      // A reply for a key that extends the own key is taken.
      {"ab", "@serverfound$abc|10.0.0.5,hal^", true, "10.0.0.5", "hal"},
      // Exactly the prefix is not; one character more is.
      {"ab", "@serverfound$ab", false, "", ""},
      {"ab", "@serverfound$ab|", true, "", ""},
      // Without ",": no IP, and the name runs from the first character to "^".
      {"ab", "@serverfound$ab|10.0.0.5hal^", true, "", "@serverfound$ab|10.0.0.5hal"},
      // Without "^": no name.
      {"ab", "@serverfound$ab|10.0.0.5,hal", true, "10.0.0.5", ""},
      // A "|" inside the key: the IP starts after it.
      {"a|b", "@serverfound$a|b|10.0.0.5,hal^", true, "b|10.0.0.5", "hal"},
      {"", "@serverfound$|10.0.0.5,hal^", true, "10.0.0.5", "hal"},
      // Case matters, in the key and in the keyword.
      {"North", "@serverfound$north|10.0.0.5,hal^", false, "", ""},
      {"ab", "@ServerFound$ab|10.0.0.5,hal^", false, "", ""},
      {"ab", "@serverfound$a|10.0.0.5,hal^", false, "", ""},
      {"ab", "@otherserverfound$ab|10.0.0.5,hal^", false, "", ""},
      {"ab", "", false, "", ""},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.OwnKey + " / " + C.Text);
    std::optional<TMachine> M = ParseServerFoundReply(C.Text, C.OwnKey);
    ASSERT_EQ(M.has_value(), C.Accepted);
    if (!M) continue;
    EXPECT_EQ(M->IP, C.IP);
    EXPECT_EQ(M->Name, C.Name);
    EXPECT_EQ(M->SeekKey, "");
  }
}

TEST(DatagramTest, OtherServerReplies) {
  struct Case {
    std::string Text;
    bool Accepted;
    std::string Key, IP, Name;
  } Cases[] = {
      {"@otherserverfound$north|192.168.1.20,hal^", true, "north", "192.168.1.20", "hal"},
      {"@otherserverfound$|10.0.0.5,hal^", true, "", "10.0.0.5", "hal"},
      // The "$" is not examined; without it the key runs from the first character.
      {"@otherserverfoundXnorth|10.0.0.5,hal^", true, "@otherserverfoundXnorth", "10.0.0.5", "hal"},
      // Missing delimiters leave empty fields, the entry is still taken.
      {"@otherserverfound", true, "", "", ""},
      {"@otherserverfound$north", true, "", "", ""},
      {"@otherserverfound$a|b|10.0.0.5,hal^", true, "a", "b|10.0.0.5", "hal"},
      {"@otherserverfoun", false, "", "", ""},
      {"@OtherServerFound$north|10.0.0.5,hal^", false, "", "", ""},
      {"@serverfound$north|10.0.0.5,hal^", false, "", "", ""},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    std::optional<TMachine> M = ParseOtherServerReply(C.Text);
    ASSERT_EQ(M.has_value(), C.Accepted);
    if (!M) continue;
    EXPECT_EQ(M->SeekKey, C.Key);
    EXPECT_EQ(M->IP, C.IP);
    EXPECT_EQ(M->Name, C.Name);
  }
}

TEST(DatagramTest, WhatAServerMakesOfADatagram) {
  using K = TServerDatagram;
  struct Case {
    std::string OwnKey, Text;
    K Kind;
    std::string Data;  // notifications only
  } Cases[] = {
      {"north", "@notify hello", K::Notification, "hello"},
      {"north", "@notify", K::Notification, ""},
      {"north", "@notify ", K::Notification, ""},
      {"north", "@notifyXhello", K::Notification, "hello"},  // the 8th character is skipped
      {"north", "@notify a\r\nb", K::Notification, "a\r\nb"},
      {"north", "@notify @seek north", K::Notification, "@seek north"},  // checked first
      {"north", "@notif", K::Other, ""},
      {"north", "@Notify hello", K::Other, ""},
      {"north", "@seek north", K::SeekRequest, ""},
      {"north", "@seek north ", K::Other, ""},
      {"north", "@seek North", K::Other, ""},
      {"north", "@seek nort", K::Other, ""},
      {"north", "@seek ", K::Other, ""},
      {"", "@seek ", K::SeekRequest, ""},
      {"", "@seek", K::Other, ""},
      {"north", "@seekother", K::OtherServerRequest, ""},
      {"north", "@seekother and more", K::OtherServerRequest, ""},
      {"north", "@seekothe", K::Other, ""},
      {"north", "@SeekOther", K::Other, ""},
      {"north", "", K::Other, ""},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.OwnKey + " / " + C.Text);
    EXPECT_EQ(ClassifyServerDatagram(C.Text, C.OwnKey), C.Kind);
    if (C.Kind == K::Notification) {
      EXPECT_EQ(NotificationData(C.Text), C.Data);
    }
  }
}

}  // namespace
}  // namespace KivTrans2
