#include "ui/pictures.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The pictures live in a static library, whose resources nothing registers on its own.
static void RegisterPictures() { Q_INIT_RESOURCE(harbinet); }

namespace hbt {

namespace {

constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QImage Render(const QString& resource, int side) {
    static const bool registered = (RegisterPictures(), true);
    (void)registered;
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, side, side));
    return image;
}

QIcon IconFrom(const QString& resource) {
    QIcon icon;
    for (int side : kIconSizes) icon.addPixmap(QPixmap::fromImage(Render(resource, side)));
    return icon;
}

}  // namespace

QIcon TrayIcon(bool on) {
    static const QIcon onIcon = IconFrom(QStringLiteral(":/harbinet/harbinet-on.svg"));
    static const QIcon offIcon = IconFrom(QStringLiteral(":/harbinet/harbinet-off.svg"));
    return on ? onIcon : offIcon;
}

QIcon WindowIcon() { return TrayIcon(true); }

QIcon ResourceIcon(const QString& name) { return IconFrom(QStringLiteral(":/harbinet/") + name); }

QImage LogoImage(int side) { return Render(QStringLiteral(":/harbinet/harbinet-logo.svg"), side); }

QImage GreyImage(const QImage& image, const QColor& background) {
    QImage grey(image.size(), QImage::Format_RGB32);
    grey.fill(background);
    {
        QPainter painter(&grey);
        painter.drawImage(0, 0, image);
    }
    for (int y = 0; y < grey.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(grey.scanLine(y));
        for (int x = 0; x < grey.width(); ++x) {
            const QRgb c = line[x];
            const int g = qBound(0, qRound(0.3 * qRed(c) + 0.59 * qGreen(c) + 0.11 * qBlue(c)), 255);
            line[x] = qRgb(g, g, g);
        }
    }
    return grey;
}

}  // namespace hbt
