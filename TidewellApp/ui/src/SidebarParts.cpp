#include "SidebarParts.h"

#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QPropertyAnimation>

#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

namespace tidewell {

namespace {

void applySymbol(QToolButton* button, const QString& symbol, qreal points) {
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  button->setIcon(SymbolProvider::icon(symbol, Theme::primaryText(scheme)));
  const int side = qRound(SymbolProvider::sizeForFont(points));
  button->setIconSize(QSize(side, side));
}

}  // namespace

QToolButton* makeSymbolButton(const QString& symbol, const QString& help, QWidget* parent, qreal points) {
  auto* button = new QToolButton(parent);
  button->setAutoRaise(true);
  button->setToolButtonStyle(Qt::ToolButtonIconOnly);
  button->setToolTip(help);
  button->setAccessibleName(help);
  button->setCursor(Qt::ArrowCursor);
  button->setFocusPolicy(Qt::TabFocus);
  applySymbol(button, symbol, points);
  QObject::connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, button,
                   [button, symbol, points] { applySymbol(button, symbol, points); });
  return button;
}

QString sidebarShortcutHelp(const QString& action, const QKeySequence& shortcut) {
  if (shortcut.isEmpty()) return action;
  return action + QStringLiteral(" (") + shortcut.toString(QKeySequence::NativeText) + QLatin1Char(')');
}

void fadeWidget(QWidget* widget, bool visible, bool animated) {
  auto* effect = qobject_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
  if (!effect) {
    effect = new QGraphicsOpacityEffect(widget);
    effect->setOpacity(widget->isVisibleTo(widget->parentWidget()) ? 1.0 : 0.0);
    widget->setGraphicsEffect(effect);
  }
  auto* running = widget->findChild<QPropertyAnimation*>(QStringLiteral("fade"), Qt::FindDirectChildrenOnly);
  if (running) {
    running->stop();
    delete running;
  }
  if (!animated) {
    effect->setOpacity(visible ? 1.0 : 0.0);
    widget->setVisible(visible);
    return;
  }
  if (visible) widget->setVisible(true);
  auto* fade = new QPropertyAnimation(effect, "opacity", widget);
  fade->setObjectName(QStringLiteral("fade"));
  fade->setDuration(fadeMilliseconds);
  fade->setStartValue(effect->opacity());
  fade->setEndValue(visible ? 1.0 : 0.0);
  QObject::connect(fade, &QPropertyAnimation::finished, widget, [widget, fade, visible] {
    if (!visible) widget->setVisible(false);
    fade->deleteLater();
  });
  fade->start();
}

StatusDot::StatusDot(QWidget* parent) : QWidget(parent) { setFixedSize(8, 8); }

void StatusDot::setColour(const QColor& colour) {
  if (colour == colour_) return;
  colour_ = colour;
  update();
}

void StatusDot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour_);
  painter.drawEllipse(QRectF(rect()));
}

Divider::Divider(QWidget* parent) : QFrame(parent) {
  setFixedHeight(1);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  painter.fillRect(rect(), scheme == ColorScheme::dark ? QColor(255, 255, 255, 26) : QColor(0, 0, 0, 22));
}

}  // namespace tidewell
