#pragma once

#include "Platform/Drawing.h"
#include "TavrelinMac/SyncState.h"

namespace tavrelin {

// The tray glyph: a faint ring, the tamsel in the middle, a turning arc while
// a poll runs and a coloured dot when something needs attention. Stateless;
// everything is vector drawing on an 18 × 18 point canvas, y up.
class MenuBarIcon {
public:
    // The whole image. Not coloured (idle, working, not paired) means a
    // template image, tinted by the system to match the tray.
    static platform::Drawing image(const SyncState::Health& health, double spinnerAngle);

    // The application's own icon, for menus and launchers: the tamsel in
    // white on a dark disc, which reads on light and dark backgrounds alike.
    // Not a template: its colours are its own.
    static platform::Drawing applicationIcon();

    // Warning, broken and needs-permission keep their own colours.
    static bool isColoured(const SyncState::Health& health);

    // The glyph outline in its own design units.
    static platform::Path rawTamselPath();
    // The outline scaled (aspect kept) and centred into the target; unchanged
    // when the outline has no area.
    static platform::Path tamselPath(const platform::Rect& fittingIn);

    // The box of the path's curves themselves, not of their control points.
    static platform::Rect curveBounds(const platform::Path& path);

    // A circular arc from startDegrees to endDegrees (at most 360 further),
    // counter-clockwise, as cubic segments of at most 90 degrees each,
    // beginning with a move to its start point.
    static platform::Path arc(platform::Point center, double radius, double startDegrees, double endDegrees);

    // A closed circle inscribed in the square `rect`.
    static platform::Path oval(const platform::Rect& rect);
};

} // namespace tavrelin
