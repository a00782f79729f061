#pragma once

#include "Platform/Drawing.h"

#include <QColor>
#include <QIcon>
#include <QImage>

#include <optional>
#include <vector>

namespace tavrelin::qt {

// Whether the panel that shows the icon is light or dark, when the desktop says.
enum class PanelScheme { unknown, light, dark };

// The colours a drawing's roles turn into.
struct IconColors {
    // The adaptive text colour.
    QColor label = Qt::black;
    // What black becomes in a template image. The system does this tinting on
    // macOS; elsewhere we do it ourselves.
    QColor templateTint = Qt::black;
    // A halo drawn around everything, so the glyph reads on a panel of any
    // colour; none when the panel's scheme is known.
    std::optional<QColor> outline;

    // Dark glyphs on a light panel, light on a dark one, and on a panel of
    // unknown colour a dark glyph with a light outline.
    static IconColors forPanel(PanelScheme scheme);
    bool operator==(const IconColors&) const = default;
};

// Turns a vector drawing (points, y up) into pixels.
class QtIconRenderer {
public:
    // An image of width × scale by height × scale pixels (device pixel ratio
    // `scale`), antialiased, transparent where nothing is drawn.
    static QImage render(const platform::Drawing& drawing, double scale, const IconColors& colors = {});

    // The pixel sizes an icon carries: 1× and 2× of the drawing, and the
    // 22 px a panel most often asks for with its 2×.
    static std::vector<int> iconPixelSizes(const platform::Drawing& drawing);

    // An icon drawn from the drawing at any size it is asked for; it lists
    // the sizes above, so a tray host that is sent pixmaps gets each of them.
    // Template drawings become mask icons. Needs a GUI application (pixmaps).
    static QIcon icon(const platform::Drawing& drawing, const IconColors& colors = {});

    static QColor color(const platform::Color& color, const IconColors& colors, bool isTemplate);
};

} // namespace tavrelin::qt
