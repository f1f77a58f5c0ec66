#include "toneKernel.h"

// On x86-64 the passes are also built for AVX2, which the first call picks when the processor
// and the system support it: it doubles the vector width of the baseline (SSE2) and halves
// the time. The source is the same and floating-point contraction stays off, so both builds
// compute bit for bit the same samples. (An AVX-512 build gained about 5 % with GCC 12, not
// enough to keep.) The choice is made in ordinary code rather than by the loader (an ifunc),
// whose resolver would run before a sanitizer's runtime is ready.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(__EMSCRIPTEN__)
#define SONICSEND_AVX2_PASSES 1
#else
#define SONICSEND_AVX2_PASSES 0
#endif

namespace sonicsend::synthesis {
namespace {

void startPortable(const ToneStep& carrier, const Run& run) {
  startRun<PolynomialCosine>(carrier, run);
}
void addPortable(const ToneStep& tone, const Run& run) {
  addToRun<PolynomialCosine>(tone, run);
}

#if SONICSEND_AVX2_PASSES
__attribute__((target("avx2"))) void startAvx2(const ToneStep& carrier, const Run& run) {
  startRun<PolynomialCosine>(carrier, run);
}
__attribute__((target("avx2"))) void addAvx2(const ToneStep& tone, const Run& run) {
  addToRun<PolynomialCosine>(tone, run);
}
#endif

ToneKernel chooseKernel() {
  constexpr double bound = PolynomialCosine::kMaxError;
#if SONICSEND_AVX2_PASSES
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return {&startAvx2, &addAvx2, bound};
#endif
  return {&startPortable, &addPortable, bound};
}

}  // namespace

ToneKernel polynomialKernel() {
  static const ToneKernel kernel = chooseKernel();
  return kernel;
}

}  // namespace sonicsend::synthesis
