// The design's system symbols on Linux: one table from a symbol name to a
// freedesktop theme icon, with a Qt standard icon when the theme lacks it,
// plus the program's own icon drawn in code. Main thread only (GUI objects).
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

class QPainter;

namespace duoscope {

QIcon symbolIcon(const QString& symbolName);
// The symbol as a single-colour picture, for the stage marks.
QPixmap tintedSymbol(const QString& symbolName, const QColor& color, int size);

// The application icon (a pair of 3D-glasses lenses on a rounded tile).
void paintAppIcon(QPainter& painter, int size);
QIcon appIcon();

} // namespace duoscope
