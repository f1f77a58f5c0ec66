#include "platform/AudioSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace sonicsend::receiver {
namespace {

// The first bytes of a stream are kept: they hold every header libsndfile reads.
constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::size_t kCopyBytes = 64 * 1024;

std::string_view textOf(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
  if (at + size > bytes.size()) return {};
  return {reinterpret_cast<const char*>(bytes.data() + at), size};
}

std::uint32_t le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[at + i]} << (8 * i);
  return value;
}

std::uint64_t le64(std::span<const std::uint8_t> bytes, std::size_t at) {
  return le32(bytes, at) | std::uint64_t{le32(bytes, at + 4)} << 32;
}

// Formats whose readers seek back and forth, or look for chunks after the sound, so that a
// stream of them must be a file first. WAV is read as it comes.
bool needsSeeking(std::span<const std::uint8_t> head) {
  const std::string_view magic = textOf(head, 0, 4);
  for (const std::string_view seeking : {"fLaC", "OggS", "FORM", ".snd", "caff"}) {
    if (magic == seeking) return true;
  }
  return textOf(head, 0, 3) == "ID3";
}

// The data chunk of a WAV (or RF64) file whose header is in `head`: where its 32-bit size is,
// and the size (for RF64, the one in its "ds64" chunk).
struct WavData {
  sf_count_t sizeAt = 0;
  std::uint64_t size = 0;
  bool rf64 = false;
  // Streaming writers leave the size 0 or 0xFFFFFFFF; either is read as "to the end".
  bool sizeUnknown() const { return size == 0 || size == 0xFFFFFFFF; }
  sf_count_t end() const {
    const std::uint64_t bytes = sizeUnknown() ? 0xFFFFFFFF : size;
    return sizeAt + 4 + static_cast<sf_count_t>(std::min<std::uint64_t>(bytes, 1ull << 62));
  }
};

std::optional<WavData> wavData(std::span<const std::uint8_t> head) {
  const std::string_view riff = textOf(head, 0, 4);
  if ((riff != "RIFF" && riff != "RF64") || textOf(head, 8, 4) != "WAVE") return std::nullopt;
  std::uint64_t longSize = 0;  // from "ds64"
  for (std::size_t at = 12; at + 8 <= head.size();) {
    const std::uint32_t size = le32(head, at + 4);
    if (textOf(head, at, 4) == "ds64" && at + 24 <= head.size()) longSize = le64(head, at + 16);
    if (textOf(head, at, 4) == "data") {
      const bool inDs64 = riff == "RF64" && size == 0xFFFFFFFF;
      return WavData{static_cast<sf_count_t>(at + 4), inDs64 ? longSize : size, riff == "RF64"};
    }
    at += 8 + std::size_t{size} + (size & 1u);
  }
  return std::nullopt;
}

