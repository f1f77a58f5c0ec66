// The bytes of an audio file as libsndfile's virtual I/O reads them: a file, standard input, or
// bytes in memory. Standard input is read as it comes (a recording is decoded while it is still
// being written), except the formats whose readers need to seek (FLAC, Ogg), which are first
// copied to an unnamed temporary file. A WAV header left by a streaming writer, its data size
// 0 or 0xFFFFFFFF, is read as "to the end of the file". Nothing here throws.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace sonicsend::receiver {

class AudioSource {
 public:
  // The file at `path`, or standard input for "-"; ok() is false when it cannot be read.
  explicit AudioSource(const std::filesystem::path& path);
  explicit AudioSource(std::span<const std::uint8_t> bytes);
  ~AudioSource();
  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;

  bool ok() const { return ok_; }
  // Opens the bytes for reading with libsndfile; null when they hold no audio it can read.
  SNDFILE* openSndfile(SF_INFO& info);

 private:
  void readHead();
  bool spoolToTemporaryFile();
  sf_count_t read(void* out, sf_count_t count);
  sf_count_t readStream(std::uint8_t* out, sf_count_t count);
  sf_count_t seek(sf_count_t offset, int whence);
  sf_count_t length() const;

  static AudioSource& of(void* user) { return *static_cast<AudioSource*>(user); }

  int fd_ = -1;
  bool ownsFd_ = false;
  bool seekable_ = false;
  bool ok_ = true;
  std::span<const std::uint8_t> memory_;
  std::vector<std::uint8_t> head_;  // the first bytes of a stream, where libsndfile may seek
  sf_count_t streamed_ = 0;         // bytes taken from a stream so far
  sf_count_t position_ = 0;
  std::optional<sf_count_t> unknownSizeAt_;  // a WAV data size of 0, read as 0xFFFFFFFF
  // As far as a stream is known to go: the end of its WAV data, else as long as it goes on.
  sf_count_t streamLength_ = std::numeric_limits<sf_count_t>::max();
};

}  // namespace sonicsend::receiver
