// Quarantine: moves an infected file into the caller's private quarantine folder in a
// scrambled form that cannot run, lists those files, and puts them back.
//
// The folder is <base>/quarantine/<uid> (mode 0700, owned by the caller), where <base> is the
// folder given to DefineBase (the system folder). The installer makes <base>/quarantine; the
// per-user folder is made here when missing. The file format is in quarantine_format.h.
//
// A quarantine never loses the source: the copy is written, synced and its length checked
// before the source is unlinked, and any failure removes the copy and leaves the source.
// The source is read from one open descriptor and its name removed through the folder it was
// opened from, only while that name still refers to the file read (QuarantineSource).
// A restore treats the header as outside input (see RestoreTargetIsSafe), reaches the target's
// folder one component at a time without following a link, through folders owned by the caller
// or root only, refuses a folder other than the one the file came from, and writes the file
// under a new temporary name in that folder that is renamed into place.
//
// Not thread-safe: callers serialise (the scan lock, or the window thread).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "avlib/quarantine_source.h"

namespace qxfw::avlib {

// Device and inode of the folder a file was quarantined from.
struct FolderId {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const FolderId&) const = default;
};

struct QuarantineHeader {
  std::string path;         // the source path the file came from
  std::string note;         // the virus name
  bool has_folder = false;  // false for files written before the folder was recorded
  FolderId folder;
  size_t body_offset = 0;
};

// Splits the leading bytes of a quarantine file. False when no ";" comes within
// kMaxHeaderBytes bytes or the part before it holds no "|". A folder-id field closing the
// header is taken out of the note.
bool ParseQuarantineHeader(std::string_view bytes, QuarantineHeader* header);

// The header text for path, note and folder; the note is shortened so that the header fits,
// and the folder is left out when even an empty note leaves no room for it.
// REQUIRES: path and note passed the checks of ToQuarantine.
std::string MakeQuarantineHeader(const std::string& path, std::string_view note,
                                 const FolderId& folder);

// True when path may be written by a restore: absolute, at most kMaxHeaderBytes long, no NUL
// or control characters, no "." or ".." component, no empty component, not ending in "/".
bool RestoreTargetIsSafe(std::string_view path);

struct QuarantineEntry {
  std::string file;  // full path of the quarantine file
  std::string source;
  std::string note;
  uint64_t stored_bytes = 0;  // the body size, which equals the original file size
};

class Quarantine {
 public:
  // Keeps base (at most kMaxQuarantineBase characters; a longer text is refused and the
  // previous base stays). Always true for texts that fit.
  bool DefineBase(std::string_view base);
  const std::string& base() const { return base_; }

  // <base>/quarantine/<uid>, or "" while no base is defined.
  std::string Folder() const;

  // Moves path into the quarantine. True when the copy is complete and the source is gone;
  // false with nothing changed otherwise. A path holding "|" or ";" or too long for the
  // header, or a note holding ";", is refused; a long note is shortened so the header fits.
  // made, when given, receives the quarantine file's path.
  // The file is opened from its folder as the path stands now; a link is not quarantined.
  bool ToQuarantine(const std::string& path, std::string_view note, std::string* made = nullptr);

  // Moves the file held in source (opened by the caller, for example for a scan) into the
  // quarantine, path being the name it was opened by. Refused, with nothing changed, when the
  // name in the held folder no longer refers to the held file.
  bool ToQuarantine(const std::string& path, QuarantineSource& source, std::string_view note,
                    std::string* made = nullptr);

  // Restores a quarantine file owned by the caller to the path in its header and deletes it.
  // False when the file is refused or cannot be restored (the quarantine file stays; a debug
  // line says why), and also when the restored file was written but the quarantine file could
  // not be deleted. Refused: a link or a folder owned by another user on the way to the target,
  // a folder other than the recorded one, a target that is not a regular file of the caller.
  bool Restore(const std::string& quarantine_file);

  // The caller's quarantine files (those whose header parses), sorted by file name.
  std::vector<QuarantineEntry> List() const;

  // Deletes the quarantine file named name (a plain file name) from the caller's folder.
  bool Remove(std::string_view name) const;

 private:
  // Makes sure the caller's folder exists, is a real folder owned by the caller, mode 0700.
  bool PrepareFolder(std::string* folder) const;
  static bool CheckSourcePath(const std::string& path, std::string_view note);

  std::string base_;
};

}  // namespace qxfw::avlib
