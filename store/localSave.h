// The credential store: remembers the key last sent for each SSID, across runs, in
// "localSave.json" in the user's data directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "ZKJson.h"

namespace velarto::store {
class FileLock;
}

// Holds the whole SSID -> key mapping in memory, reads its file when created and rewrites the
// whole file, atomically, whenever a pair changes. Several processes may store pairs at once:
// each change is made under a lock beside the file ("localSave.json.lock") to the file as it is
// then, so no process undoes another's. Not safe for use from several threads.
class localSave {
 public:
  // The store of "localSave.json" in the user's data directory (see userDataDirectory()).
  localSave();
  // The store of the given file.
  explicit localSave(std::filesystem::path file);

  // Remembers `key` for `ssid` (both UTF-8). Under the lock, reads the file again, and unless it
  // already holds that pair, adds the pair to what it holds and rewrites it; the mapping becomes
  // the file's new content. A file that cannot be read is first kept beside it as
  // "localSave.json.unreadable-<UTC time>". A failed write keeps the pair for this run and logs
  // one line.
  void saveSsid(const std::string& ssid, const std::string& key);
  // The key stored for exactly this SSID (case-sensitive), or none; also none when the file
  // holds something other than a string for it.
  std::optional<std::string> getKeyBySsid(const std::string& ssid) const;

  // Writes the whole mapping to the file, under the lock.
  void save();
  // Replaces the mapping with the file's content; a missing or unreadable file, or one whose
  // top level is not an object, gives an empty mapping.
  void load();
  // An object of our own with the members of `dictionary` (moved when given one to spare,
  // copied at every depth otherwise); empty when `dictionary` is none or not an object.
  static ZKJson::Value makeMutable(std::optional<ZKJson::Value> dictionary);

 private:
  bool locked(const velarto::store::FileLock& lock) const;
  std::optional<ZKJson::Value> reread(bool& unreadable) const;
  void write();

  ZKJson::Value mDiction = ZKJson::Value::object();
  std::filesystem::path storeFile;
};
