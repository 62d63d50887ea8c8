// What the processor can do. The compiler's query reads CPUID and, for
// AVX2, whether the system saves the wide registers (XGETBV), the same on
// every operating system.
#include "platform/platform.h"

namespace platform {

bool HasAVX2() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
#else
  return false;
#endif
}

}  // namespace platform
