#include "localSave.h"

#include <cstdio>
#include <string_view>
#include <utility>

#include <utf8.h>

#include "platform/dataDirectory.h"
#include "platform/files.h"

namespace {

constexpr const char* kFileName = "localSave.json";

void logLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
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

// How the text read is logged: its structure with the keys masked, or only its size when it is
// not JSON.
std::string describeForLog(const std::optional<std::string>& text,
                           const std::optional<ZKJson::Value>& value) {
  if (!text) return "(null)";
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

void localSave::saveSsid(const std::string& ssid, const std::string& key) {
  // Text that is not UTF-8 cannot be written as JSON; keeping it would make every later save of
  // this run fail.
  if (!utf8::is_valid(ssid.begin(), ssid.end()) || !utf8::is_valid(key.begin(), key.end())) {
    logLine("not stored: the SSID or key is not UTF-8 text");
    return;
  }
  if (getKeyBySsid(ssid) == key) return;
  mDiction[ssid] = key;
  save();
}

std::optional<std::string> localSave::getKeyBySsid(const std::string& ssid) const {
  const auto member = mDiction.find(ssid);
  if (member == mDiction.end() || !member->is_string()) return std::nullopt;
  return member->get<std::string>();
}

void localSave::save() {
  const auto text = ZKJson::toJsonString(mDiction);
  if (!text) {
    logLine("could not write " + storeFile.string() + ": the stored keys are not JSON text");
    return;
  }
  if (const auto error = velarto::store::writeFileAtomically(storeFile, *text)) {
    logLine("could not write " + storeFile.string() + ": " + error.message());
  }
}

void localSave::load() {
  const auto text = velarto::store::readWholeFile(storeFile);
  const auto value = text ? ZKJson::toJsonValue(*text) : std::nullopt;
  logLine("read from " + describeForLog(text, value));
  mDiction = makeMutable(value);
}

ZKJson::Value localSave::makeMutable(const std::optional<ZKJson::Value>& dictionary) {
  if (!dictionary || !dictionary->is_object()) return ZKJson::Value::object();
  return copyObject(*dictionary);
}

ZKJson::Value localSave::copyObject(const ZKJson::Value& dictionary) {
  auto result = ZKJson::Value::object();
  for (const auto& [name, value] : dictionary.items()) {
    result[name] = value.is_object() ? copyObject(value) : value;
  }
  return result;
}
