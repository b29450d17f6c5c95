#pragma once
// The main window's background: a base colour, a soft glow from the top edge and a fine grid
// of dots. It takes no clicks. The painted layer is cached per size, scheme and pixel ratio.

#include "TidewellApp/ColorScheme.h"

#include <QPixmap>
#include <QWidget>

namespace tidewell {

class DotGridBackground : public QWidget {
    Q_OBJECT
public:
    explicit DotGridBackground(qreal spacing = 14, qreal dotRadius = 1, QWidget* parent = nullptr);

    qreal spacing() const { return spacing_; }
    qreal dotRadius() const { return dotRadius_; }

    // Paints the whole background for a rectangle of `size` at its origin.
    static void paint(QPainter& painter, QSizeF size, ColorScheme scheme, qreal spacing, qreal dotRadius);
    // The background as an image of `size` device-independent pixels at a pixel ratio.
    static QImage render(QSizeF size, qreal devicePixelRatio, ColorScheme scheme, qreal spacing,
                         qreal dotRadius);

    // How often the cached layer was painted anew (for checking the cache).
    int renderCount() const { return renderCount_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal spacing_;
    qreal dotRadius_;
    QPixmap cache_;
    ColorScheme cacheScheme_ = ColorScheme::light;
    int renderCount_ = 0;
};

}  // namespace tidewell
