// What the processor can do, asked of the processor (CPUID) and of whether
// the system saves the wide registers (XGETBV): no compiler runtime needed;
// and how many conversions share the processors, over each system's places.
#include "platform/platform.h"

platform::Conversion::Conversion() {
  const int processors = Processors();
  int others = 0;
  for (int k = 0; k < processors; ++k) {
    const intptr_t place = TakePlace(k);
    others += place == kHeld;
    if (place >= 0 && place_ < 0)
      place_ = place;
    else if (place >= 0)
      Leave(place);
  }
  spare_ = others + 1 < processors;
}

platform::Conversion::~Conversion() {
  if (place_ >= 0) Leave(place_);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>

bool platform::HasAVX2() {
  static const bool have = [] {
    unsigned a = 0, b = 0, c = 0, d = 0, low = 0, high = 0;
    // AVX, and the system's XSAVE (OSXSAVE), before XGETBV may run.
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    // The system saves SSE and AVX state, and the processor has AVX2.
    return (low & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
  }();
  return have;
}
#else
bool platform::HasAVX2() { return false; }
#endif
