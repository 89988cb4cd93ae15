// The dpkg database, read only: which installed package owns a file, the checksum the
// package recorded for it, and the package's status record.
//
// Used by the signature service (a program is trusted when its file is the one its package
// shipped) and by the file version information reader. The database lives in an admin folder
// (/var/lib/dpkg, or $QXFW_DPKG_ADMINDIR): "status" holds one stanza per package,
// "info/<package>.list" the paths a package installed, "info/<package>.md5sums" the MD5 of its
// regular files ("<hex>  <path without leading />"). Packages of several architectures are
// named "<package>:<arch>" there.
//
// On a usr-merged system /bin, /sbin and the /lib folders are links into /usr, so the
// database may record /bin/ls for the file the system runs as /usr/bin/ls; both spellings
// are the same path here. Everything is read lazily and re-read when dpkg has changed the
// database. Thread-safe: one mutex guards all state.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qxfw::platform {

// The fields of a status stanza the program shows.
struct PackageRecord {
  std::string package;
  std::string version;
  std::string maintainer;
  std::string description;  // first line of "Description" only
};

class PackageDb {
 public:
  // admin_dir: the dpkg admin folder (holding "status" and "info").
  explicit PackageDb(std::string admin_dir);
  ~PackageDb();
  PackageDb(const PackageDb&) = delete;
  PackageDb& operator=(const PackageDb&) = delete;

  // $QXFW_DPKG_ADMINDIR when set and not empty, else /var/lib/dpkg.
  static std::string DefaultAdminDir();
  // The process-wide database on DefaultAdminDir() (as it was at first use).
  static PackageDb& Shared();

  const std::string& admin_dir() const { return admin_dir_; }
  // True when the status file exists now.
  bool Available() const;

  // The installed package whose file list names path (an absolute path; usr-merge aliases
  // match), as the info files name it ("coreutils", "libc6:amd64").
  std::optional<std::string> OwnerOf(std::string_view path);
  // The lower-case hex MD5 that the owning package recorded for path; none when the path has
  // no owner or the owner recorded no checksum for it (directories, links).
  std::optional<std::string> RecordedMd5(std::string_view path);
  // The status record of an installed package, by the name OwnerOf gives or the bare name.
  std::optional<PackageRecord> RecordOf(std::string_view package);

  // Keeps the path index in file between runs (qxfwctl keeps it in the user's cache folder):
  // a later process looks paths up in it instead of reading every file list, as long as it
  // was written for the database as it is now. It only says which package owns a path; the
  // checksums always come from the package's own file.
  void KeepIndexIn(std::string file);

  // Drops everything read so far when dpkg changed the status file or the info folder since
  // it was read. Returns the generation: a number that grows with each such change, so a
  // caller can tell that results it derived earlier are stale.
  uint64_t Refresh();
  // Same, also giving a text that identifies the database's present state (dpkg's status
  // file and info folder), for results kept across runs.
  uint64_t Refresh(std::string* fingerprint);

  // The usr-merge spelling used for comparisons: "/bin/x" becomes "/usr/bin/x" when /bin is
  // a link to usr/bin on this system (likewise sbin, lib, lib32, lib64, libx32).
  std::string CanonicalPath(std::string_view path) const;

 private:
  struct Index;
  // dpkg replaces the status file on every change; its identity, size and time tell.
  struct Stamp {
    int64_t status_mtime = -1;
    int64_t status_size = -1;
    uint64_t status_inode = 0;
    int64_t info_mtime = -1;
    bool operator==(const Stamp&) const = default;
  };

  Stamp ReadStamp() const;
  void RefreshLocked();
  Index& IndexLocked();
  const std::unordered_map<std::string, std::string>* Md5sLocked(const std::string& package);
  void LoadStatusLocked();
  std::optional<std::string> OwnerLocked(std::string_view path);
  std::string FingerprintLocked() const;
  void LoadKeptLocked();
  void SaveKeptLocked(const Index& index);
  std::optional<std::string> FindKeptLocked(const std::string& path) const;

  const std::string admin_dir_;
  std::vector<std::string> merged_dirs_;  // "/bin", "/sbin", ... that link into /usr

  mutable std::mutex mutex_;
  Stamp stamp_;
  uint64_t generation_ = 0;
  std::unique_ptr<Index> index_;
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> md5s_;
  std::string kept_file_;
  bool kept_loaded_ = false;
  class MappedFile;
  std::unique_ptr<MappedFile> kept_;  // the kept index when it is valid, else null
  size_t kept_body_ = 0;              // offset of its first path line
  bool status_loaded_ = false;
  std::unordered_map<std::string, PackageRecord> records_;  // by "name" and "name:arch"
};

}  // namespace qxfw::platform
