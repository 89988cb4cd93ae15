#include "controls/skin_image.h"

#include <QHash>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <memory>

// The resources live in a static library; pull them in on first use.
static void InitControlsResources() {
  Q_INIT_RESOURCE(controls);
}

namespace qxfw::controls {
namespace {

struct SkinEntry {
  std::unique_ptr<QSvgRenderer> svg;  // set for SVG files
  QPixmap pixmap;                     // set for bitmaps
  bool Valid() const { return svg ? svg->isValid() : !pixmap.isNull(); }
};

const SkinEntry& Entry(const QString& path) {
  static const bool initialised = (InitControlsResources(), true);
  (void)initialised;
  static QHash<QString, std::shared_ptr<SkinEntry>> cache;
  auto found = cache.find(path);
  if (found != cache.end()) return **found;
  auto entry = std::make_shared<SkinEntry>();
  if (path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
    entry->svg = std::make_unique<QSvgRenderer>(path);
  } else {
    entry->pixmap.load(path);
  }
  return **cache.insert(path, entry);
}

}  // namespace

QString SkinPath(const QString& fileName) {
  return QStringLiteral(":/qxfw/controls/images/") + fileName;
}

bool PaintSkin(QPainter& painter, const QString& path, const QRectF& target) {
  const SkinEntry& entry = Entry(path);
  if (!entry.Valid()) return false;
  if (entry.svg) {
    entry.svg->render(&painter, target);
  } else {
    painter.drawPixmap(target, entry.pixmap, entry.pixmap.rect());
  }
  return true;
}

bool PaintSkinPart(QPainter& painter, const QString& path, const QRectF& target,
                   const QRectF& source) {
  const SkinEntry& entry = Entry(path);
  if (!entry.Valid()) return false;
  if (entry.svg) {
    // Render the whole picture scaled so that `source` lands on `target`, clipped to it.
    QSizeF whole = entry.svg->defaultSize();
    if (source.width() <= 0 || source.height() <= 0) return false;
    double sx = target.width() / source.width();
    double sy = target.height() / source.height();
    QRectF bounds(target.x() - source.x() * sx, target.y() - source.y() * sy, whole.width() * sx,
                  whole.height() * sy);
    painter.save();
    painter.setClipRect(target, Qt::IntersectClip);
    entry.svg->render(&painter, bounds);
    painter.restore();
  } else {
    painter.drawPixmap(target, entry.pixmap, source);
  }
  return true;
}

QSizeF SkinSize(const QString& path) {
  const SkinEntry& entry = Entry(path);
  if (!entry.Valid()) return {};
  return entry.svg ? QSizeF(entry.svg->defaultSize()) : QSizeF(entry.pixmap.size());
}

}  // namespace qxfw::controls
