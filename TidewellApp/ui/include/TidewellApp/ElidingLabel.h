#pragma once
// One line of plain text that ends in "…" when it does not fit its width.

#include "TidewellApp/ThemedText.h"

namespace tidewell {

class ElidingLabel : public ThemedText {
    Q_OBJECT
public:
    explicit ElidingLabel(const QString& text = {}, QWidget* parent = nullptr);

    // The text as it is drawn at the current width.
    QString displayedText() const;
    bool isElided() const { return displayedText() != text(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tidewell
