// Audio files through libsndfile (their bytes from AudioSource): read block by block, mixed
// down to mono and fed to a stream decoder, so that memory stays bounded whatever the file's
// length.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "decoder.h"
#include "platform/AudioSource.h"

namespace sonicsend::receiver {
namespace {

// Samples read from a file at once, over all its channels.
constexpr std::size_t kReadBlockSamples = 1 << 16;

float finiteOrSilence(float sample) {
  return std::isfinite(sample) ? sample : 0.0f;
}

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// Mixes `frames` interleaved frames down to mono, each channel's non-finite samples silenced.
void mixDown(std::span<const float> interleaved, std::size_t channels, std::span<float> mono) {
  const float share = 1.0f / static_cast<float>(channels);
  for (std::size_t frame = 0; frame < mono.size(); ++frame) {
    float sum = 0.0f;
    for (std::size_t channel = 0; channel < channels; ++channel) {
      sum += finiteOrSilence(interleaved[frame * channels + channel]);
    }
    mono[frame] = sum * share;
  }
}

// Reads the open file block by block into a stream decoder, until its data ends.
DecodeResult decodeOpened(SNDFILE* file, const SF_INFO& info) {
  if (!file || info.channels < 1) return {std::nullopt, Failure::unreadable};
  if (!supportedRate(info.samplerate)) return {std::nullopt, Failure::unsupportedRate};
  const auto channels = static_cast<std::size_t>(info.channels);
  const std::size_t blockFrames = std::max<std::size_t>(1, kReadBlockSamples / channels);
  std::vector<float> interleaved(blockFrames * channels);
  std::vector<float> mono(blockFrames);
  StreamDecoder decoder(info.samplerate, StreamDecoder::Pace::file);
  bool heardAny = false;
  for (;;) {
    const sf_count_t got =
        sf_readf_float(file, interleaved.data(), static_cast<sf_count_t>(blockFrames));
    if (got <= 0) break;
    heardAny = true;
    const auto frames = static_cast<std::size_t>(got);
    mixDown(std::span(interleaved).first(frames * channels), channels,
            std::span(mono).first(frames));
    if (auto decoded = decoder.push(std::span(mono).first(frames))) {
      return {std::move(decoded), Failure::none};
    }
    if (!decoder.usable()) return {std::nullopt, decoder.lastFailure()};
  }
  if (!heardAny) return {std::nullopt, Failure::unreadable};
  if (auto decoded = decoder.finish()) return {std::move(decoded), Failure::none};
  return {std::nullopt, decoder.lastFailure()};
}

}  // namespace

DecodeResult decodeFile(const std::filesystem::path& path) noexcept {
  try {
    AudioSource source(path);
    SF_INFO info{};
    const SndfilePtr file(source.openSndfile(info));
    return decodeOpened(file.get(), info);
  } catch (const std::bad_alloc&) {
    return {std::nullopt, Failure::outOfMemory};
  }
}

DecodeResult decodeFileBytes(std::span<const std::uint8_t> bytes) noexcept {
  try {
    AudioSource source(bytes);
    SF_INFO info{};
    const SndfilePtr file(source.openSndfile(info));
    return decodeOpened(file.get(), info);
  } catch (const std::bad_alloc&) {
    return {std::nullopt, Failure::outOfMemory};
  }
}

}  // namespace sonicsend::receiver
