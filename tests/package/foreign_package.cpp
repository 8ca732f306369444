// Test support: another library that defines the KivTrans2 package's entry
// point names and two of the library's own functions, loaded into the global
// scope of the test process before the package. The package must keep calling
// its own definitions; these only count how often they are called instead.
#include <cstdint>

#define FOREIGN_API __attribute__((visibility("default")))

namespace {
int gCalls = 0;
}

extern "C" {
FOREIGN_API void Initialize(void) {
  ++gCalls;
}
FOREIGN_API void Finalize(void) {
  ++gCalls;
}
FOREIGN_API const void* GetPackageInfoTable(void) {
  ++gCalls;
  return nullptr;
}
FOREIGN_API int ForeignPackageCalls(void) {
  return gCalls;
}
}

namespace KivTrans2 {
FOREIGN_API void StartUpUnit() {
  ++gCalls;
}
FOREIGN_API void SetRequestCounter(int32_t) {
  ++gCalls;
}
}  // namespace KivTrans2
