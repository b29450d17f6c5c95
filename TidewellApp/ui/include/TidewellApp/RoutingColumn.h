#pragma once
// One column of the routing canvas (sources, output channels, monitors): a header with the
// column's symbol in the accent colour and its title, above the column's rows. The column
// takes the full width it is offered and keeps its rows at the top. The header is inset at
// both sides by the room the content keeps beside its cards for their shadows, so that it
// lines up with the cards' visible edges.

#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace tidewell {

class ElidingLabel;

class RoutingColumn : public QWidget {
    Q_OBJECT
public:
    RoutingColumn(const QString& title, const QString& systemImage, QWidget* content,
                  QWidget* parent = nullptr);

    QString title() const;
    QString systemImage() const { return systemImage_; }
    QWidget* content() const { return content_; }
    QLabel* symbolLabel() const { return symbol_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshSymbol();

    QString systemImage_;
    QLabel* symbol_;
    ElidingLabel* title_;
    QWidget* content_;
};

}  // namespace tidewell
