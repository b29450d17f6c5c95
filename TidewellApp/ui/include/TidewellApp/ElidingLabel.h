#pragma once
// One line of plain text that ends in "…" when it does not fit its width. A label may keep the
// end of its text whole: a channel's name keeps its number and side ("Ch… 1 (L)"), so that two
// rows never read the same however narrow they are.

#include "TidewellApp/ThemedText.h"

namespace tidewell {

class ElidingLabel : public ThemedText {
    Q_OBJECT
public:
    explicit ElidingLabel(const QString& text = {}, QWidget* parent = nullptr);

    // The last `characters` characters stay whole when the text is cut: the part before them
    // is cut at its end; where not one character of it fits, they are shown alone (and only
    // then cut themselves). 0, the default, cuts the whole text at its end.
    void setKeptEnd(int characters);
    int keptEnd() const { return keptEnd_; }

    // The text as it is drawn at the current width.
    QString displayedText() const;
    bool isElided() const { return displayedText() != text(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int keptEnd_ = 0;
};

}  // namespace tidewell
