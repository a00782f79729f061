#pragma once

#include "Platform/Drawing.h"

#include <QColor>
#include <QIcon>
#include <QImage>

namespace tavrelin::qt {

// The colours a drawing's roles turn into.
struct IconColors {
    // The adaptive text colour.
    QColor label = Qt::black;
    // What black becomes in a template image. The system does this tinting on
    // macOS; elsewhere we do it ourselves so the glyph shows on dark panels.
    QColor templateTint = Qt::black;

    // Label and tint from the application palette's window text colour, or
    // black without a GUI application.
    static IconColors fromApplication();
};

// Turns a vector drawing (points, y up) into pixels.
class QtIconRenderer {
public:
    // An image of width × scale by height × scale pixels (device pixel ratio
    // `scale`), antialiased, transparent where nothing is drawn.
    static QImage render(const platform::Drawing& drawing, double scale, const IconColors& colors = {});

    // 1× and 2× renderings; template drawings become mask icons. Needs a GUI
    // application (pixmaps).
    static QIcon icon(const platform::Drawing& drawing, const IconColors& colors = IconColors::fromApplication());

    static QColor color(const platform::Color& color, const IconColors& colors, bool isTemplate);
};

} // namespace tavrelin::qt
