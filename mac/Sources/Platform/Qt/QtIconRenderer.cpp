#include "Platform/Qt/QtIconRenderer.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>

#include <algorithm>
#include <cmath>

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

} // namespace

IconColors IconColors::fromApplication() {
    IconColors colors;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        colors.label = QGuiApplication::palette().color(QPalette::WindowText);
        colors.templateTint = colors.label;
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
    return image;
}

QIcon QtIconRenderer::icon(const platform::Drawing& drawing, const IconColors& colors) {
    QIcon icon;
    for (double scale : {1.0, 2.0})
        icon.addPixmap(QPixmap::fromImage(render(drawing, scale, colors)));
    icon.setIsMask(drawing.isTemplate);
    return icon;
}

} // namespace tavrelin::qt
