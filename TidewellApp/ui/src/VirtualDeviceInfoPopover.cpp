#include "TidewellApp/VirtualDeviceInfoPopover.h"

#include "TidewellApp/WindowTranslucency.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

namespace tidewell {

namespace {

constexpr qreal headlinePoints = 13;
constexpr qreal calloutPoints = 12;
constexpr qreal bubbleRadius = 10;

QLabel* wrappedText(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setFont(font);
    return label;
}

void setTextColour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

// A symbol beside a wrapping text, as one label.
QWidget* symbolLine(const QString& symbol, const QString& text, const QFont& font, ColorScheme scheme,
                    QWidget* parent) {
    auto* line = new QWidget(parent);
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto* icon = new QLabel(line);
    const qreal side = SymbolProvider::sizeForFont(calloutPoints);
    icon->setPixmap(SymbolProvider::pixmap(symbol, side, Theme::primaryText(scheme), line->devicePixelRatioF()));
    layout->addWidget(icon, 0, Qt::AlignTop);
    auto* label = wrappedText(text, font, line);
    label->setObjectName(QStringLiteral("lineText"));
    setTextColour(label, Theme::primaryText(scheme));
    layout->addWidget(label, 1);
    return line;
}

}  // namespace

VirtualDeviceInfoPopover::VirtualDeviceInfoPopover(const QString& deviceName, QWidget* parent)
    : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint), deviceName_(deviceName) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const QFont callout = Theme::font(calloutPoints);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(padding, padding + arrowHeight, padding, padding);
    stack->setSpacing(10);

    auto* headline = wrappedText(tr("Use %1 in other apps").arg(deviceName), Theme::font(headlinePoints, QFont::Bold), this);
    setTextColour(headline, Theme::primaryText(scheme));
    stack->addWidget(headline);
    auto* body = wrappedText(
        tr("%1 appears as an input device \u2014 like a microphone \u2014 in every app on this Mac. "
           "Whatever you route into these output channels is exactly what those apps hear.")
            .arg(deviceName),
        callout, this);
    setTextColour(body, Theme::primaryText(scheme));
    stack->addWidget(body);

    auto* steps = new QVBoxLayout;
    steps->setSpacing(6);
    steps->addWidget(symbolLine(QStringLiteral("1.circle"), QStringLiteral("Wire sources into these channels."),
                                callout, scheme, this));
    steps->addWidget(symbolLine(
        QStringLiteral("2.circle"),
        tr("In the other app (Zoom, OBS, QuickTime\u2026), choose \u201c%1\u201d as the microphone or input.")
            .arg(deviceName),
        callout, scheme, this));
    stack->addLayout(steps);

    auto* note = wrappedText(QStringLiteral("Channels 1 and 2 are the stereo pair most apps capture."), callout, this);
    setTextColour(note, Theme::secondaryText(scheme));
    stack->addWidget(note);

    // Fixed width; the wrapped texts take the height they need.
    setFixedWidth(contentWidth);
    setFixedHeight(heightForWidth(contentWidth) > 0 ? heightForWidth(contentWidth) : sizeHint().height());
    // Without a compositing manager the corners around the bubble would be black.
    WindowTranslucency::applyShape(*this, outline());
}

QPainterPath VirtualDeviceInfoPopover::outline() const {
    const QRectF bubble = QRectF(rect()).adjusted(0.5, arrowHeight + 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(bubble, bubbleRadius, bubbleRadius);
    // The arrow on the top edge points up at the button.
    const qreal middle = width() / 2.0;
    QPainterPath arrow;
    arrow.moveTo(middle - arrowHeight, bubble.top() + 0.5);
    arrow.lineTo(middle, 0.5);
    arrow.lineTo(middle + arrowHeight, bubble.top() + 0.5);
    arrow.closeSubpath();
    return path.united(arrow);
}

QStringList VirtualDeviceInfoPopover::texts() const {
    QStringList found;
    for (auto* label : findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) found << label->text();
    }
    return found;
}

void VirtualDeviceInfoPopover::paintEvent(QPaintEvent*) {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath path = outline();
    painter.setBrush(scheme == ColorScheme::dark ? QColor(44, 44, 48) : QColor(250, 250, 252));
    QColor border = Theme::primaryText(scheme);
    border.setAlphaF(0.18);
    painter.setPen(QPen(border, 1));
    painter.drawPath(path);
}

void VirtualDeviceInfoPopover::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    emit hoveredChanged(true);
}

