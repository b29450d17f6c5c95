#pragma once
// Plain text wrapped at word boundaries into at most a given number of lines; what does not
// fit ends the last line with "…".

#include "TidewellApp/Theme.h"

#include <QWidget>

#include <optional>

namespace tidewell {

class LineLimitedLabel : public QWidget {
    Q_OBJECT
public:
    explicit LineLimitedLabel(const QString& text = {}, int maximumLines = 2, QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);
    int maximumLines() const { return maximumLines_; }
    void setMaximumLines(int lines);

    void setForeground(Theme::Foreground style);
    void setColor(const QColor& color);
    QColor effectiveColor() const;

    // The lines drawn at `width` (the current width when omitted).
    QStringList displayedLines(int width = -1) const;
    bool isTruncated() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    int maximumLines_;
    Theme::Foreground style_ = Theme::Foreground::primary;
    std::optional<QColor> color_;
};

}  // namespace tidewell
