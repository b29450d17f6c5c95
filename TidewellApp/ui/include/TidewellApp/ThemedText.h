#pragma once
// The common part of the kit's text widgets: plain text in a foreground style of the current
// scheme (or a fixed colour), repainted when the scheme changes.

#include "TidewellApp/Theme.h"

#include <QWidget>

#include <optional>

namespace tidewell {

class ThemedText : public QWidget {
    Q_OBJECT
    // A property as on Qt's own labels, so what reads widgets by their properties (a test
    // driving the window) finds the text the user sees.
    Q_PROPERTY(QString text READ text WRITE setText)
public:
    QString text() const { return text_; }
    void setText(const QString& text);

    void setForeground(Theme::Foreground style);
    void setColor(const QColor& color);
    QColor effectiveColor() const;

protected:
    explicit ThemedText(const QString& text, QWidget* parent);

private:
    QString text_;
    Theme::Foreground style_ = Theme::Foreground::primary;
    std::optional<QColor> color_;
};

}  // namespace tidewell
