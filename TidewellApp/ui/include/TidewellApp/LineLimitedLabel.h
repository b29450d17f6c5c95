#pragma once
// Plain text wrapped at word boundaries into at most a given number of lines; what does not
// fit ends the last line with "…".

#include "TidewellApp/ThemedText.h"

namespace tidewell {

class LineLimitedLabel : public ThemedText {
    Q_OBJECT
public:
    explicit LineLimitedLabel(const QString& text = {}, int maximumLines = 2, QWidget* parent = nullptr);

    int maximumLines() const { return maximumLines_; }
    void setMaximumLines(int lines);

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
    int maximumLines_;
};

}  // namespace tidewell
