#include "rules_ui/icon_cache.h"

#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QStyle>
#include <QThreadPool>

#include "monitor/version_info.h"

namespace qxfw::rules_ui {

CProgramIconCache::CProgramIconCache(QObject* parent)
    : CProgramIconCache(&monitor::DesktopIconOf, parent) {}

CProgramIconCache::CProgramIconCache(Lookup lookup, QObject* parent)
    : QObject(parent), lookup_(lookup) {}

QIcon CProgramIconCache::GenericIcon() {
  static const QIcon icon = [] {
    QIcon themed = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    return themed.isNull() ? QApplication::style()->standardIcon(QStyle::SP_FileIcon) : themed;
  }();
  return icon;
}

QIcon CProgramIconCache::Icon(const std::string& path) {
  auto [it, inserted] = icons_.try_emplace(path);
  if (inserted) queued_.push_back(path);
  return it->second.isNull() ? GenericIcon() : it->second;
}

void CProgramIconCache::Flush() {
  if (queued_.empty()) return;
  ++lookups_started_;
  QPointer<CProgramIconCache> self(this);
  QThreadPool::globalInstance()->start([self, lookup = lookup_, paths = std::move(queued_)] {
    std::vector<std::pair<std::string, std::string>> answers;
    answers.reserve(paths.size());
    for (const std::string& path : paths) answers.emplace_back(path, lookup(path));
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, answers = std::move(answers)] {
          if (self) self->Take(answers);
        },
        Qt::QueuedConnection);
  });
  queued_.clear();
}

void CProgramIconCache::Take(const std::vector<std::pair<std::string, std::string>>& answers) {
  last_changed_.clear();
  for (const auto& [path, name] : answers) {
    QIcon icon;
    if (!name.empty()) {
      QString text = QString::fromStdString(name);
      icon = QFileInfo(text).isAbsolute() ? QIcon(text) : QIcon::fromTheme(text);
    }
    if (icon.isNull()) icon = GenericIcon();
    icons_[path] = icon;
    if (!name.empty()) last_changed_.insert(path);
  }
  if (!last_changed_.empty()) emit IconsReady();
}

}  // namespace qxfw::rules_ui
