#pragma once
// A button that looks like a link: its title in the accent colour, underlined under the
// pointer, faded while disabled.

#include <QAbstractButton>

namespace tidewell {

class LinkButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit LinkButton(const QString& text = {}, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    QColor textColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool hovered_ = false;
};

}  // namespace tidewell
