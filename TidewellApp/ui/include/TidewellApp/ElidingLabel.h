#pragma once
// One line of plain text that ends in "…" when it does not fit its width.

#include "TidewellApp/Theme.h"

#include <QWidget>

#include <optional>

namespace tidewell {

class ElidingLabel : public QWidget {
    Q_OBJECT
public:
    explicit ElidingLabel(const QString& text = {}, QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);

    // The text's colour: a foreground style of the current scheme, or a fixed colour.
    void setForeground(Theme::Foreground style);
    void setColor(const QColor& color);
    QColor effectiveColor() const;

    // The text as it is drawn at the current width.
    QString displayedText() const;
    bool isElided() const { return displayedText() != text_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    Theme::Foreground style_ = Theme::Foreground::primary;
    std::optional<QColor> color_;
};

}  // namespace tidewell
