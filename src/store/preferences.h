// CPreferences: the user's window and list settings and the user-interface string table.
//
// Settings live in "UserOpts.ini" in the firewall data folder; they are read once when the
// object is built and written back by Save at exit. The 213 texts of the string table start
// as the built-in English table and are replaced from the language's section of
// "Firewall.ini" (written by the installer) when that section is long enough to be a real
// translation; the texts added beside the table come from the same section. The process-wide
// instance comes from GetInstance; tests build their own with an explicit folder. Used on the
// user-interface thread only: no locking.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "store/string_table.h"

namespace qxfw::store {

inline constexpr int kListViewCount = 7;
inline constexpr int kColumnsPerView = 6;

// List views, in the order of the width table.
enum ListView : int {
  kNetworkListView = 0,
  kProgramListView = 1,
  kPortListView = 2,
  kSharedFolderListView = 3,
  kLogListView1 = 4,
  kLogListView2 = 5,
  kProcessDlgListView = 6,
};

struct WindowRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

class CPreferences {
 public:
  // Size of the buffer a translation section is read into, and the length a section's text
  // must exceed to be taken as a translation (shorter ones are stubs or damaged).
  static constexpr uint32_t kTranslationBufferSize = 27264;
  static constexpr uint32_t kMinTranslationLength = 852;

  // The process-wide instance over FirewallDataFolder(), built on first call.
  static CPreferences& GetInstance();

  // Reads the settings and the translation from the INI files in folder. The folder is not
  // created here; when it is missing every read gives its default and Save fails.
  explicit CPreferences(const std::string& folder);
  ~CPreferences();
  CPreferences(const CPreferences&) = delete;
  CPreferences& operator=(const CPreferences&) = delete;

  // Entry index of the string table; an index outside 0..212 gives entry 212.
  const char* GetText(int index) const;
  // A text added beside the table, by its number (kExtraStringBase on); a number outside
  // them gives entry 212 of the table.
  const char* GetExtraText(int number) const;

  // Width of column (0..5) of view (0..6), 0 for a column the view does not have. Indexes
  // outside the table read 0 and are not stored.
  uint16_t GetColumnWidth(int view, int column) const;
  void SetColumnWidth(int view, int column, uint16_t width);

  uint16_t GetLanguage() const { return language_; }

  void SetWindowRect(const WindowRect& rect) { window_ = rect; }
  const WindowRect& GetWindowRect() const { return window_; }

  // Writes the language, the window rectangle and every column width to "UserOpts.ini" in one
  // replacement of the file; false when it cannot be written.
  bool Save();

  const std::string& UserOptsPath() const { return user_opts_path_; }
  const std::string& FirewallIniPath() const { return firewall_ini_path_; }

 private:
  void ReadUserOpts();
  void LoadTranslation();

  uint16_t language_ = 0;
  WindowRect window_;
  uint16_t widths_[kListViewCount * kColumnsPerView] = {};
  std::string user_opts_path_;
  std::string firewall_ini_path_;
  const char* texts_[kStringCount] = {};
  const char* extraTexts_[kExtraStringCount] = {};
  // Holds the translated texts that texts_ points into; lives as long as the instance.
  std::unique_ptr<char[]> translation_;
};

}  // namespace qxfw::store
