#include "store/preferences.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/debug_output.h"
#include "platform/folders.h"
#include "platform/ini_file.h"
#include "store/user_language.h"

namespace qxfw::store {
namespace {

using platform::DebugOutput;

constexpr const char* kViewSections[kListViewCount] = {
    "NetworkListView", "ProgramListView", "PortListView",       "SharedFolderListView",
    "LogListView1",    "LogListView2",    "ProcessDlgListView",
};

constexpr uint16_t kDefaultWidths[kListViewCount][kColumnsPerView] = {
    {130, 100, 100, 60, 70, 0},    // NetworkListView
    {140, 250, 70, 0, 0, 0},       // ProgramListView
    {70, 70, 50, 100, 100, 70},    // PortListView
    {110, 250, 100, 100, 100, 0},  // SharedFolderListView
    {150, 150, 0, 0, 80, 80},      // LogListView1
    {75, 100, 150, 75, 75, 0},     // LogListView2
    {100, 30, 50, 100, 0, 0},      // ProcessDlgListView
};

constexpr WindowRect kDefaultWindow{100, 100, 715, 545};

// A stored width replaces the default only when it is wider than this (a column dragged
// shut would otherwise vanish for good).
constexpr int kMinStoredWidth = 10;

std::string ColumnKey(int column) {
  char key[16];
  std::snprintf(key, sizeof(key), "Column%d", column);
  return key;
}

bool ValidCell(int view, int column) {
  return view >= 0 && view < kListViewCount && column >= 0 && column < kColumnsPerView;
}

// The entry number of a translated line: the decimal digits before the "="; -1 when the key
// is not a plain number.
int EntryNumber(const char* line, const char* equal) {
  if (line == equal) return -1;
  int number = 0;
  for (const char* p = line; p < equal; ++p) {
    if (*p < '0' || *p > '9') return -1;
    number = number * 10 + (*p - '0');
    if (number >= kExtraStringBase + kExtraStringCount) return -1;
  }
  return number;
}

}  // namespace

CPreferences& CPreferences::GetInstance() {
  static CPreferences instance([] {
    DebugOutput("[QXFW.exe] AppData Path : %s", platform::AppDataFolder().c_str());
    return platform::FirewallDataFolder();
  }());
  return instance;
}

CPreferences::CPreferences(const std::string& folder)
    : user_opts_path_(folder + "/UserOpts.ini"), firewall_ini_path_(folder + "/Firewall.ini") {
  DebugOutput("[QXFW.exe] Firewall.ini Path : %s", firewall_ini_path_.c_str());
  ReadUserOpts();
  for (int i = 0; i < kStringCount; ++i) texts_[i] = kEnglishStrings[i];
  for (int i = 0; i < kExtraStringCount; ++i) extraTexts_[i] = kEnglishExtraStrings[i];
  LoadTranslation();
}

CPreferences::~CPreferences() = default;

void CPreferences::ReadUserOpts() {
  platform::IniFile ini(user_opts_path_);
  language_ = static_cast<uint16_t>(ini.GetInt("Firewall", "Language", UserDefaultLanguage()));
  window_.left = ini.GetInt("MainWindow", "Left", kDefaultWindow.left);
  window_.top = ini.GetInt("MainWindow", "Top", kDefaultWindow.top);
  window_.right = ini.GetInt("MainWindow", "Right", kDefaultWindow.right);
  window_.bottom = ini.GetInt("MainWindow", "Bottom", kDefaultWindow.bottom);
  for (int view = 0; view < kListViewCount; ++view) {
    for (int column = 0; column < kColumnsPerView; ++column) {
      uint16_t width = kDefaultWidths[view][column];
      int stored = ini.GetInt(kViewSections[view], ColumnKey(column), width);
      if (stored > kMinStoredWidth && stored <= UINT16_MAX) width = static_cast<uint16_t>(stored);
      widths_[view * kColumnsPerView + column] = width;
    }
  }
}

void CPreferences::LoadTranslation() {
  char section[32];
  if (language_ == kLanguageEnglishUs) {
    std::snprintf(section, sizeof(section), "English-%x", language_);
    DebugOutput("[QXFW.exe] Language : English (United States)");
  } else if (language_ == kLanguageKorean) {
    std::snprintf(section, sizeof(section), "Korean-%x", language_);
    DebugOutput("[QXFW.exe] Language : Korean");
  } else {
    std::snprintf(section, sizeof(section), "Current-%x", language_);
    DebugOutput("[QXFW.exe] Language : Default Language");
  }

  auto buffer = std::make_unique<char[]>(kTranslationBufferSize);
  uint32_t length = platform::IniFile(firewall_ini_path_)
                        .GetSection(section, buffer.get(), kTranslationBufferSize);
  if (length <= kMinTranslationLength) return;

  // The section comes back as zero-terminated "N=text" lines; entries point into the buffer.
  const char* end = buffer.get() + length;
  for (char* line = buffer.get(); line < end && *line != '\0';) {
    size_t size = std::strlen(line);
    char* equal = std::strchr(line, '=');
    if (equal != nullptr) {
      int number = EntryNumber(line, equal);
      char* text = equal + 1;
      if (number >= 0 && *text != '\0') {
        for (char* p = text; *p != '\0'; ++p) {
          if (*p == '|') *p = '\n';
        }
        if (number < kStringCount) {
          texts_[number] = text;
        } else {
          extraTexts_[number - kExtraStringBase] = text;
        }
      }
    }
    line += size + 1;
  }
  translation_ = std::move(buffer);
}

const char* CPreferences::GetText(int index) const {
  if (index < 0 || index >= kStringCount) index = kStringCount - 1;
  return texts_[index];
}

const char* CPreferences::GetExtraText(int number) const {
  if (number < kExtraStringBase || number >= kExtraStringBase + kExtraStringCount) {
    return texts_[kStringCount - 1];
  }
  return extraTexts_[number - kExtraStringBase];
}

uint16_t CPreferences::GetColumnWidth(int view, int column) const {
  return ValidCell(view, column) ? widths_[view * kColumnsPerView + column] : 0;
}

void CPreferences::SetColumnWidth(int view, int column, uint16_t width) {
  if (ValidCell(view, column)) widths_[view * kColumnsPerView + column] = width;
}

bool CPreferences::Save() {
  std::vector<platform::IniEntry> entries;
  entries.push_back({"Firewall", "Language", std::to_string(language_)});
  entries.push_back({"MainWindow", "Left", std::to_string(window_.left)});
  entries.push_back({"MainWindow", "Top", std::to_string(window_.top)});
  entries.push_back({"MainWindow", "Right", std::to_string(window_.right)});
  entries.push_back({"MainWindow", "Bottom", std::to_string(window_.bottom)});
  for (int view = 0; view < kListViewCount; ++view) {
    for (int column = 0; column < kColumnsPerView; ++column) {
      entries.push_back({kViewSections[view], ColumnKey(column),
                         std::to_string(widths_[view * kColumnsPerView + column])});
    }
  }
  return platform::IniFile(user_opts_path_).WriteEntries(entries);
}

}  // namespace qxfw::store
