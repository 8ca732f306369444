#include "host/sysutils.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>

#include "host/exceptions.h"

namespace KivTrans2 {
namespace {

TEST(StrToIntTest, AcceptsOnlyStrictDecimal) {
  struct {
    const char* Text;
    int32_t Value;
  } Good[] = {{"0", 0}, {"17", 17}, {"-5", -5}, {"+8", 8}, {"007", 7},
              {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}};
  for (const auto& G : Good) EXPECT_EQ(StrToInt(G.Text), G.Value) << G.Text;
  for (const char* Bad : {"", "-", "+", " 1", "1 ", "1a", "0x10", "$10", "2147483648",
                          "-2147483649", "99999999999999999999"})
    EXPECT_THROW(StrToInt(Bad), EConvertError) << Bad;
}

TEST(TrimTest, RemovesBlanksAndControlBytes) {
  EXPECT_EQ(Trim(" \t\r\n x y \x01"), "x y");
  EXPECT_EQ(Trim("\x20\x20"), "");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(Trim("\xD7 a"), "\xD7 a");  // 0xD7 is not blank
}

TEST(NowTest, CountsDaysSince1899WithTheTimeAsFraction) {
  double Days = Now();
  std::time_t T = std::time(nullptr);
  std::tm Local;
  localtime_r(&T, &Local);
  double Expected = 25569.0 + (static_cast<double>(T) + Local.tm_gmtoff) / 86400.0;
  EXPECT_NEAR(Days, Expected, 5.0 / 86400.0);
}

TEST(RandomTest, StaysInRangeAndRepeatsForASeed) {
  RandSeed(42);
  std::vector<int> First;
  for (int I = 0; I < 20; ++I) First.push_back(Random(10000));
  RandSeed(42);
  for (int I = 0; I < 20; ++I) EXPECT_EQ(Random(10000), First[static_cast<size_t>(I)]);
  std::set<int> Seen;
  for (int I = 0; I < 2000; ++I) {
    int R = Random(26);
    ASSERT_GE(R, 0);
    ASSERT_LT(R, 26);
    Seen.insert(R);
  }
  EXPECT_EQ(Seen.size(), 26u);
  Randomize();
}

}  // namespace
}  // namespace KivTrans2
