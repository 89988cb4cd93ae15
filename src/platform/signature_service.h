// The signature service: does a program file carry a valid signature?
//
// On this platform the distribution signs its packages, and dpkg keeps the MD5 of every file
// it installed. A file counts as signed when an installed package owns it and its content
// still has the recorded checksum. Without a package database the service is unavailable and
// every program is unsigned.
//
// The access decision asks on the user-interface thread; the antivirus threads may ask too.
// One mutex guards the result cache (keyed by path, validated by size, modification and change
// times and inode, so a changed file is checked again); checksums are computed under it as
// well, so two threads never hash the same file twice.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace qxfw::platform {

class PackageDb;

class SignatureService {
 public:
  // db must outlive the service. Availability is decided here, once, as a library load at
  // start would be: the database's status file must exist.
  explicit SignatureService(PackageDb* db);
  SignatureService(const SignatureService&) = delete;
  SignatureService& operator=(const SignatureService&) = delete;

  bool Available() const { return available_; }

  // False for an empty path, a path without "/", an unavailable service, a file that is not a
  // regular file, not owned by an installed package or whose MD5 differs from the recorded
  // one.
  bool IsSigned(const std::string& path);
  // Same, for one particular file: false unless the file at path is the one with that device
  // and inode (a running program's file, which a path in our namespace may not name).
  bool IsSigned(const std::string& path, dev_t device, ino_t inode);

  // Results kept across runs in a file (qxfwctl keeps one in the user's cache folder), so a
  // short-lived process does not hash every program again. Loading takes the file's entries
  // only when it was written for the package database as it is now; each entry still has to
  // match the file's device, inode, size and times to be used. Saving replaces the file in
  // one step. A missing or damaged file loads nothing; both return whether they succeeded.
  bool LoadResults(const std::string& file);
  bool SaveResults(const std::string& file);

  // Lower-case hex MD5 of the content behind an open descriptor (read from its current
  // offset); empty when it cannot be read.
  static std::string Md5Of(int fd);

 private:
  struct Entry {
    dev_t device;
    ino_t inode;
    off_t size;
    int64_t mtime_ns;
    int64_t ctime_ns;
    uint64_t generation;
    bool is_signed;
  };

  struct Identity {
    dev_t device;
    ino_t inode;
  };

  bool Judge(const std::string& path, const Identity* identity);
  bool Matches(const Entry& entry, const struct stat& st) const;
  std::optional<std::string> RecordedMd5Locked(const std::string& path);

  PackageDb* const db_;
  const bool available_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> cache_;
  // The database is asked whether dpkg changed it at most once a second, so a warm answer
  // costs one stat of the file and one lookup.
  uint64_t generation_ = 0;
  std::string fingerprint_;  // of the database state generation_ stands for
  bool changed_ = false;     // results added since the kept ones were loaded or saved
  int64_t next_refresh_ns_ = 0;
  void RefreshLocked();
};

// The process-wide service of the program. Start-up calls LoadSignatureService once (on the
// database of PackageDb::Shared()); it returns whether the service is available. IsSigned
// answers false until then and whenever the service is unavailable.
bool LoadSignatureService();
bool IsSigned(const std::string& path);
bool IsSigned(const std::string& path, dev_t device, ino_t inode);
// The kept results of the process-wide service (see SignatureService::LoadResults).
bool LoadSignatureResults(const std::string& file);
bool SaveSignatureResults(const std::string& file);

}  // namespace qxfw::platform
