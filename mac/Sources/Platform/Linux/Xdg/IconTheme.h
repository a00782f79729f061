#pragma once

#include "Platform/Drawing.h"
#include "Platform/Files.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

// The agent's face for launchers and menus: its icon in the person's icon
// theme, drawn from a vector drawing.
namespace tavrelin::xdg {

// What a colour of the drawing is in the document: "#rrggbb" and an opacity.
struct SvgPaint {
    std::string color;
    double opacity = 1;
};

// The drawing as an SVG document of its size in points, y turned down as SVG
// has it; every number written the same way in any locale.
std::string svg(const platform::Drawing& drawing, const std::function<SvgPaint(const platform::Color&)>& paint);

// The icon `name` in $XDG_DATA_HOME/icons/hicolor: a PNG in each size
// launchers ask for and a scalable SVG, all from one drawing. Files are
// written atomically; the folders are the theme's and stay.
class HicolorIcon {
public:
    HicolorIcon(platform::Files& files, std::string dataHome, std::string name, platform::Drawing drawing);

    static constexpr int sizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

    // Every file of the icon, the PNGs by size and then the SVG.
    std::vector<std::string> paths() const;
    // Every file is there and holds what write() would put there.
    bool isCurrent() const;
    // Throws platform::FileError.
    void write();
    // Removes the files that are there; throws platform::FileError.
    void remove();

private:
    // Path → contents.
    std::map<std::string, std::string> contents() const;
    std::string pngPath(int size) const;
    std::string svgPath() const;

    platform::Files& files_;
    std::string dataHome_, name_;
    platform::Drawing drawing_;
};

} // namespace tavrelin::xdg
