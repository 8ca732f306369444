// Text conversion, time and chance.
#include "host/sysutils.h"

#include <time.h>

#include <chrono>
#include <climits>
#include <mutex>
#include <random>

#include "host/exceptions.h"

namespace KivTrans2 {

int32_t StrToInt(const std::string& Text) {
  size_t I = 0;
  bool Negative = false;
  if (I < Text.size() && (Text[I] == '-' || Text[I] == '+')) {
    Negative = Text[I] == '-';
    ++I;
  }
  if (I == Text.size()) throw EConvertError("'" + Text + "' is not a valid integer value");
  int64_t Value = 0;
  for (; I < Text.size(); ++I) {
    char C = Text[I];
    if (C < '0' || C > '9') throw EConvertError("'" + Text + "' is not a valid integer value");
    Value = Value * 10 + (C - '0');
    if (Value > static_cast<int64_t>(INT32_MAX) + 1)
      throw EConvertError("'" + Text + "' is not a valid integer value");
  }
  if (Negative) Value = -Value;
  if (Value > INT32_MAX || Value < INT32_MIN)
    throw EConvertError("'" + Text + "' is not a valid integer value");
  return static_cast<int32_t>(Value);
}

std::string IntToStr(int64_t Value) { return std::to_string(Value); }

namespace {
bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 0x20; }
}  // namespace

std::string Trim(const std::string& Text) {
  size_t B = 0, E = Text.size();
  while (B < E && IsBlank(Text[B])) ++B;
  while (E > B && IsBlank(Text[E - 1])) --E;
  return Text.substr(B, E - B);
}

std::string TrimLeft(const std::string& Text) {
  size_t B = 0;
  while (B < Text.size() && IsBlank(Text[B])) ++B;
  return Text.substr(B);
}

double Now() {
  using namespace std::chrono;
  auto Since = system_clock::now().time_since_epoch();
  time_t Secs = duration_cast<seconds>(Since).count();
  double Frac = duration_cast<microseconds>(Since).count() % 1000000 / 1e6;
  struct tm Local;
  localtime_r(&Secs, &Local);
  // Days from 1899-12-30 to 1970-01-01 are 25569; shift by the local offset.
  double LocalSecs = static_cast<double>(Secs) + Local.tm_gmtoff + Frac;
  return 25569.0 + LocalSecs / 86400.0;
}

int64_t TickCountMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {
std::mutex& RandomLock() {
  static std::mutex Lock;
  return Lock;
}
std::mt19937& Generator() {  // GUARDED_BY(RandomLock())
  static std::mt19937 Gen(12345u);
  return Gen;
}
}  // namespace

void Randomize() {
  auto Seed = static_cast<uint32_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count() ^
      (std::random_device{}() << 1));
  RandSeed(Seed);
}

void RandSeed(uint32_t Seed) {
  std::lock_guard<std::mutex> Lock(RandomLock());
  Generator().seed(Seed);
}

int Random(int N) {
  if (N <= 1) return 0;
  std::lock_guard<std::mutex> Lock(RandomLock());
  std::uniform_int_distribution<int> Dist(0, N - 1);
  return Dist(Generator());
}

}  // namespace KivTrans2