void VirtualDeviceInfoPopover::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    emit hoveredChanged(false);
}

VirtualDeviceInfoButton::VirtualDeviceInfoButton(const QString& deviceName, QWidget* parent)
    : QAbstractButton(parent), deviceName_(deviceName) {
    setToolTip({});
    setAccessibleName(QStringLiteral("About %1").arg(deviceName));
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, [this] { setShowPopover(true); });
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            qOverload<>(&QWidget::update));
}

VirtualDeviceInfoButton::~VirtualDeviceInfoButton() {
    qApp->removeEventFilter(this);
    delete popover_;
}

void VirtualDeviceInfoButton::setDeviceName(const QString& name) {
    deviceName_ = name;
    setAccessibleName(QStringLiteral("About %1").arg(name));
}

QSize VirtualDeviceInfoButton::sizeHint() const {
    // The symbol, grown by the hit margin on every side.
    const int side = qRound(SymbolProvider::sizeForFont(13));
    return {side + 2 * hitMargin, side + 2 * hitMargin};
}

void VirtualDeviceInfoButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const QRect symbol = rect().adjusted(hitMargin, hitMargin, -hitMargin, -hitMargin);
    QColor tint = Theme::secondaryText(scheme);
    if (isDown()) tint = Theme::primaryText(scheme);
    painter.drawPixmap(symbol, SymbolProvider::pixmap(QStringLiteral("info.circle"), symbol.width(), tint,
                                                      devicePixelRatioF()));
}

void VirtualDeviceInfoButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    iconHovered_ = true;
    hoverChanged();
}

void VirtualDeviceInfoButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    iconHovered_ = false;
    hoverChanged();
}

void VirtualDeviceInfoButton::hoverChanged() {
    const int generation = ++hoverGeneration_;
    if (iconHovered_) {
        QTimer::singleShot(showDelayMilliseconds, this, [this, generation] {
            if (hoverGeneration_ == generation && iconHovered_) setShowPopover(true);
        });
    } else if (!popoverHovered_) {
        QTimer::singleShot(hideDelayMilliseconds, this, [this, generation] {
            if (hoverGeneration_ == generation && !iconHovered_ && !popoverHovered_) setShowPopover(false);
        });
    }
}

void VirtualDeviceInfoButton::setShowPopover(bool shown) {
    if (shown == showPopover_) return;
    showPopover_ = shown;
    if (shown) present();
    else dismiss();
    emit showPopoverChanged(shown);
}

void VirtualDeviceInfoButton::present() {
    delete popover_;
    popover_ = new VirtualDeviceInfoPopover(deviceName_, this);
    connect(popover_, &VirtualDeviceInfoPopover::hoveredChanged, this, [this](bool hovered) {
        popoverHovered_ = hovered;
        hoverChanged();
    });
    // Below the button, the arrow's tip at the button's bottom centre, kept on the screen.
    const QPoint anchor = mapToGlobal(QPoint(width() / 2, height()));
    QPoint topLeft(anchor.x() - popover_->width() / 2, anchor.y());
    if (QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        topLeft.setX(std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.right() - popover_->width())));
    }
    popover_->move(topLeft);
    popover_->show();
    qApp->installEventFilter(this);
    connect(qApp, &QGuiApplication::applicationStateChanged, popover_, [this](Qt::ApplicationState state) {
        if (state != Qt::ApplicationActive) setShowPopover(false);
    });
}

void VirtualDeviceInfoButton::dismiss() {
    qApp->removeEventFilter(this);
    popoverHovered_ = false;
    if (popover_) {
        popover_->hide();
        popover_->deleteLater();
        popover_ = nullptr;
    }
}

void VirtualDeviceInfoButton::hideEvent(QHideEvent* event) {
    QAbstractButton::hideEvent(event);
    // A button that is no longer shown has nothing to point at.
    if (!isVisible()) setShowPopover(false);
}

bool VirtualDeviceInfoButton::eventFilter(QObject* watched, QEvent* event) {
    if (showPopover_) {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            setShowPopover(false);
            return true;
        }
        if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
            const QPoint global = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
            const bool onButton = rect().contains(mapFromGlobal(global));
            const bool onPopover = popover_ && popover_->rect().contains(popover_->mapFromGlobal(global));
            if (!onButton && !onPopover) setShowPopover(false);
        }
    }
    return QAbstractButton::eventFilter(watched, event);
}

}  // namespace tidewell