// Reads until `count` bytes or the end; the bytes read.
sf_count_t readFully(int fd, std::uint8_t* out, sf_count_t count) {
  sf_count_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(fd, out + done, static_cast<std::size_t>(count - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

bool writeFully(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

// A file with no name in the temporary directory: it goes away with its descriptor.
int unnamedTemporaryFile() {
  std::error_code error;
  const std::filesystem::path dir = std::filesystem::temp_directory_path(error);
  const std::string where = error ? "/tmp" : dir.string();
  const int fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || errno != EOPNOTSUPP) return fd;
  std::string name = where + "/.sonicsend-XXXXXX";  // a file system without O_TMPFILE
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return named;
}

}  // namespace

AudioSource::AudioSource(const std::filesystem::path& path) {
  const bool stdinput = path == "-";
  fd_ = stdinput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ownsFd_ = !stdinput && fd_ >= 0;
  struct stat status {};
  ok_ = fd_ >= 0 && fstat(fd_, &status) == 0 && !S_ISDIR(status.st_mode);
  if (!ok_) return;
  seekable_ = S_ISREG(status.st_mode) || S_ISBLK(status.st_mode);
  readHead();
  if (!seekable_ && needsSeeking(head_)) ok_ = spoolToTemporaryFile();
  const auto data = wavData(head_);
  if (data && data->size == 0 && !data->rf64) unknownSizeAt_ = data->sizeAt;
  // A stream ends where its WAV header says the data ends, so that libsndfile does not look
  // for chunks after the data by skipping it (which a stream cannot take back).
  if (data && !seekable_) streamLength_ = data->end();
  if (seekable_) head_.clear();
}

AudioSource::AudioSource(std::span<const std::uint8_t> bytes) : memory_(bytes) {
  const auto data = wavData(bytes.first(std::min(bytes.size(), kHeadBytes)));
  if (data && data->size == 0 && !data->rf64) unknownSizeAt_ = data->sizeAt;
}

AudioSource::~AudioSource() {
  if (ownsFd_) close(fd_);
}

void AudioSource::readHead() {
  head_.resize(kHeadBytes);
  const sf_count_t got = seekable_
                             ? std::max<ssize_t>(0, pread(fd_, head_.data(), head_.size(), 0))
                             : readFully(fd_, head_.data(), static_cast<sf_count_t>(head_.size()));
  head_.resize(static_cast<std::size_t>(got));
  if (!seekable_) streamed_ = got;
}

// Copies the head and the rest of the stream to an unnamed temporary file, read from then on:
// bounded by the disk, not by memory.
bool AudioSource::spoolToTemporaryFile() {
  const int file = unnamedTemporaryFile();
  if (file < 0) return false;
  bool written = writeFully(file, head_.data(), head_.size());
  std::vector<std::uint8_t> buffer(kCopyBytes);
  for (sf_count_t got = 0; written && (got = readFully(fd_, buffer.data(), kCopyBytes)) > 0;) {
    written = writeFully(file, buffer.data(), static_cast<std::size_t>(got));
  }
  if (ownsFd_) close(fd_);
  fd_ = file;
  ownsFd_ = true;
  seekable_ = true;
  return written;
}

// Bytes past the head of a stream come in order; a seek forward skips them, a seek back beyond
// the head fails.
sf_count_t AudioSource::readStream(std::uint8_t* out, sf_count_t count) {
  const auto head = static_cast<sf_count_t>(head_.size());
  sf_count_t done = 0;
  if (position_ < head) {
    done = std::min(count, head - position_);
    std::memcpy(out, head_.data() + position_, static_cast<std::size_t>(done));
  }
  if (done == count || position_ + done < streamed_) return done;
  std::vector<std::uint8_t> skipped(kCopyBytes);
  while (streamed_ < position_) {
    const sf_count_t got =
        readFully(fd_, skipped.data(), std::min<sf_count_t>(kCopyBytes, position_ - streamed_));
    if (got == 0) return 0;
    streamed_ += got;
  }
  const sf_count_t got = readFully(fd_, out + done, count - done);
  streamed_ += got;
  return done + got;
}

sf_count_t AudioSource::read(void* out, sf_count_t count) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  count = std::clamp<sf_count_t>(length() - position_, 0, count);
  sf_count_t got = 0;
  if (fd_ < 0) {
    got = count;
    if (got > 0) std::memcpy(bytes, memory_.data() + position_, static_cast<std::size_t>(got));
  } else if (seekable_) {
    while (got < count) {
      const ssize_t n = pread(fd_, bytes + got, static_cast<std::size_t>(count - got),
                              static_cast<off_t>(position_ + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += n;
    }
  } else {
    got = readStream(bytes, count);
  }
  if (unknownSizeAt_) {
    // The data size that says nothing reads as the largest one: libsndfile then reads the data
    // to the end of the file.
    for (sf_count_t i = std::max(*unknownSizeAt_, position_);
         i < std::min(*unknownSizeAt_ + 4, position_ + got); ++i) {
      bytes[i - position_] = 0xFF;
    }
  }
  position_ += got;
  return got;
}

sf_count_t AudioSource::seek(sf_count_t offset, int whence) {
  const sf_count_t base = whence == SEEK_CUR ? position_ : whence == SEEK_END ? length() : 0;
  const sf_count_t target = base + offset;
  const bool lost = !seekable_ && fd_ >= 0 && target < streamed_ &&
                    target >= static_cast<sf_count_t>(head_.size());
  if (target < 0 || target > length() || lost) return -1;
  return position_ = target;
}

sf_count_t AudioSource::length() const {
  if (fd_ < 0) return static_cast<sf_count_t>(memory_.size());
  if (!seekable_) return streamLength_;
  struct stat status {};
  return fstat(fd_, &status) == 0 ? status.st_size : 0;
}

SNDFILE* AudioSource::openSndfile(SF_INFO& info) {
  if (!ok_) return nullptr;
  static SF_VIRTUAL_IO io{
      [](void* user) { return of(user).length(); },
      [](sf_count_t offset, int whence, void* user) { return of(user).seek(offset, whence); },
      [](void* out, sf_count_t count, void* user) { return of(user).read(out, count); },
      [](const void*, sf_count_t, void*) -> sf_count_t { return 0; },
      [](void* user) { return of(user).position_; },
  };
  return sf_open_virtual(&io, SFM_READ, &info, this);
}

}  // namespace sonicsend::receiver
