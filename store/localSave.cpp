#include "localSave.h"

#include <ctime>
#include <utility>

#include <utf8.h>

#include "platform/dataDirectory.h"
#include "platform/files.h"
#include "storeLog.h"

using velarto::store::LogLevel;
using velarto::store::logLine;

namespace {

constexpr const char* kFileName = "localSave.json";

std::filesystem::path beside(const std::filesystem::path& file, const std::string& suffix) {
  return file.string() + suffix;
}

std::string unreadableSuffix() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", ::gmtime_r(&now, &utc));
  return std::string(".unreadable-") + stamp;
}

std::filesystem::path defaultStoreFile() {
  const auto directory = velarto::store::userDataDirectory();
  return directory.empty() ? std::filesystem::path{} : directory / kFileName;
}

// `value` with every leaf replaced by the same mask, so that its shape and member names can be
// logged without the keys.
ZKJson::Value masked(const ZKJson::Value& value) {
  if (value.is_object()) {
    auto result = ZKJson::Value::object();
    for (const auto& [name, member] : value.items()) result[name] = masked(member);
    return result;
  }
  if (value.is_array()) {
    auto result = ZKJson::Value::array();
    for (const auto& element : value) result.push_back(masked(element));
    return result;
  }
  return "***";
}

// How the text read is logged: its structure with the keys masked, only its size when it is
// not JSON, or only its number of members when there are too many to be worth a line.
std::string describeForLog(const std::optional<std::string>& text,
                           const std::optional<ZKJson::Value>& value) {
  constexpr std::size_t kMembersShown = 100;
  if (!text) return "(null)";
  if (value && value->size() > kMembersShown) {
    return "(" + std::to_string(value->size()) + " members)";
  }
  if (value) {
    if (auto rendering = ZKJson::toJsonString(masked(*value))) return *rendering;
  }
  return "(" + std::to_string(text->size()) + " bytes, not JSON)";
}

}  // namespace

localSave::localSave() : localSave(defaultStoreFile()) {}

localSave::localSave(std::filesystem::path file) : storeFile(std::move(file)) {
  load();
}

localSave::~localSave() {
  save();
}

void localSave::saveSsid(const std::string& ssid, const std::string& key) {
  // Text that is not UTF-8 cannot be written as JSON; keeping it would make every later save of
  // this run fail.
  if (!utf8::is_valid(ssid.begin(), ssid.end()) || !utf8::is_valid(key.begin(), key.end())) {
    logLine(LogLevel::warning, "not stored: the SSID or key is not UTF-8 text");
    return;
  }
  unsaved_[ssid] = key;
  mDiction[ssid] = key;
  lastFailure_.clear();  // a new pair is worth a line of its own
  save();
}

std::optional<std::string> localSave::getKeyBySsid(const std::string& ssid) const {
  const auto member = mDiction.find(ssid);
  if (member == mDiction.end() || !member->is_string()) return std::nullopt;
  return member->get<std::string>();
}

void localSave::save() {
  if (unsaved_.empty()) return;
  const velarto::store::FileLock lock(beside(storeFile, ".lock"));
  if (!lockedOrUnsupported(lock)) return;
  bool unreadable = false;
  auto current = reread(unreadable);
  if (!current) return;
  bool changed = unreadable;
  for (const auto& [ssid, key] : unsaved_.items()) {
    auto& stored = (*current)[ssid];
    changed = changed || stored != key;
    stored = key;
  }
  mDiction = std::move(*current);
  if (changed && !write()) return;
  unsaved_ = ZKJson::Value::object();
  lastFailure_.clear();
}

bool localSave::lockedOrUnsupported(const velarto::store::FileLock& lock) {
  const std::string name = beside(storeFile, ".lock").filename().string();
  if (!lock.error()) return true;
  if (lock.busy()) {
    couldNotWrite("another process holds " + name);
    return false;
  }
  if (!lock.unsupported()) {
    couldNotWrite("no lock (" + lock.error().message() + ")");
    return false;
  }
  if (!std::exchange(unlockedNoted_, true)) {
    logLine(LogLevel::warning, "saving " + storeFile.string() + " without a lock: " + name +
                                   " cannot be locked here (" + lock.error().message() + ")");
  }
  return true;
}

// The mapping the file holds now: empty when there is no file. A file that cannot be read as
// an object is kept beside under a new name, and this store's own mapping stands in for it
// (`unreadable`); none when it cannot be kept.
std::optional<ZKJson::Value> localSave::reread(bool& unreadable) {
  std::error_code error;
  const auto text = velarto::store::readWholeFile(storeFile, &error);
  if (!text && error == std::errc::no_such_file_or_directory) return ZKJson::Value::object();
  if (auto value = text ? ZKJson::toJsonValue(*text) : std::nullopt; value && value->is_object()) {
    return value;
  }
  unreadable = true;
  if (text && text == keptAside_) return mDiction;  // kept already, by a save that then failed
  const auto kept =
      velarto::store::keepAside(storeFile, beside(storeFile, unreadableSuffix()), text, error);
  if (!kept) {
    couldNotWrite("it cannot be read and cannot be kept aside (" + error.message() + ")");
    return std::nullopt;
  }
  logLine(LogLevel::warning,
          storeFile.string() + " could not be read; it is kept as " + kept->string());
  keptAside_ = text;
  return mDiction;
}

bool localSave::write() {
  const auto text = ZKJson::toJsonString(mDiction);
  if (!text) {
    couldNotWrite("the stored keys are not JSON text");
    return false;
  }
  if (const auto error = velarto::store::writeFileAtomically(storeFile, *text)) {
    couldNotWrite(error.message());
    return false;
  }
  return true;
}

// Logs a save that failed, once for each new pair and each new reason: a retry that fails as
// the last one did adds no line.
void localSave::couldNotWrite(const std::string& reason) {
  std::string line = "could not write " + storeFile.string() + ": " + reason;
  if (line == lastFailure_) return;
  logLine(LogLevel::warning, line + "; the keys are kept for a later save");
  lastFailure_ = std::move(line);
}

void localSave::load() {
  const auto text = velarto::store::readWholeFile(storeFile);
  auto value = text ? ZKJson::toJsonValue(*text) : std::nullopt;
  logLine(LogLevel::info, "read from " + describeForLog(text, value));
  mDiction = makeMutable(std::move(value));
  for (const auto& [ssid, key] : unsaved_.items()) mDiction[ssid] = key;
}

ZKJson::Value localSave::makeMutable(std::optional<ZKJson::Value> dictionary) {
  if (!dictionary || !dictionary->is_object()) return ZKJson::Value::object();
  return std::move(*dictionary);
}
