#include "Platform/Linux/Xdg/IconTheme.h"

#include "Base/Text.h"
#include "Platform/Qt/QtIconRenderer.h"

#include <QBuffer>
#include <QImage>

#include <charconv>
#include <cmath>

namespace tavrelin::xdg {
namespace {

// Shortest form that reads back as the same double, with a point whatever
// the locale says.
std::string number(double value) {
    if (std::abs(value) < 1e-9)
        value = 0; // no "-0"
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

std::string point(platform::Point p) {
    return number(p.x) + " " + number(p.y);
}

std::string pathData(const platform::Path& path) {
    std::string d;
    for (const auto& e : path.elements) {
        if (!d.empty())
            d += ' ';
        switch (e.kind) {
        case platform::Path::Kind::move:
            d += "M" + point(e.to);
            break;
        case platform::Path::Kind::line:
            d += "L" + point(e.to);
            break;
        case platform::Path::Kind::curve:
            d += "C" + point(e.control1) + " " + point(e.control2) + " " + point(e.to);
            break;
        case platform::Path::Kind::close:
            d += "Z";
            break;
        }
    }
    return d;
}

SvgPaint paintOf(const platform::Color& color, bool isTemplate) {
    const QColor c = qt::QtIconRenderer::color(color, {}, isTemplate);
    return {c.name(QColor::HexRgb).toStdString(), c.alphaF()};
}

std::string png(const platform::Drawing& drawing, int pixels) {
    const double side = std::max({drawing.width, drawing.height, 1.0});
    QImage image = qt::QtIconRenderer::render(drawing, pixels / side);
    image.setDevicePixelRatio(1);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

} // namespace

std::string svg(const platform::Drawing& drawing, const std::function<SvgPaint(const platform::Color&)>& paint) {
    const std::string width = number(drawing.width), height = number(drawing.height);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height + "\">\n";
    // The drawing's y axis points up.
    out += "<g transform=\"matrix(1 0 0 -1 0 " + height + ")\">\n";
    for (const auto& op : drawing.operations) {
        const SvgPaint p = paint(op.color);
        const std::string opacity = p.opacity < 1 ? number(std::max(p.opacity, 0.0)) : "";
        out += "<path d=\"" + pathData(op.path) + "\"";
        if (op.kind == platform::DrawOperation::Kind::fill) {
            out += " fill=\"" + p.color + "\" fill-rule=\"nonzero\"";
            if (!opacity.empty())
                out += " fill-opacity=\"" + opacity + "\"";
        } else {
            out += " fill=\"none\" stroke=\"" + p.color + "\" stroke-width=\"" + number(op.lineWidth) + "\" stroke-linecap=\"" +
                   (op.roundCaps ? "round" : "butt") + "\" stroke-linejoin=\"miter\"";
            if (!opacity.empty())
                out += " stroke-opacity=\"" + opacity + "\"";
        }
        out += "/>\n";
    }
    out += "</g>\n</svg>\n";
    return out;
}

HicolorIcon::HicolorIcon(platform::Files& files, std::string dataHome, std::string name, platform::Drawing drawing)
    : files_(files), dataHome_(std::move(dataHome)), name_(std::move(name)), drawing_(std::move(drawing)) {}

std::string HicolorIcon::pngPath(int size) const {
    const std::string n = std::to_string(size);
    return dataHome_ + "/icons/hicolor/" + n + "x" + n + "/apps/" + name_ + ".png";
}

std::string HicolorIcon::svgPath() const {
    return dataHome_ + "/icons/hicolor/scalable/apps/" + name_ + ".svg";
}

std::vector<std::string> HicolorIcon::paths() const {
    std::vector<std::string> out;
    for (int size : sizes)
        out.push_back(pngPath(size));
    out.push_back(svgPath());
    return out;
}

std::map<std::string, std::string> HicolorIcon::contents() const {
    std::map<std::string, std::string> out;
    for (int size : sizes)
        out[pngPath(size)] = png(drawing_, size);
    const bool isTemplate = drawing_.isTemplate;
    out[svgPath()] = svg(drawing_, [isTemplate](const platform::Color& color) { return paintOf(color, isTemplate); });
    return out;
}

bool HicolorIcon::isCurrent() const {
    for (const auto& [path, bytes] : contents())
        if (files_.readRegularFile(path, bytes.size() + 1) != bytes)
            return false;
    return true;
}

void HicolorIcon::write() {
    for (const auto& [path, bytes] : contents()) {
        files_.createDirectories(text::splitPath(path).folder);
        files_.writeAtomically(path, bytes);
    }
}

void HicolorIcon::remove() {
    for (const std::string& path : paths())
        if (files_.kind(path) != platform::EntryKind::missing)
            files_.remove(path);
}

} // namespace tavrelin::xdg
