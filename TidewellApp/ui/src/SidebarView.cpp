#include "TidewellApp/SidebarView.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

#include "TidewellApp/DeviceIcon.h"
#include "TidewellApp/DriverHealthView.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"
#include "TidewellCore/Branding.h"
#include "SidebarParts.h"

namespace tidewell {

// ---- DeviceListModel ------------------------------------------------------------------------

void DeviceListModel::setDevices(std::vector<DeviceConfig> devices) {
  beginResetModel();
  devices_ = std::move(devices);
  endResetModel();
}

int DeviceListModel::rowOf(const std::string& deviceID) const {
  for (std::size_t row = 0; row < devices_.size(); ++row) {
    if (devices_[row].id == deviceID) return int(row);
  }
  return -1;
}

int DeviceListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(devices_.size());
}

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= int(devices_.size())) return {};
  const DeviceConfig& device = devices_[std::size_t(index.row())];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
      return QString::fromStdString(device.name);
    case deviceIDRole:
      return QString::fromStdString(device.id);
    default:
      return {};
  }
}

// ---- DeviceSidebarRow -----------------------------------------------------------------------

namespace {

constexpr int rowVerticalPadding = 5;
constexpr int rowSpacing = 10;
constexpr int iconFrameWidth = 22;
// The inset of a row's content inside its selection highlight.
constexpr int rowHorizontalInset = 8;

const DeviceConfig* deviceAt(const QModelIndex& index) {
  const auto* model = qobject_cast<const DeviceListModel*>(index.model());
  if (!model || index.row() < 0 || index.row() >= int(model->devices().size())) return nullptr;
  return &model->devices()[std::size_t(index.row())];
}

}  // namespace

QString DeviceSidebarRow::subtitle(const DeviceConfig& device) {
  // The engine runs at one rate; the device's own sampleRate is not shown.
  return QString::number(device.channelCount) + QStringLiteral("ch  48 kHz");
}

QSize DeviceSidebarRow::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  const QFontMetrics name(Theme::font(13, QFont::Medium));
  const QFontMetrics detail(Theme::font(11));
  return QSize(200, rowVerticalPadding * 2 + name.height() + 2 + detail.height());
}

void DeviceSidebarRow::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  const DeviceConfig* device = deviceAt(index);
  if (!device) return;
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);

  const QRectF row = QRectF(option.rect).adjusted(0, 1, 0, -1);
  if (option.state & QStyle::State_Selected) {
    QColor highlight = Theme::accent(scheme);
    highlight.setAlphaF(scheme == ColorScheme::dark ? 0.35 : 0.22);
    painter->setPen(Qt::NoPen);
    painter->setBrush(highlight);
    painter->drawRoundedRect(row, 6, 6);
  } else if (option.state & QStyle::State_MouseOver) {
    painter->setPen(Qt::NoPen);
    painter->setBrush(scheme == ColorScheme::dark ? QColor(255, 255, 255, 14) : QColor(0, 0, 0, 10));
    painter->drawRoundedRect(row, 6, 6);
  }

  const QRect content = option.rect.adjusted(rowHorizontalInset, rowVerticalPadding, -rowHorizontalInset,
                                             -rowVerticalPadding);
  const QColor tint = device->enabled ? Theme::accent(scheme) : Theme::secondaryText(scheme);
  const QString symbol = DeviceIcon::symbolName(QString::fromStdString(device->icon), device->enabled);
  const qreal iconSize = 18;
  const QPixmap icon = SymbolProvider::pixmap(symbol, iconSize, tint, painter->device()->devicePixelRatioF());
  const QRectF iconFrame(content.left(), content.top(), iconFrameWidth, content.height());
  painter->drawPixmap(QPointF(iconFrame.center().x() - iconSize / 2, iconFrame.center().y() - iconSize / 2), icon);

  const QFont nameFont = Theme::font(13, QFont::Medium);
  const QFont detailFont = Theme::font(11);
  const QFontMetrics nameMetrics(nameFont);
  const QFontMetrics detailMetrics(detailFont);
  const int textLeft = content.left() + iconFrameWidth + rowSpacing;
  const int textWidth = std::max(0, content.right() - textLeft);
  const int textHeight = nameMetrics.height() + 2 + detailMetrics.height();
  const int top = content.top() + (content.height() - textHeight) / 2;

  painter->setFont(nameFont);
  painter->setPen(Theme::primaryText(scheme));
  painter->drawText(QRect(textLeft, top, textWidth, nameMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                    nameMetrics.elidedText(QString::fromStdString(device->name), Qt::ElideRight, textWidth));
  painter->setFont(detailFont);
  painter->setPen(Theme::secondaryText(scheme));
  painter->drawText(QRect(textLeft, top + nameMetrics.height() + 2, textWidth, detailMetrics.height()),
                    Qt::AlignLeft | Qt::AlignVCenter,
                    detailMetrics.elidedText(subtitle(*device), Qt::ElideRight, textWidth));
  painter->restore();
}

// ---- DeviceListView -------------------------------------------------------------------------

void DeviceListView::keyPressEvent(QKeyEvent* event) {
  handlingKey_ = true;
  QListView::keyPressEvent(event);
  handlingKey_ = false;
}

