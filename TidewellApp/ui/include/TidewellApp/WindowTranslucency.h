#pragma once
// Whether a top-level window with a transparent background really shows what lies beneath
// it. On an X server without a compositing manager it does not: the transparent pixels come
// out black. Windows with rounded or pointed outlines then cut their shape with a mask.

#include <optional>

class QWidget;
class QPainterPath;

namespace tidewell::WindowTranslucency {

// Asks the windowing system: on X11, whether a compositing manager owns the screen's
// "_NET_WM_CM_S<n>" selection; elsewhere (Wayland, offscreen) true.
bool available();

// Overrides the answer (nullopt: ask the windowing system again), for views under test.
void overrideAvailability(std::optional<bool> available);

// Gives `window` the outline `shape`: a transparent background where translucency is
// available, else an opaque window masked to the shape's pixels.
void applyShape(QWidget& window, const QPainterPath& shape);

}  // namespace tidewell::WindowTranslucency
