#pragma once
// The volume line shared by the routing editor's gains: a speaker symbol, a continuous slider
// from 0.0 to 2.0 bound to a linear gain, and the gain as a whole percentage. The line keeps
// no copy of the gain: refresh() shows the binding's current value, and every slider movement
// writes the binding.

#include "TidewellApp/Bindings.h"

#include <QWidget>

class QHBoxLayout;
class QLabel;

namespace tidewell {

class ContinuousSlider;

// Gains are linear factors; 1.0 is unity and 0.0 to 2.0 is the valid range.
inline constexpr double minimumGain = 0.0;
inline constexpr double maximumGain = 2.0;

// The gain as the slider and the percentage show it: a value that is not finite shows as
// unity, anything else is held inside the valid range (a configuration never holds more, but
// a text or a slider must not fail on it).
double displayedGain(double gain);
// The displayed gain times 100, truncated toward zero, and a percent sign: 0.57 gives "56%"
// (the product is 56.99999999999999), 2.0 gives "200%".
QString gainPercentText(double gain);

class VolumeSliderLine : public QWidget {
    Q_OBJECT
public:
    explicit VolumeSliderLine(Binding<double> gain, QWidget* parent = nullptr);

    const Binding<double>& binding() const { return gain_; }
    void setBinding(Binding<double> gain);

    ContinuousSlider* slider() const { return slider_; }
    QLabel* percentLabel() const { return percent_; }
    QString percentText() const;
    // The line's layout, for callers that append controls of their own.
    QHBoxLayout* lineLayout() const { return layout_; }

public slots:
    // Shows the binding's current value.
    void refresh();

signals:
    // The user moved the slider (after the binding was written).
    void edited();

private:
    void applyScheme();

    Binding<double> gain_;
    QHBoxLayout* layout_;
    QLabel* speaker_;
    ContinuousSlider* slider_;
    QLabel* percent_;
};

}  // namespace tidewell