void DeviceListView::mouseReleaseEvent(QMouseEvent* event) {
  QListView::mouseReleaseEvent(event);
  emit mouseReleased();
}

// ---- SidebarView ----------------------------------------------------------------------------

SidebarView::SidebarView(TidewellAppModel& model, MainWindowHooks hooks, QWidget* parent)
    : QWidget(parent), model_(&model), hooks_(std::move(hooks)) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* title = new QHBoxLayout;
  title->setContentsMargins(16, 14, 16, 14);
  title->setSpacing(6);
  hideButton_ = makeSymbolButton(QStringLiteral("sidebar.leading"), sidebarShortcutHelp(QStringLiteral("Hide Sidebar"), hooks_.sidebarShortcut), this);
  auto* productName = new QLabel(QString::fromUtf8(Branding::productName.data(), qsizetype(Branding::productName.size())), this);
  productName->setFont(Theme::font(18, QFont::DemiBold));
  newButton_ = makeSymbolButton(QStringLiteral("plus"), QStringLiteral("New Device"), this);
  deleteButton_ = makeSymbolButton(QStringLiteral("trash"), QStringLiteral("Delete Device"), this);
  title->addWidget(hideButton_);
  title->addWidget(productName);
  title->addStretch(1);
  title->addWidget(newButton_);
  title->addWidget(deleteButton_);
  column->addLayout(title);
  column->addWidget(new Divider(this));

  devices_ = new DeviceListModel(this);
  list_ = new DeviceListView(this);
  list_->setObjectName(QStringLiteral("deviceList"));
  list_->setModel(devices_);
  list_->setItemDelegate(new DeviceSidebarRow(list_));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setFrameShape(QFrame::NoFrame);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setMouseTracking(true);
  list_->setAttribute(Qt::WA_TranslucentBackground);
  list_->viewport()->setAutoFillBackground(false);
  list_->setAutoFillBackground(false);
  list_->setStyleSheet(QStringLiteral("QListView { background: transparent; }"));
  list_->setSpacing(0);
  auto* listHolder = new QVBoxLayout;
  listHolder->setContentsMargins(10, 8, 10, 8);
  listHolder->addWidget(list_);
  column->addLayout(listHolder, 1);
  column->addWidget(new Divider(this));

  health_ = new DriverHealthView(model, hooks_, this);
  auto* footer = new QVBoxLayout;
  footer->setContentsMargins(14, 14, 14, 14);
  footer->addWidget(health_);
  column->addLayout(footer);

  connect(hideButton_, &QToolButton::clicked, this, [this] {
    if (hooks_.toggleSidebar) hooks_.toggleSidebar();
  });
  connect(newButton_, &QToolButton::clicked, this, [this] {
    if (model_) model_->createDevice();
  });
  connect(deleteButton_, &QToolButton::clicked, this, [this] {
    if (model_) model_->deleteSelectedDevice();
  });
  connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { keyboardMovedTo(current); });
  connect(list_, &QListView::clicked, this, &SidebarView::rowTapped);
  // A press that did not end in a click on a row leaves the model's selection shown.
  connect(list_, &DeviceListView::mouseReleased, this, &SidebarView::showSelection);
  connect(&model, &TidewellAppModel::snapshotChanged, this, &SidebarView::reloadDevices);
  connect(&model, &TidewellAppModel::selectedDeviceIDChanged, this, &SidebarView::showSelection);
  connect(&model, &TidewellAppModel::selectedDeviceChanged, this, &SidebarView::showSelection);
  reloadDevices();
}

void SidebarView::reloadDevices() {
  if (!model_) return;
  devices_->setDevices(model_->snapshot().devices);
  showSelection();
}

void SidebarView::showSelection() {
  if (!model_) return;
  deleteButton_->setEnabled(model_->selectedDevice().has_value());
  const auto& selected = model_->selectedDeviceID();
  const int row = selected ? devices_->rowOf(*selected) : -1;
  if (row < 0) {
    list_->selectionModel()->clear();
  } else {
    const QModelIndex index = devices_->index(row);
    if (list_->selectionModel()->currentIndex() != index || !list_->selectionModel()->isSelected(index)) {
      list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    }
  }
}

void SidebarView::keyboardMovedTo(const QModelIndex& current) {
  // Moving through the list with the keys selects the device without saving; a click selects
  // and saves (rowTapped).
  if (!list_->handlingKey() || !model_ || !current.isValid()) return;
  model_->setSelectedDeviceID(current.data(DeviceListModel::deviceIDRole).toString().toStdString());
}

void SidebarView::rowTapped(const QModelIndex& index) {
  if (!model_ || !index.isValid()) return;
  const std::string deviceID = index.data(DeviceListModel::deviceIDRole).toString().toStdString();
  model_->setSelectedDeviceID(deviceID);
  const ConfigSnapshot& editing = model_->workingCopy();
  ConfigSnapshot copy = editing;
  copy.ui.selectedDeviceID = deviceID;
  model_->saveEditedSnapshot(copy, QStringLiteral("Selected device"));
}

}  // namespace tidewell
