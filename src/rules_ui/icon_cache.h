// CProgramIconCache: the small icon of each program path, looked up once per path. A lookup
// reads desktop entries, so it runs on a worker thread; until its answer arrives (by a queued
// call) a path shows the generic program icon. IconsReady tells the lists to re-set the icons of
// their rows. User-interface thread only (the workers touch no member).
#pragma once

#include <QIcon>
#include <QObject>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qxfw::rules_ui {

class CProgramIconCache : public QObject {
  Q_OBJECT
 public:
  // Finds the icon name of a program path (a theme name or a file); "" when it has none.
  using Lookup = std::string (*)(const std::string& path);

  explicit CProgramIconCache(QObject* parent = nullptr);
  CProgramIconCache(Lookup lookup, QObject* parent);

  static QIcon GenericIcon();
  // The icon of path when it is known; otherwise the generic icon, and path is queued for a
  // lookup that Flush starts.
  QIcon Icon(const std::string& path);
  // Starts one worker lookup of the paths queued so far.
  void Flush();
  size_t LookupsStarted() const { return lookups_started_; }
  // The paths whose own icon came with the batch that IconsReady announces.
  const std::unordered_set<std::string>& LastChanged() const { return last_changed_; }

 signals:
  void IconsReady();

 private:
  void Take(const std::vector<std::pair<std::string, std::string>>& answers);

  Lookup lookup_;
  // Path -> icon; a null icon while the lookup runs.
  std::unordered_map<std::string, QIcon> icons_;
  std::vector<std::string> queued_;
  std::unordered_set<std::string> last_changed_;
  size_t lookups_started_ = 0;
};

}  // namespace qxfw::rules_ui
