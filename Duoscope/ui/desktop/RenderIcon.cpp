// Build step: draws the application icon at one size into a PNG file, from
// the same shapes the window uses.   render_icon SIZE OUTPUT.png
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>

#include "Symbols.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: render_icon SIZE OUTPUT.png\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    int size = std::atoi(argv[1]);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    duoscope::paintAppIcon(painter, size);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "ERROR: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
