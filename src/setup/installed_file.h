// Writing and deleting the installer's files.
//
// A file is never truncated in place: a running daemon or a loaded library would crash. The new
// bytes go to a fresh temporary file beside the target (O_EXCL, O_NOFOLLOW), are synced, and
// are renamed over the target, so readers see the old or the new file and a failure at any step
// leaves the old one. The final name is never opened, so a symbolic link planted there is
// replaced, not followed.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace qxfw::setup {

enum class WriteMode {
  kReplace,         // replace an existing file
  kOnlyWhenMissing  // leave an existing file (or link) alone; never overwrite one made meanwhile
};

// Writes bytes as folder/name with the permission bits mode. Returns true when the file holds
// the bytes afterwards. A file that already holds exactly these bytes is left as it is.
bool WriteInstalledFile(const std::string& folder, const std::string& name, std::string_view bytes,
                        mode_t mode, WriteMode how = WriteMode::kReplace);

// Deletes folder/name (a link is removed, never followed). True when it is gone afterwards
// (also when it never existed).
bool DeleteInstalledFile(const std::string& folder, const std::string& name);

bool FileExists(const std::string& path);

}  // namespace qxfw::setup
