#pragma once
// A horizontal slider over a range of real numbers with no step: a drag sets any value in the
// range, not only whole fractions of it. The arrow keys move it by a hundredth of the range.
// Only the user's changes are signalled; setValue from code is silent.

#include <QWidget>

namespace tidewell {

class ContinuousSlider : public QWidget {
    Q_OBJECT
public:
    ContinuousSlider(double minimum, double maximum, QWidget* parent = nullptr);

    double minimum() const { return minimum_; }
    double maximum() const { return maximum_; }
    double value() const { return value_; }
    // Shows `value`, held inside the range (a value that is not a number shows the minimum).
    void setValue(double value);

    // The value a press at x (in the widget's coordinates) chooses.
    double valueAt(qreal x) const;
    // The knob's centre for the current value.
    QPointF knobCentre() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The user moved the slider to `value`.
    void valueEdited(double value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void edit(double value);
    qreal trackStart() const;
    qreal trackEnd() const;

    double minimum_;
    double maximum_;
    double value_;
    bool dragging_ = false;
};

}  // namespace tidewell
