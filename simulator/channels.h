// The channels the receiver is measured through, each a named row: what the sound goes through
// between the loudspeaker and the recording, how many passes of the loop are recorded, and
// whether the receiver must hear the message.
#pragma once

#include <functional>
#include <random>
#include <vector>

#include "channel.h"

namespace sonicsend::simulator {

struct Recording {
  std::vector<float> samples;
  int rate = kSampleRate;
};

struct ChannelRow {
  const char* name;
  int passes;
  // Takes the looped signal at 44 100 Hz.
  std::function<Recording(std::vector<float>, std::mt19937&)> effect;
  // false: beyond what the receiver promises; measured by the benchmark, and it must still
  // never give a wrong answer.
  bool mustDecode = true;
};

namespace detail {

inline Recording at44k(std::vector<float> samples) {
  return {std::move(samples), kSampleRate};
}

inline Recording captured(std::vector<float> samples, int rate) {
  return rate == kSampleRate ? at44k(std::move(samples))
                             : Recording{resampleTo(samples, rate), rate};
}

inline auto room(Room room, double snrDb, int rate = kSampleRate) {
  return [=](std::vector<float> s, std::mt19937& random) {
    s = inRoom(s, room, random);
    addNoise(s, snrDb, random);
    return captured(std::move(s), rate);
  };
}

inline auto noisy(double snrDb, int rate = kSampleRate) {
  return [=](std::vector<float> s, std::mt19937& random) {
    addNoise(s, snrDb, random);
    return captured(std::move(s), rate);
  };
}

// The recorder's clock `ppm` off, with white noise at SNR 10 dB.
inline auto offClock(double ppm, int rate = kSampleRate) {
  return [=](std::vector<float> s, std::mt19937& random) {
    return noisy(10.0, rate)(warpClock(s, ppm), random);
  };
}

inline auto throughCodec(Codec codec, double compression = 1.0) {
  return [=](std::vector<float> s, std::mt19937& random) {
    addNoise(s, 30.0, random);
    const int rate = codecRate(codec);
    if (rate != kSampleRate) s = resampleTo(s, rate);
    return Recording{codecRoundTrip(s, codec, compression), rate};
  };
}

}  // namespace detail

using ChannelEffect = std::function<Recording(std::vector<float>, std::mt19937&)>;

// `passes` passes of `sent` through `effect`, from a random place in the loop (from the start
// of a random frame for one pass, which then holds every frame whole). A second of the loop in
// front lets rooms ring as in a loop that has been playing; it is cut off again.
inline Recording record(const Sent& sent, int passes, const ChannelEffect& effect,
                        std::mt19937& random) {
  const std::size_t frames = sent.pass.size() / kFrameSamples;
  const std::size_t offset =
      passes == 1
          ? kFrameSamples * std::uniform_int_distribution<std::size_t>(0, frames - 1)(random)
          : std::uniform_int_distribution<std::size_t>(0, sent.pass.size() - 1)(random);
  const std::size_t preroll = kSampleRate;
  const std::size_t start = offset + sent.pass.size() * 4 - preroll % sent.pass.size();
  Recording recording =
      effect(loop(sent.pass, start, preroll + static_cast<std::size_t>(passes) * sent.pass.size()),
             random);
  const auto cut = std::min(recording.samples.size(),
                            preroll * static_cast<std::size_t>(recording.rate) / kSampleRate);
  recording.samples.erase(recording.samples.begin(),
                          recording.samples.begin() + static_cast<std::ptrdiff_t>(cut));
  return recording;
}

inline const std::vector<ChannelRow>& channelRows() {
  using namespace detail;
  using S = std::vector<float>;
  using R = std::mt19937;
  static const std::vector<ChannelRow> rows = {
      {"white noise, SNR -6 dB", 5, noisy(-6.0)},
      {"clock +1000 ppm, SNR 10 dB", 3, offClock(1000.0)},
      {"clock -1000 ppm, SNR 10 dB", 3, offClock(-1000.0)},
      // A capture clock set through a fractional divider, half a percent and a percent off.
      {"clock +5000 ppm, SNR 10 dB", 3, offClock(5000.0)},
      {"clock -5000 ppm, SNR 10 dB", 3, offClock(-5000.0)},
      {"clock +10000 ppm, SNR 10 dB", 3, offClock(10000.0)},
      {"clock -10000 ppm, SNR 10 dB", 3, offClock(-10000.0)},
      {"flutter 0.2 % at 4 Hz, SNR 10 dB", 3,
       [](S s, R& r) {
         s = warpClock(s, 0.0, 0.002, 4.0);
         return noisy(10.0)(std::move(s), r);
       }},
      {"hard clipping at a third of the peak", 3,
       [](S s, R&) {
         clip(s, 1.0f, 0.33f);
         return at44k(std::move(s));
       }},
      // A third of the symbols lose part of their sound in each pass. Dropouts at exact
      // intervals keep step with a loop of 2, 7, 9 or 11 frames, so that the same symbols are
      // lost in every pass; at random intervals they never stay in step, and within five
      // passes every symbol is heard whole at least once, nearly always.
      {"80 ms dropouts every 0.4 s", 3,
       [](S s, R& r) {
         addNoise(s, 20.0, r);
         dropOut(s, 0.080, 0.4);
         return at44k(std::move(s));
       },
       false},
      {"80 ms dropouts at random, every 0.4 s on average", 5,
       [](S s, R& r) {
         addNoise(s, 20.0, r);
         dropOutAtRandom(s, 0.080, 0.4, r);
         return at44k(std::move(s));
       }},
      {"2 kHz whistle 6 dB above the signal", 3,
       [](S s, R& r) {
         addNoise(s, 20.0, r);
         addWhistle(s, 2000.0, 6.0);
         return at44k(std::move(s));
       }},
      {"babble, SNR 0 dB", 3,
       [](S s, R& r) {
         addBabble(s, 0.0, r);
         return at44k(std::move(s));
       }},
      {"phone band 300-3400 Hz at 8 kHz, SNR 10 dB", 3,
       [](S s, R& r) {
         bandLimit(s, 300.0, 3400.0);
         return noisy(10.0, 8000)(std::move(s), r);
       }},
      {"capture at 8 kHz, SNR 5 dB", 3, noisy(5.0, 8000)},
      {"capture at 16 kHz, SNR 5 dB", 3, noisy(5.0, 16000)},
      {"capture at 22.05 kHz, SNR 5 dB", 3, noisy(5.0, 22050)},
      {"capture at 48 kHz, SNR 5 dB", 3, noisy(5.0, 48000)},
      {"Ogg Vorbis, lowest quality", 3, throughCodec(Codec::vorbis)},
      {"Ogg Opus at 16 kHz, compression level 0.9", 3, throughCodec(Codec::opus, 0.9)},
      {"A-law at 8 kHz", 3, throughCodec(Codec::alaw)},
      {"mu-law at 8 kHz", 3, throughCodec(Codec::ulaw)},
      {"living room: RT60 0.4 s, DRR +5 dB, SNR 15 dB", 3, room({0.4, 5.0}, 15.0)},
      {"hall: RT60 0.8 s, DRR 0 dB, SNR 15 dB", 3, room({0.8, 0.0}, 15.0)},
      {"small room, 16 kHz mic: RT60 0.5 s, DRR +3 dB, SNR 10 dB", 3,
       room({0.5, 3.0}, 10.0, 16000)},
      // Below what the tones survive: speech codecs that keep a voice's shape, not its tones.
      {"Ogg Opus at 16 kHz, lowest quality", 3, throughCodec(Codec::opus), false},
      {"GSM 06.10 at 8 kHz", 3, throughCodec(Codec::gsm), false},
  };
  return rows;
}

}  // namespace sonicsend::simulator
