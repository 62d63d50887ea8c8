// What the processor can do, asked of the processor itself (CPUID), and
// whether the system saves the wide registers (XGETBV), the same on every
// operating system: no compiler runtime's processor model is needed.
#include "platform/platform.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace platform {

bool HasAVX2() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  static const bool have = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    // AVX, and the system's XSAVE support (OSXSAVE), before XGETBV may run.
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 6) != 6) return false;  // the system saves SSE and AVX state
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
  }();
  return have;
#else
  return false;
#endif
}

}  // namespace platform
