#include "TidewellApp/DeviceEditorView.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "TidewellApp/DeviceHeaderView.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/RoutingCanvasView.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellApp/ValidationStrip.h"

namespace tidewell {

// ---- EmptyDeviceView ------------------------------------------------------------------------

EmptyDeviceView::EmptyDeviceView(TidewellAppModel& model, QWidget* parent) : QWidget(parent), model_(&model) {
  auto* column = new QVBoxLayout(this);
  column->setSpacing(16);
  column->addStretch(1);
  symbol_ = new QLabel(this);
  symbol_->setAlignment(Qt::AlignCenter);
  auto* title = new QLabel(QStringLiteral("No Devices"), this);
  title->setFont(Theme::font(17, QFont::DemiBold));
  title->setAlignment(Qt::AlignCenter);
  button_ = new QPushButton(QStringLiteral("New Device"), this);
  button_->setDefault(true);
  button_->setAutoDefault(true);
  column->addWidget(symbol_, 0, Qt::AlignHCenter);
  column->addWidget(title, 0, Qt::AlignHCenter);
  column->addWidget(button_, 0, Qt::AlignHCenter);
  column->addStretch(1);
  connect(button_, &QPushButton::clicked, this, [this] {
    if (model_) model_->createDevice();
  });
  connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, &EmptyDeviceView::refreshSymbol);
  refreshSymbol();
}

void EmptyDeviceView::refreshSymbol() {
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  const qreal side = SymbolProvider::sizeForFont(42);
  symbol_->setPixmap(SymbolProvider::pixmap(QStringLiteral("waveform.path.badge.plus"), side,
                                            Theme::secondaryText(scheme), devicePixelRatioF()));
  // The prominent button: accent fill, white label.
  button_->setIcon(SymbolProvider::icon(QStringLiteral("plus"), Qt::white));
  const QColor accent = Theme::accent(scheme);
  button_->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 6px;"
                                        " padding: 5px 12px; }"
                                        "QPushButton:pressed { background: %2; }")
                             .arg(accent.name(), accent.darker(120).name()));
}

// ---- DeviceEditorView -----------------------------------------------------------------------

// The scroll view's content: paints the glass cards behind the header and the strip, so their
// shadows fall into the padding around them.
class DeviceEditorView::Content : public QWidget {
 public:
  explicit Content(DeviceEditorView* editor) : editor_(editor) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    if (editor_->header_) {
      GlassCardModifier::paint(painter, editor_->header_->geometry(), DeviceHeaderView::cornerRadius, scheme);
    }
    if (editor_->strip_ && editor_->strip_->isVisible()) {
      GlassCardModifier::paint(painter, editor_->strip_->geometry(), ValidationStrip::cornerRadius, scheme);
    }
  }

 private:
  DeviceEditorView* editor_;
};

DeviceEditorView::DeviceEditorView(TidewellAppModel& model, TidewellMeterModel* meters, std::string deviceID,
                                   bool sidebarVisible, MainWindowHooks hooks, QWidget* parent)
    : QWidget(parent),
      model_(&model),
      meters_(meters),
      deviceID_(std::move(deviceID)),
      sidebarVisible_(sidebarVisible),
      hooks_(std::move(hooks)) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  connect(&model, &TidewellAppModel::snapshotChanged, this, &DeviceEditorView::rebuild);
  connect(&model, &TidewellAppModel::validationChanged, this, [this] {
    if (strip_ && model_) strip_->setValidation(model_->validation());
  });
  rebuild();
}

void DeviceEditorView::setDeviceID(std::string deviceID) {
  if (deviceID == deviceID_) return;
  deviceID_ = std::move(deviceID);
  rebuild();
}

QSize DeviceEditorView::fittingSize() const {
  // The scroll area has no frame, and the editor no margins around it.
  return scroll_ && scroll_->widget() ? scroll_->widget()->sizeHint() : QSize();
}

void DeviceEditorView::setSidebarVisible(bool visible, bool animated) {
  sidebarVisible_ = visible;
  if (header_) header_->setSidebarVisible(visible, animated);
}

void DeviceEditorView::rebuild() {
  if (!model_) return;
  const DeviceConfig* device = nullptr;
  for (const auto& candidate : model_->snapshot().devices) {
    if (candidate.id == deviceID_) {
      device = &candidate;
      break;
    }
  }
  if (!device) {
    // A device that is not (or no longer) saved leaves the editor empty.
    delete scroll_;
    scroll_ = nullptr;
    header_ = nullptr;
    strip_ = nullptr;
    canvas_ = nullptr;
    return;
  }
  if (header_ && header_->property("deviceID").toString().toStdString() == deviceID_) {
    header_->setDevice(*device);
    strip_->setValidation(model_->validation());
    if (canvas_) canvas_->setDevice(*device);
    return;
  }
  delete scroll_;
  scroll_ = new QScrollArea(this);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  // A window narrower than the three columns scrolls sideways rather than cutting them off.
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll_->viewport()->setAutoFillBackground(false);
  scroll_->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"));
  auto* content = new Content(this);
  // The canvas reaches into the padding at the sides, where its outer cards' shadows fall;
  // its columns line up with the header.
  const QMargins overhang = RoutingCanvasView::overhang();
  auto* stack = new QVBoxLayout(content);
  stack->setContentsMargins(padding - overhang.left(), padding, padding - overhang.right(), padding);
  stack->setSpacing(spacing);
  auto* framed = new QVBoxLayout;
  framed->setContentsMargins(overhang.left(), 0, overhang.right(), 0);
  framed->setSpacing(spacing);
  header_ = new DeviceHeaderView(*model_, *device, sidebarVisible_, hooks_, content);
  header_->setProperty("deviceID", QString::fromStdString(deviceID_));
  strip_ = new ValidationStrip(content);
  strip_->setValidation(model_->validation());
  framed->addWidget(header_);
  framed->addWidget(strip_);
  stack->addLayout(framed);
  // The canvas reads its levels from the meter model; without one the editor has no canvas.
  // It takes the rest of the height, so a press anywhere below the rows is on the canvas.
  canvas_ = meters_ ? new RoutingCanvasView(*model_, *meters_, *device, content) : nullptr;
  if (canvas_) stack->addWidget(canvas_, 1);
  else stack->addStretch(1);
  scroll_->setWidget(content);
  // The scroll area fills its content's background; the window's dots show through instead.
  content->setAutoFillBackground(false);
  layout()->addWidget(scroll_);
}

}  // namespace tidewell
