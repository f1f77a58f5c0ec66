#include "toneKernel.h"

// On x86-64 Linux the compiler builds the passes once per listed instruction set and the
// loader picks the widest the processor runs. The source is the same and floating-point
// contraction stays off, so every path computes bit for bit what the portable one does.
#if defined(__x86_64__) && defined(__linux__) && !defined(__EMSCRIPTEN__)
#define SONICSEND_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define SONICSEND_VECTOR_CLONES
#endif

namespace sonicsend::synthesis {
namespace {

SONICSEND_VECTOR_CLONES void startPolynomial(const ToneStep& carrier, const Run& run) {
  startRun<PolynomialCosine>(carrier, run);
}

SONICSEND_VECTOR_CLONES void addPolynomial(const ToneStep& tone, const Run& run) {
  addToRun<PolynomialCosine>(tone, run);
}

}  // namespace

ToneKernel polynomialKernel() {
  return {&startPolynomial, &addPolynomial, PolynomialCosine::kMaxError};
}

}  // namespace sonicsend::synthesis
