// Arbitrary bytes through the store's reading path: toJsonValue, makeMutable and getKeyBySsid,
// both directly and as the content of a stored keys file.
#include "localSave.h"
#include "storeTestSupport.h"

static void check(bool condition) {
  if (!condition) __builtin_trap();
}

static const TemporaryDirectory scratch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto value = ZKJson::toJsonValue(text);
  const auto dictionary = localSave::makeMutable(value);
  check(value && value->is_object() ? dictionary == *value : dictionary == ZKJson::Value::object());
  // What the store would write reads back as the same value.
  check(ZKJson::toJsonValue(ZKJson::toJsonString(dictionary).value_or("")) == dictionary);
  // A store reading these bytes from its file finds each string member, and nothing else.
  writeFile(scratch.path / "localSave.json", text);
  const localSave store(scratch.path / "localSave.json");
  for (const auto& [ssid, key] : dictionary.items()) {
    check(key.is_string() ? store.getKeyBySsid(ssid) == key.get<std::string>()
                          : !store.getKeyBySsid(ssid));
  }
  return 0;
}
