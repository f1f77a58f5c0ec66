// Decodes a channel simulator's recording on the listening core inside the emulated
// Cortex-M4F (scripts/mcu-decode.sh), for the device tests and the budget benchmark.
#pragma once

#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "channels.h"
#include "runCli.h"

namespace sonicsend::testing {

struct DeviceRun {
  int status = -1;        // mcu-decode.sh's: 0 heard, 1 not heard, 2 could not run
  nlohmann::json report;  // its JSON line
  std::string err;
};

// Writes `recording` as a float WAV at its own rate and decodes it on the firmware at `rate`,
// with the script's further `options`.
inline DeviceRun decodeOnDevice(const simulator::Recording& recording, int rate,
                                const std::string& script, const std::string& firmware,
                                const std::vector<std::string>& options = {}) {
  const auto path =
      std::filesystem::temp_directory_path() / ("on-device-" + std::to_string(getpid()) + ".wav");
  SF_INFO info{0, recording.rate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return {-1, {}, "cannot write " + path.string()};
  sf_writef_float(file, recording.samples.data(),
                  static_cast<sf_count_t>(recording.samples.size()));
  sf_close(file);
  std::vector<std::string> arguments = {path.string(), "--rate", std::to_string(rate), "--firmware",
                                        firmware};
  arguments.insert(arguments.end(), options.begin(), options.end());
  const CliRun run = runCli(script, arguments);
  std::filesystem::remove(path);
  DeviceRun result{run.status, nlohmann::json::parse(run.out, nullptr, false), run.err};
  return result;
}

// Bytes as the characters U+0000 ... U+00FF, in UTF-8: how the JSON carries them.
inline std::string utf8OfBytes(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

// Whether the device heard exactly the credentials sent.
inline bool heardOnDevice(const DeviceRun& run, const simulator::Sent& sent) {
  const auto& report = run.report;
  return run.status == 0 && report.is_object() && report["ssid"].is_string() &&
         report["key"].is_string() && report["ssid"].get<std::string>() == utf8OfBytes(sent.ssid) &&
         report["key"].get<std::string>() == utf8OfBytes(sent.key);
}

}  // namespace sonicsend::testing
