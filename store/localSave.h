// The credential store: remembers the key last sent for each SSID, across runs, in
// "localSave.json" in the user's data directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "ZKJson.h"

// Holds the whole SSID -> key mapping in memory, reads its file once when created and rewrites
// the whole file, atomically, whenever a pair changes. Not safe for use from several threads.
class localSave {
 public:
  // The store of "localSave.json" in the user's data directory (see userDataDirectory()).
  localSave();
  // The store of the given file.
  explicit localSave(std::filesystem::path file);

  // Remembers `key` for `ssid` (both UTF-8) and rewrites the file, unless that key is already
  // stored. A failed write keeps the pair for this run and logs one line.
  void saveSsid(const std::string& ssid, const std::string& key);
  // The key stored for exactly this SSID (case-sensitive), or none; also none when the file
  // holds something other than a string for it.
  std::optional<std::string> getKeyBySsid(const std::string& ssid) const;

  // Writes the whole mapping to the file.
  void save();
  // Replaces the mapping with the file's content; a missing or unreadable file, or one whose
  // top level is not an object, gives an empty mapping.
  void load();
  // A new object with the members of `dictionary`, nested objects copied at every depth; empty
  // when `dictionary` is none or not an object.
  static ZKJson::Value makeMutable(const std::optional<ZKJson::Value>& dictionary);

 private:
  static ZKJson::Value copyObject(const ZKJson::Value& dictionary);

  ZKJson::Value mDiction = ZKJson::Value::object();
  std::filesystem::path storeFile;
};
