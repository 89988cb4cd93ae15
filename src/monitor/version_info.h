// CFileVersionInfo: the twelve version-information texts of a program file.
//
// The process dialogs show a program's description, version and maker from here. Programs
// carry no version resource on this platform, so the texts come from what the system knows
// about the file: the installed package that owns it (ProductName = package, FileVersion and
// ProductVersion = its version, CompanyName = maintainer, FileDescription = short
// description), else a desktop entry whose Exec or TryExec runs it (Name gives
// FileDescription and ProductName, Comment gives Comments). Nothing found: all texts empty.
// Each text holds at most 255 bytes, cut on a character boundary.
//
// Reading touches only files; an object is used by one thread at a time.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace qxfw::platform {
class PackageDb;
}

namespace qxfw::monitor {

class CFileVersionInfo {
 public:
  enum Key {
    kComments,
    kCompanyName,
    kFileDescription,
    kFileVersion,
    kInternalName,
    kLegalCopyright,
    kLegalTrademarks,
    kOriginalFilename,
    kPrivateBuild,
    kProductName,
    kProductVersion,
    kSpecialBuild,
    kKeyCount
  };
  // The key names, in the order of Key.
  static const std::array<const char*, kKeyCount> kKeyNames;
  static constexpr size_t kMaxTextBytes = 255;

  CFileVersionInfo() = default;
  // Reads the texts of path from the process-wide package database (PackageDb::Shared()).
  explicit CFileVersionInfo(const std::string& path);
  // Same, from the given database (must outlive the call).
  CFileVersionInfo(const std::string& path, platform::PackageDb* db);

  // Re-reads all texts for path; true when any text was found.
  bool Read(const std::string& path, platform::PackageDb* db);

  const std::string& Get(Key key) const { return m_texts[key]; }
  // By key name ("CompanyName"); empty for a name that is not one of the twelve.
  const std::string& Get(std::string_view keyName) const;
  // True when at least one text is not empty.
  bool HasVersionInfo() const;

 private:
  bool ReadFromPackage(const std::string& path, platform::PackageDb* db);
  bool ReadFromDesktopEntry(const std::string& path);
  void Set(Key key, std::string_view text);

  std::array<std::string, kKeyCount> m_texts;
};

// The Icon key of the desktop entry that runs the program at path (an icon-theme name or a
// file path); "" when no entry runs it.
std::string DesktopIconOf(const std::string& path);

}  // namespace qxfw::monitor
