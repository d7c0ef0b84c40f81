#pragma once
// The program's pictures, drawn from the SVG files in its resources at the
// exact pixel sizes asked for, so that they stay sharp at every size.
#include <QColor>
#include <QIcon>
#include <QImage>

namespace hbt {

// The tray icon: resource 128 (ON) or 145 (OFF) of the original design.
QIcon TrayIcon(bool on);
// The window icon (the ON picture).
QIcon WindowIcon();
// A picture of the program's resources (by its file name) at every icon size.
QIcon ResourceIcon(const QString& name);
// The logo rendered into a square of the given side.
QImage LogoImage(int side);
// The grey form of a picture: red, green and blue each become
// 0.3 R + 0.59 G + 0.11 B, laid on the background colour.
QImage GreyImage(const QImage& image, const QColor& background);

}  // namespace hbt
