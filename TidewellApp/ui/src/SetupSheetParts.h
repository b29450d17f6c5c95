#pragma once
// The pieces the setup sheet and the uninstall window share: the header with its large symbol,
// the card of status rows, the rows themselves, a small spinner, and a label that takes its
// colour from the current scheme.

#include "TidewellApp/Theme.h"

#include <QLabel>
#include <QWidget>

#include <functional>

class QTimer;
class QVBoxLayout;

namespace tidewell::setupsheet {

// The colour of a label, re-applied by refreshColors() after a change of scheme.
void setTextColor(QLabel* label, const QColor& color);
QColor secondary();
ColorScheme scheme();

// A small indeterminate spinner (16 points), turning while shown.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    QTimer* timer_;
    int angle_ = 0;
};

// Header: the symbol at 40 points in `tint`, the title (title-2, semibold) and the line below.
class Header : public QWidget {
    Q_OBJECT
public:
    Header(QString symbol, std::function<QColor()> tint, const QString& title, const QString& subtitle,
           QWidget* parent = nullptr);
    void refreshColors();
    QLabel* title() const { return title_; }
    QLabel* subtitle() const { return subtitle_; }

private:
    QString symbol_;
    std::function<QColor()> tint_;
    QLabel* icon_;
    QLabel* title_;
    QLabel* subtitle_;
};

// A status row: an icon (a symbol or the spinner), the title in medium weight with an optional
// detail at the trailing edge, and the subtitle below in the callout style.
class StatusRow : public QWidget {
    Q_OBJECT
public:
    StatusRow(const QString& title, const QString& subtitle, QWidget* parent = nullptr);
    void setSymbol(const QString& symbol, const QColor& tint);
    void setSpinning();
    void setDetail(const QString& detail);
    void setSubtitle(const QString& subtitle);
    void refreshColors();

    QString symbol() const { return symbol_; }
    bool spinning() const { return spinning_; }
    QLabel* title() const { return title_; }
    QLabel* detail() const { return detail_; }
    QLabel* subtitle() const { return subtitle_; }

private:
    QLabel* icon_;
    Spinner* spinner_;
    QLabel* title_;
    QLabel* detail_;
    QLabel* subtitle_;
    QString symbol_;
    QColor tint_;
    bool spinning_ = false;
};

// The card behind the rows: a rounded rectangle (radius 10) in the quaternary fill at half
// opacity, 14 points inside, rows 12 apart.
class RowCard : public QWidget {
    Q_OBJECT
public:
    explicit RowCard(QWidget* parent = nullptr);
    QVBoxLayout* rows() const { return rows_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QVBoxLayout* rows_;
};

// A label in the callout style that the user can select and copy (the red error lines).
QLabel* selectableCallout(QWidget* parent);
QFont calloutFont();

}  // namespace tidewell::setupsheet
