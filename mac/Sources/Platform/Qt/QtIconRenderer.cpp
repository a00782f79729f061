#include "Platform/Qt/QtIconRenderer.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <deque>
#include <mutex>

namespace tavrelin::qt {

namespace {

QPainterPath toQt(const platform::Path& path) {
    QPainterPath out;
    out.setFillRule(Qt::WindingFill);
    for (const auto& e : path.elements) {
        switch (e.kind) {
        case platform::Path::Kind::move:
            out.moveTo(e.to.x, e.to.y);
            break;
        case platform::Path::Kind::line:
            out.lineTo(e.to.x, e.to.y);
            break;
        case platform::Path::Kind::curve:
            out.cubicTo(e.control1.x, e.control1.y, e.control2.x, e.control2.y, e.to.x, e.to.y);
            break;
        case platform::Path::Kind::close:
            out.closeSubpath();
            break;
        }
    }
    return out;
}

// Paints `image`'s shape in `color`, spread by `radius` pixels all round, under
// the image itself.
QImage withOutline(const QImage& image, QColor color, int radius) {
    QImage shape = image;
    {
        QPainter p(&shape);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(shape.rect(), color);
    }
    QImage out(image.size(), image.format());
    out.setDevicePixelRatio(1);
    out.fill(Qt::transparent);
    shape.setDevicePixelRatio(1);
    QPainter p(&out);
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            if (dx * dx + dy * dy <= radius * radius + radius)
                p.drawImage(dx, dy, shape);
    QImage plain = image;
    plain.setDevicePixelRatio(1);
    p.drawImage(0, 0, plain);
    p.end();
    out.setDevicePixelRatio(image.devicePixelRatio());
    return out;
}

// The last images drawn, by drawing, colours and size. The spinner cycles
// through a few frames and the tray asks for each again and again; drawing one
// afresh is not only slow but wakes threads: Qt splits a large antialiased fill
// across its global thread pool, which also ends its threads 30 s later, just
// before the next poll makes them anew.
class RenderCache {
public:
    QImage image(const platform::Drawing& drawing, const IconColors& colors, int pixels) {
        std::lock_guard lock(mutex_);
        for (const auto& entry : entries_)
            if (entry.pixels == pixels && entry.drawing == drawing && entry.colors == colors)
                return entry.image;
        const double side = std::max({drawing.width, drawing.height, 1.0});
        QImage image = QtIconRenderer::render(drawing, std::max(pixels, 1) / side, colors);
        image.setDevicePixelRatio(1);
        if (entries_.size() == capacity)
            entries_.pop_front();
        entries_.push_back({drawing, colors, pixels, image});
        return image;
    }

    // Four sizes of each spinner frame, each badge and the still glyph.
    static constexpr std::size_t capacity = 96;

private:
    struct Entry {
        platform::Drawing drawing;
        IconColors colors;
        int pixels;
        QImage image;
    };
    std::mutex mutex_;
    std::deque<Entry> entries_;
};

RenderCache& renderCache() {
    static RenderCache cache;
    return cache;
}

// Draws the vector drawing at whatever size is asked, so nothing is scaled
// from a bitmap and nothing lands in Qt's pixmap cache (whose clean-up timer
// would wake the agent); our own cache above holds only what it drew.
class DrawingIconEngine final : public QIconEngine {
public:
    DrawingIconEngine(platform::Drawing drawing, IconColors colors)
        : drawing_(std::move(drawing)), colors_(std::move(colors)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const int side = std::min(rect.width(), rect.height());
        const double ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QImage image = render(static_cast<int>(std::lround(side * ratio)));
        image.setDevicePixelRatio(ratio);
        painter->drawImage(QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0), image);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        return QPixmap::fromImage(render(std::min(size.width(), size.height())));
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (int pixels : QtIconRenderer::iconPixelSizes(drawing_))
            sizes.append(QSize(pixels, pixels));
        return sizes;
    }

    QIconEngine* clone() const override { return new DrawingIconEngine(drawing_, colors_); }
    QString key() const override { return QStringLiteral("TavrelinDrawing"); }

private:
    QImage render(int pixels) const { return renderCache().image(drawing_, colors_, pixels); }

    platform::Drawing drawing_;
    IconColors colors_;
};

} // namespace

IconColors IconColors::forPanel(PanelScheme scheme) {
    IconColors colors;
    switch (scheme) {
    case PanelScheme::light:
        colors.label = colors.templateTint = QColor(0x20, 0x20, 0x20);
        break;
    case PanelScheme::dark:
        colors.label = colors.templateTint = QColor(0xf2, 0xf2, 0xf2);
        break;
    case PanelScheme::unknown:
        colors.label = colors.templateTint = QColor(0x20, 0x20, 0x20);
        colors.outline = QColor(255, 255, 255, 235);
        break;
    }
    return colors;
}

QColor QtIconRenderer::color(const platform::Color& color, const IconColors& colors, bool isTemplate) {
    QColor c;
    switch (color.role) {
    case platform::ColorRole::label:
        c = colors.label;
        break;
    case platform::ColorRole::black:
        c = isTemplate ? colors.templateTint : QColor(Qt::black);
        break;
    case platform::ColorRole::white:
        c = QColor(Qt::white);
        break;
    // The light-appearance system colours.
    case platform::ColorRole::systemRed:
        c = QColor(255, 59, 48);
        break;
    case platform::ColorRole::systemOrange:
        c = QColor(255, 149, 0);
        break;
    case platform::ColorRole::systemYellow:
        c = QColor(255, 204, 0);
        break;
    }
    c.setAlphaF(static_cast<float>(c.alphaF() * std::clamp(color.alpha, 0.0, 1.0)));
    return c;
}

QImage QtIconRenderer::render(const platform::Drawing& drawing, double scale, const IconColors& colors) {
    const int width = static_cast<int>(std::ceil(drawing.width * scale));
    const int height = static_cast<int>(std::ceil(drawing.height * scale));
    QImage image(std::max(width, 1), std::max(height, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(scale);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // The drawing has its origin at the bottom-left with y up.
    painter.translate(0, drawing.height);
    painter.scale(1, -1);
    for (const auto& op : drawing.operations) {
        const QPainterPath path = toQt(op.path);
        const QColor c = color(op.color, colors, drawing.isTemplate);
        if (op.kind == platform::DrawOperation::Kind::fill) {
            painter.fillPath(path, c);
        } else {
            QPen pen(c, op.lineWidth, Qt::SolidLine, op.roundCaps ? Qt::RoundCap : Qt::FlatCap, Qt::MiterJoin);
            painter.strokePath(path, pen);
        }
    }
    painter.end();
    if (colors.outline)
        return withOutline(image, *colors.outline, std::max(1, static_cast<int>(std::lround(scale))));
    return image;
}

std::vector<int> QtIconRenderer::iconPixelSizes(const platform::Drawing& drawing) {
    const int one = static_cast<int>(std::ceil(std::max(drawing.width, drawing.height)));
    std::vector<int> sizes{one, 2 * one, 22, 44};
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

QIcon QtIconRenderer::icon(const platform::Drawing& drawing, const IconColors& colors) {
    QIcon icon(new DrawingIconEngine(drawing, colors));
    icon.setIsMask(drawing.isTemplate);
    return icon;
}

} // namespace tavrelin::qt
