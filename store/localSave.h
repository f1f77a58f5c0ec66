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
// then, so no process undoes another's. A pair that cannot be written yet (the lock held by
// another process, a full disk) is kept and written by a later save. Not safe for use from
// several threads.
class localSave {
 public:
  // The store of "localSave.json" in the user's data directory (see userDataDirectory()).
  localSave();
  // The store of the given file.
  explicit localSave(std::filesystem::path file);
  // Tries once more to write the pairs not written yet.
  ~localSave();
  localSave(const localSave&) = delete;
  localSave& operator=(const localSave&) = delete;

  // Remembers `key` for `ssid` (both UTF-8): getKeyBySsid answers with it at once, and save()
  // writes it. Text that is not UTF-8 is not stored; one line is logged.
  void saveSsid(const std::string& ssid, const std::string& key);
  // The key stored for exactly this SSID (case-sensitive), or none; also none when the file
  // holds something other than a string for it.
  std::optional<std::string> getKeyBySsid(const std::string& ssid) const;

  // Writes the pairs saved in this run that are not written yet, on top of the file's content as
  // it is now, under the lock: what other processes stored stays. Unless the file already holds
  // them all, rewrites it; the mapping becomes the file's new content. A file that cannot be read
  // is first kept beside it as "localSave.json.unreadable-<UTC time>". Waits at most
  // FileLock::kLockWaitMilliseconds for the lock; when another process still holds it, or the
  // write fails, the pairs stay for the next call (the application calls it on a timer, and the
  // destructor once more) and one line is logged. Where the file system has no locks, writes
  // without one (logged once). Does nothing when every pair is written.
  void save();
  // Some pair saved in this run is not written yet.
  bool hasUnsavedPairs() const { return !unsaved_.empty(); }
  // Replaces the mapping with the file's content, with the pairs not written yet on top; a
  // missing or unreadable file, or one whose top level is not an object, gives no pairs.
  void load();
  // An object of our own with the members of `dictionary` (moved when given one to spare,
  // copied at every depth otherwise); empty when `dictionary` is none or not an object.
  static ZKJson::Value makeMutable(std::optional<ZKJson::Value> dictionary);

 private:
  bool lockedOrUnsupported(const velarto::store::FileLock& lock);
  std::optional<ZKJson::Value> reread(bool& unreadable);
  bool write();
  void couldNotWrite(const std::string& reason);

  ZKJson::Value mDiction = ZKJson::Value::object();
  std::filesystem::path storeFile;
  ZKJson::Value unsaved_ = ZKJson::Value::object();  // saved in this run, not written yet
  std::string lastFailure_;               // the last line logged for a failed save, not repeated
  std::optional<std::string> keptAside_;  // the unreadable text last kept beside the file
  bool unlockedNoted_ = false;
};
