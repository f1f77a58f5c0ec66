// The two ways to the tone signal inside the library: the libm path, which computes every
// sample straight from its definition, and the fast path, which computes the same samples
// bit for bit with vectorised tone passes and falls back to the libm path for the rare sample
// whose rounding those passes cannot settle. synthesize() takes the fast path.
#pragma once

#include <optional>
#include <span>

#include "encoder.h"
#include "toneKernel.h"

namespace sonicsend::synthesis {

// Sample `i` of a symbol that carries `byte` on the even (0) or odd (1) carrier: the carrier
// and then the tone of every set bit and the parity tone, each with libm cos, rounded to
// single precision after the carrier and after every addition.
float libmSample(int i, std::uint8_t byte, int carrier);

// The libm path, sample by sample; the same contract as synthesize().
std::optional<int> synthesizeWithLibm(const MessageBuffer& message, std::span<float> signal);

// One run of samples inside a symbol that carries `byte` on `carrier`: the kernel's passes in
// the libm path's order of tones, then libm for every sample they leave unsure. Returns the
// number of samples that fell back to libm. At most kSymbolSamples samples.
long synthesizeRun(const ToneKernel& kernel, std::uint8_t byte, int carrier, const Run& run);

struct FastSettings {
  ToneKernel kernel = polynomialKernel();
  int threads = 0;  // 0: one per core
};

struct FastOutcome {
  int samples = 0;
  long fallbacks = 0;  // samples recomputed with libm cos
};

// The fast path; the same contract and the same samples as synthesizeWithLibm() whenever the
// kernel keeps within its error bound.
std::optional<FastOutcome> synthesizeFast(const MessageBuffer& message, std::span<float> signal,
                                          const FastSettings& settings = {});

}  // namespace sonicsend::synthesis
