#include "TidewellApp/TidewellRootView.h"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QPainter>
#include <QStackedLayout>
#include <QToolButton>
#include <QVariantAnimation>
#include <cmath>

#include "SidebarParts.h"
#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/DotGridBackground.h"
#include "TidewellApp/SidebarView.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

namespace {

// A damped spring (response 0.3 s, damping fraction 0.9) released at rest, as a function of
// the animation's progress over springMilliseconds.
qreal springCurve(qreal progress) {
  if (progress >= 1) return 1;
  constexpr qreal response = 0.3;
  constexpr qreal damping = 0.9;
  const qreal time = progress * TidewellRootView::springMilliseconds / 1000.0;
  const qreal natural = 2 * M_PI / response;
  const qreal damped = natural * std::sqrt(1 - damping * damping);
  const qreal decay = std::exp(-damping * natural * time);
  return 1 - decay * (std::cos(damped * time) + damping * natural / damped * std::sin(damped * time));
}

}  // namespace

// ---- SidebarToggleButton --------------------------------------------------------------------

SidebarToggleButton::SidebarToggleButton(const QKeySequence& shortcut, QWidget* parent) : GlassCard(8, parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  button_ = makeSymbolButton(QStringLiteral("sidebar.leading"),
                             sidebarShortcutHelp(QStringLiteral("Show Sidebar"), shortcut), this, 13);
  // The whole square is the hit area.
  button_->setFixedSize(side, side);
  button_->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
  layout->addWidget(button_);
  const QMargins margins = shadowMargins();
  setFixedSize(side + margins.left() + margins.right(), side + margins.top() + margins.bottom());
  connect(button_, &QToolButton::clicked, this, &SidebarToggleButton::clicked);
}

// ---- TidewellRootView -----------------------------------------------------------------------

// Paints the sidebar's glass card under the sidebar's content, at the sidebar's opacity. What
// the card draws is kept to the slot grown by the mask overhang at its trailing edge, so its
// shadow may fall onto the detail column.
class TidewellRootView::CardLayer : public QWidget {
 public:
  explicit CardLayer(TidewellRootView* root) : QWidget(root), root_(root) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    const qreal opacity = root_->sidebarOpacity();
    if (opacity <= 0) return;
    QPainter painter(this);
    painter.setClipRect(QRectF(0, 0, root_->sidebarSlotWidth() + maskOverhang, height()));
    painter.setOpacity(opacity);
    GlassCardModifier::paint(painter, root_->sidebarCardRect(), cardCornerRadius,
                             ColorSchemeSource::instance().scheme());
  }

 private:
  TidewellRootView* root_;
};

TidewellRootView::TidewellRootView(TidewellAppModel& model, TidewellMeterModel* meters, bool sidebarVisible,
                                   MainWindowHooks hooks, QWidget* parent)
    : QWidget(parent),
      model_(&model),
      meters_(meters),
      hooks_(std::move(hooks)),
      sidebarVisible_(sidebarVisible),
      progress_(sidebarVisible ? 1 : 0) {
  if (!hooks_.toggleSidebar) {
    hooks_.toggleSidebar = [this] { setSidebarVisible(!sidebarVisible_); };
  }
  background_ = new DotGridBackground(14, 1, this);
  cardLayer_ = new CardLayer(this);

  sidebar_ = new SidebarView(model, hooks_, this);
  sidebarOpacity_ = new QGraphicsOpacityEffect(sidebar_);
  sidebar_->setGraphicsEffect(sidebarOpacity_);

  detail_ = new QWidget(this);
  detail_->setObjectName(QStringLiteral("detailColumn"));
  detailStack_ = new QStackedLayout(detail_);
  empty_ = new EmptyDeviceView(model, detail_);
  detailStack_->addWidget(empty_);

  floating_ = new SidebarToggleButton(hooks_.sidebarShortcut, this);
  connect(floating_, &SidebarToggleButton::clicked, this, [this] { hooks_.toggleSidebar(); });

  spring_ = new QVariantAnimation(this);
  spring_->setDuration(springMilliseconds);
  QEasingCurve curve;
  curve.setCustomType(springCurve);
  spring_->setEasingCurve(curve);
  connect(spring_, &QVariantAnimation::valueChanged, this,
          [this](const QVariant& value) { setProgress(value.toReal()); });
  connect(spring_, &QVariantAnimation::finished, this, [this] {
    setProgress(sidebarVisible_ ? 1 : 0);
    sidebar_->setVisible(sidebarVisible_);
  });

  connect(&model, &TidewellAppModel::selectedDeviceChanged, this, &TidewellRootView::showSelectedDevice);
  // Once uninstalling has begun nothing is saved any more, also after a run that failed partway:
  // the sidebar and the editor stay in view but take no edits.
  auto showUninstalling = [this, m = &model] {
    sidebar_->setEnabled(!m->isUninstalling());
    detail_->setEnabled(!m->isUninstalling());
  };
  connect(&model, &TidewellAppModel::isUninstallingChanged, this, showUninstalling);
  showUninstalling();
  setMinimumSize(detailMinimumWidth + (sidebarVisible_ ? slotWidth : 0), 400);
  sidebar_->setAttribute(Qt::WA_TransparentForMouseEvents, !sidebarVisible_);
  sidebar_->setVisible(sidebarVisible_);
  showSelectedDevice();
  updateFloatingToggle(false);
  setProgress(progress_);
}

