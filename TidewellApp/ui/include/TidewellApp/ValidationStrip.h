#pragma once
// The configuration's problems above the routing canvas: every error (red octagon), then every
// warning (orange triangle), each with the validator's message as plain text. Absent (no
// space taken) when there is nothing to list.

#include <QWidget>

#include "TidewellCore/ConfigValidator.h"

class QVBoxLayout;

namespace tidewell {

class ValidationStrip : public QWidget {
  Q_OBJECT
 public:
  static constexpr qreal cornerRadius = 10;

  explicit ValidationStrip(QWidget* parent = nullptr);
  void setValidation(const ValidationResult& validation);
  const ValidationResult& validation() const { return validation_; }

  // The listed rows, top to bottom: the symbol name and the text of each.
  struct Row {
    QString symbol;
    QString message;
  };
  QList<Row> rows() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void rebuild();

  ValidationResult validation_;
  QVBoxLayout* column_;
};

}  // namespace tidewell
