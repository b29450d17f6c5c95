#pragma once
// The level meter's parts, drawn once and reused: the track (with or without the live stub),
// the gradient bar at full width, the bar's rounded end for each bar width (to a quarter
// pixel) and the clip dot. A repaint then only copies images, which keeps 64 meters at 30 Hz
// cheap. Shared by every meter of one size and pixel ratio; main thread only.

#include <QColor>
#include <QImage>

namespace tidewell::LevelMeterPictures {

struct Geometry {
    int width;
    int height;
    qreal devicePixelRatio;
};

const QImage& track(const Geometry& geometry, const QColor& trackColour, const QColor& stubColour);
// The gradient capsule across the whole meter, as the bar shows it at full scale.
const QImage& fullBar(const Geometry& geometry);
// The right end of a bar of `barWidth` (rounded to a quarter point): the image covers the bar
// from `cut` on, where `cut` is the last whole device pixel before the rounding begins.
struct BarEnd {
    const QImage* image;
    qreal cut;  // in points
};
BarEnd barEnd(const Geometry& geometry, qreal barWidth);
const QImage& clipDot(const Geometry& geometry, const QColor& colour);

}  // namespace tidewell::LevelMeterPictures
