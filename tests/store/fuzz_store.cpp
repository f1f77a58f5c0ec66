// Arbitrary bytes through the store's reading path: toJsonValue, makeMutable and getKeyBySsid,
// both directly and as the content of a stored keys file.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "ZKJson.h"
#include "localSave.h"
#include "storeTestSupport.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

const std::filesystem::path& scratchFile() {
  static const TemporaryDirectory directory;
  static const auto file = directory.path() / "localSave.json";
  return file;
}

// What the store writes reads back as the same text, and keeps every string member.
void checkWritesBack(const ZKJson::Value& dictionary) {
  const auto text = ZKJson::toJsonString(dictionary);
  check(text.has_value());
  const auto readBack = ZKJson::toJsonValue(*text);
  check(readBack.has_value() && ZKJson::toJsonString(*readBack) == text);
  for (const auto& [ssid, key] : dictionary.items()) {
    if (key.is_string()) check(readBack->at(ssid) == key);
  }
}

// A store reading `text` from its file finds each string member and no other.
void checkLookups(std::string_view text, const ZKJson::Value& dictionary) {
  std::ofstream(scratchFile(), std::ios::binary | std::ios::trunc)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
  const localSave store(scratchFile());
  for (const auto& [ssid, key] : dictionary.items()) {
    const auto found = store.getKeyBySsid(ssid);
    check(key.is_string() ? found == key.get<std::string>() : !found.has_value());
  }
  check(!store.getKeyBySsid("\xff").has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = ZKJson::toJsonValue(text);
  check(!value || value->is_object() || value->is_array());

  const auto dictionary = localSave::makeMutable(value);
  check(dictionary.is_object());
  check(value && value->is_object() ? dictionary == *value : dictionary.empty());

  checkWritesBack(dictionary);
  checkLookups(text, dictionary);
  return 0;
}
