// Skin images of the controls: SVG or bitmap files (normally in the ":/qxfw/controls/images"
// resource) drawn scaled into a rectangle. SVG renderers and pixmaps are cached per path; the
// cache belongs to the user-interface thread.
#pragma once

#include <QRectF>
#include <QString>

class QPainter;

namespace qxfw::controls {

// The resource path of one of our own images, e.g. SkinPath("button_normal.svg").
QString SkinPath(const QString& fileName);

// Draws the image at `path` scaled into `target`. Returns false (and draws nothing) when the
// file cannot be read as an image.
bool PaintSkin(QPainter& painter, const QString& path, const QRectF& target);

// Draws a part of the image: `source` in the image's own pixel units.
bool PaintSkinPart(QPainter& painter, const QString& path, const QRectF& target,
                   const QRectF& source);

// The image's own size; an empty size when it cannot be read.
QSizeF SkinSize(const QString& path);

}  // namespace qxfw::controls