QSize TidewellRootView::sizeHint() const {
  const QSize least = minimumSize();
  if (!editor_ || detailStack_->currentWidget() != editor_) return least;
  const QSize editor = editor_->fittingSize();
  if (editor.isEmpty()) return least;
  // The stack gives the editor the whole detail column (it lays out no margins).
  const int slot = sidebarVisible_ ? slotWidth : 0;
  return QSize(slot + editor.width(), editor.height()).expandedTo(least);
}

qreal TidewellRootView::sidebarOpacity() const { return std::clamp(progress_, 0.0, 1.0); }

bool TidewellRootView::sidebarAnimating() const { return spring_->state() == QAbstractAnimation::Running; }

bool TidewellRootView::sidebarTakesClicks() const {
  return sidebar_->isVisible() && !sidebar_->testAttribute(Qt::WA_TransparentForMouseEvents);
}

QRectF TidewellRootView::sidebarCardRect() const {
  // The slot aligns the padded card to its trailing edge, so a shrinking slot slides it out to
  // the left.
  const qreal left = sidebarSlotWidth() - slotWidth + (slotWidth - cardWidth);
  return QRectF(left, cardTopPadding, cardWidth, std::max(0, height() - cardTopPadding - cardBottomPadding));
}

void TidewellRootView::setSidebarVisible(bool visible, bool animated) {
  if (visible == sidebarVisible_ && !sidebarAnimating()) {
    setProgress(visible ? 1 : 0);
    return;
  }
  sidebarVisible_ = visible;
  // A hidden card takes no clicks from the moment it starts to leave.
  sidebar_->setAttribute(Qt::WA_TransparentForMouseEvents, !visible);
  if (visible) sidebar_->setVisible(true);
  setMinimumWidth(detailMinimumWidth + (visible ? slotWidth : 0));
  if (editor_) editor_->setSidebarVisible(visible, animated);
  updateFloatingToggle(animated);
  spring_->stop();
  if (!animated) {
    setProgress(visible ? 1 : 0);
    sidebar_->setVisible(visible);
    return;
  }
  spring_->setStartValue(progress_);
  spring_->setEndValue(visible ? 1.0 : 0.0);
  spring_->start();
}

void TidewellRootView::setProgress(qreal progress) {
  progress_ = progress;
  sidebarOpacity_->setOpacity(sidebarOpacity());
  layoutChildren();
  cardLayer_->update();
}

void TidewellRootView::resizeEvent(QResizeEvent*) { layoutChildren(); }

void TidewellRootView::layoutChildren() {
  const QRect all = rect();
  background_->setGeometry(all);
  cardLayer_->setGeometry(all);
  sidebar_->setGeometry(sidebarCardRect().toAlignedRect());
  const int slot = qRound(sidebarSlotWidth());
  detail_->setGeometry(slot, 0, std::max(0, width() - slot), height());
  const QMargins shadow = GlassCard::shadowMargins();
  floating_->move(slot + 12 - shadow.left(), 16 - shadow.top());
}

void TidewellRootView::showSelectedDevice() {
  if (!model_) return;
  const auto device = model_->selectedDevice();
  if (device) {
    if (!editor_) {
      editor_ = new DeviceEditorView(*model_, meters_, device->id, sidebarVisible_, hooks_, detail_);
      detailStack_->addWidget(editor_);
    } else {
      editor_->setDeviceID(device->id);
    }
    detailStack_->setCurrentWidget(editor_);
  } else {
    detailStack_->setCurrentWidget(empty_);
  }
  updateFloatingToggle(isVisible());
}

void TidewellRootView::updateFloatingToggle(bool animated) {
  // With a device selected, its header carries the way back.
  const bool wanted = !sidebarVisible_ && model_ && !model_->selectedDevice();
  fadeWidget(floating_, wanted, animated);
  floating_->raise();
}

}  // namespace tidewell
