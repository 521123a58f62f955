#include "Symbols.h"

#include <QApplication>
#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

namespace duoscope {

namespace {

struct SymbolMapping {
    const char* themeName;
    QStyle::StandardPixmap fallback;
};

const QHash<QString, SymbolMapping>& symbolTable() {
    static const QHash<QString, SymbolMapping> table{
        {"opticaldisc.fill", {"media-optical", QStyle::SP_DriveCDIcon}},
        {"opticaldisc", {"media-optical", QStyle::SP_DriveCDIcon}},
        {"folder", {"folder", QStyle::SP_DirIcon}},
        {"film.stack", {"video-x-generic", QStyle::SP_FileDialogListView}},
        {"film", {"video-x-generic", QStyle::SP_FileIcon}},
        {"checkmark.circle.fill", {"emblem-ok-symbolic", QStyle::SP_DialogApplyButton}},
        {"xmark.circle.fill", {"window-close", QStyle::SP_DialogCloseButton}},
        {"xmark.circle", {"process-stop", QStyle::SP_BrowserStop}},
        {"minus.circle", {"list-remove", QStyle::SP_DialogNoButton}},
        {"exclamationmark.triangle", {"dialog-warning", QStyle::SP_MessageBoxWarning}},
        {"circle", {"media-record", QStyle::SP_MediaStop}},
        {"arrow.triangle.2.circlepath", {"view-refresh", QStyle::SP_BrowserReload}},
        {"play.rectangle", {"media-playback-start", QStyle::SP_MediaPlay}},
        {"play.fill", {"media-playback-start", QStyle::SP_MediaPlay}},
        {"visionpro", {"video-display", QStyle::SP_ComputerIcon}},
        {"arrow.counterclockwise", {"edit-undo", QStyle::SP_BrowserReload}},
        {"gearshape.fill", {"preferences-system", QStyle::SP_FileDialogDetailedView}},
    };
    return table;
}

} // namespace

QIcon symbolIcon(const QString& symbolName) {
    auto mapping = symbolTable().constFind(symbolName);
    if (mapping == symbolTable().constEnd()) return {};
    QIcon themed = QIcon::fromTheme(QString::fromLatin1(mapping->themeName));
    if (!themed.isNull()) return themed;
    return QApplication::style()->standardIcon(mapping->fallback);
}

QPixmap tintedSymbol(const QString& symbolName, const QColor& color, int size) {
    QPixmap picture = symbolIcon(symbolName).pixmap(size, size);
    QPainter painter(&picture);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(picture.rect(), color);
    return picture;
}

void paintAppIcon(QPainter& painter, int size) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);
    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0, QColor(0x2f, 0x6f, 0xd6));
    tile.setColorAt(1, QColor(0x1b, 0x3a, 0x7a));
    painter.setPen(Qt::NoPen);
    painter.setBrush(tile);
    painter.drawRoundedRect(QRectF(8, 8, 240, 240), 52, 52);
    // The frame of a pair of glasses with one red and one cyan lens.
    QPainterPath frame;
    frame.addRoundedRect(QRectF(28, 86, 92, 84), 30, 30);
    frame.addRoundedRect(QRectF(136, 86, 92, 84), 30, 30);
    painter.setBrush(QColor(0xf4, 0xf6, 0xfa));
    painter.drawPath(frame);
    painter.drawRect(QRectF(112, 112, 32, 14));
    painter.setBrush(QColor(0xe5, 0x39, 0x35));
    painter.drawRoundedRect(QRectF(40, 98, 68, 60), 22, 22);
    painter.setBrush(QColor(0x26, 0xc6, 0xda));
    painter.drawRoundedRect(QRectF(148, 98, 68, 60), 22, 22);
    painter.restore();
}

QIcon appIcon() {
    QIcon themed = QIcon::fromTheme(QStringLiteral("duoscope"));
    if (!themed.isNull()) return themed;
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QPixmap picture(size, size);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        paintAppIcon(painter, size);
        painter.end();
        icon.addPixmap(picture);
    }
    return icon;
}

} // namespace duoscope
