#include "TidewellApp/TidewellMainWindow.h"

#include <QCloseEvent>
#include <QEvent>
#include <QGridLayout>
#include <QShowEvent>
#include <QTimer>

#include "TidewellApp/DotGridBackground.h"

namespace tidewell {

TidewellMainWindow::TidewellMainWindow(QWidget* parent) : QMainWindow(parent) {
  setMinimumSize(minimumWidth, minimumHeight);
  // The grid takes no clicks (nor do its children), so the content lies over it in one cell
  // rather than inside it.
  host_ = new QWidget();
  host_->setObjectName(QStringLiteral("mainWindowContentHost"));
  layout_ = new QGridLayout(host_);
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(0);
  background_ = new DotGridBackground(14, 1, host_);
  layout_->addWidget(background_, 0, 0);
  setCentralWidget(host_);
  background_->installEventFilter(this);
}

void TidewellMainWindow::setContent(QWidget* content) {
  if (content_ == content) return;
  delete content_;
  content_ = content;
  if (content) layout_->addWidget(content, 0, 0);
}

QSize TidewellMainWindow::fittingSize() const {
  if (!content_) return minimumSize();
  const QWidget* bar = menuWidget();
  const int barHeight = bar && !bar->isHidden() ? bar->sizeHint().height() : 0;
  return (content_->sizeHint() + QSize(0, barHeight)).expandedTo(minimumSize());
}

void TidewellMainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!event->spontaneous()) emit contentShown();
}

void TidewellMainWindow::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  if (!event->isAccepted()) return;
  const bool normal = !(isMaximized() || isFullScreen());
  const QSize size = normal ? this->size() : normalGeometry().size();
  if (!size.isEmpty()) emit closing(size);
}

bool TidewellMainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == background_ && event->type() == QEvent::Paint && !painted_) {
    painted_ = true;
    // Once this paint has gone through (the filter sees it before the widget paints).
    QTimer::singleShot(0, this, &TidewellMainWindow::firstFramePainted);
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace tidewell
