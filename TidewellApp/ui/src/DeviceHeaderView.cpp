#include "TidewellApp/DeviceHeaderView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>

#include "SidebarParts.h"
#include "TidewellApp/DeviceIcon.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"
#include "TidewellApp/ToggleSwitch.h"

namespace tidewell {

DeviceHeaderView::DeviceHeaderView(TidewellAppModel& model, const DeviceConfig& device, bool sidebarVisible,
                                   MainWindowHooks hooks, QWidget* parent)
    : QWidget(parent), model_(&model), device_(device), hooks_(std::move(hooks)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16, 12, 16, 12);
  row->setSpacing(14);

  showSidebar_ = makeSymbolButton(QStringLiteral("sidebar.leading"),
                                  sidebarShortcutHelp(QStringLiteral("Show Sidebar"), hooks_.sidebarShortcut), this);
  connect(showSidebar_, &QToolButton::clicked, this, [this] {
    if (hooks_.toggleSidebar) hooks_.toggleSidebar();
  });
  row->addWidget(showSidebar_);

  iconButton_ = new QToolButton(this);
  iconButton_->setAutoRaise(true);
  iconButton_->setPopupMode(QToolButton::InstantPopup);
  iconButton_->setToolTip(QStringLiteral("Device Icon"));
  iconButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
  iconMenu_ = new QMenu(iconButton_);
  for (const DeviceIcon icon : DeviceIcon::allCases()) {
    QAction* action = iconMenu_->addAction(
        SymbolProvider::icon(icon.rawValue(), Theme::primaryText(ColorSchemeSource::instance().scheme())),
        icon.title());
    action->setData(icon.rawValue());
    connect(action, &QAction::triggered, this, [this, raw = icon.rawValue().toStdString()] {
      if (iconBinding_.set) iconBinding_.set(raw);
    });
  }
  iconButton_->setMenu(iconMenu_);
  row->addWidget(iconButton_, 0);

  nameField_ = new QLineEdit(this);
  nameField_->setFrame(false);
  nameField_->setPlaceholderText(QStringLiteral("Device Name"));
  nameField_->setFont(Theme::font(20, QFont::DemiBold));
  nameField_->setAttribute(Qt::WA_MacShowFocusRect, false);
  nameField_->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
  connect(nameField_, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (nameBinding_.set) nameBinding_.set(text.toStdString());
  });
  row->addWidget(nameField_, 1);

  enabledSwitch_ = new ToggleSwitch(this);
  enabledSwitch_->setAccessibleName(QStringLiteral("Enabled"));
  enabledLabel_ = new QLabel(QStringLiteral("Enabled"), this);
  enabledLabel_->setBuddy(enabledSwitch_);
  connect(enabledSwitch_, &ToggleSwitch::clicked, this, [this](bool on) {
    if (enabledBinding_.set) enabledBinding_.set(on);
  });
  row->addWidget(enabledLabel_);
  row->addWidget(enabledSwitch_);

  connect(&model, &TidewellAppModel::liveSnapshotChanged, this, &DeviceHeaderView::refreshFromModel);
  connect(&model, &TidewellAppModel::snapshotChanged, this, &DeviceHeaderView::refreshFromModel);
  connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, &DeviceHeaderView::refreshIcon);

  makeBindings();
  setSidebarVisible(sidebarVisible, false);
  refreshFromModel();
  refreshIcon();
}

void DeviceHeaderView::makeBindings() {
  if (!model_) return;
  iconBinding_ = deviceBinding(*model_, device_.id, &DeviceConfig::icon, device_.icon);
  nameBinding_ = deviceBinding(*model_, device_.id, &DeviceConfig::name, device_.name);
  enabledBinding_ = deviceBinding(*model_, device_.id, &DeviceConfig::enabled, device_.enabled);
}

void DeviceHeaderView::setDevice(const DeviceConfig& device) {
  const bool otherDevice = device.id != device_.id;
  device_ = device;
  makeBindings();
  if (otherDevice) nameField_->setText(QString::fromStdString(nameBinding_.get()));
  refreshFromModel();
  refreshIcon();
}

void DeviceHeaderView::setSidebarVisible(bool visible, bool animated) {
  fadeWidget(showSidebar_, !visible, animated && isVisible());
}

void DeviceHeaderView::refreshFromModel() {
  if (!model_) return;
  const QString name = QString::fromStdString(nameBinding_.get());
  // Only a real difference is written, so the cursor stays where the user types.
  if (nameField_->text() != name) {
    nameField_->setText(name);
    // A name put back under the user's cursor (a cleared name that could not be saved) is
    // selected: what they type next replaces it instead of running on from its end.
    if (nameField_->hasFocus()) nameField_->selectAll();
  }
  const bool enabled = enabledBinding_.get();
  if (enabledSwitch_->isChecked() != enabled) enabledSwitch_->setChecked(enabled);
}

void DeviceHeaderView::refreshIcon() {
  // The label follows the saved configuration's icon, so it changes once the edit is committed.
  iconSymbol_ = DeviceIcon::symbolName(QString::fromStdString(device_.icon), true);
  const ColorScheme scheme = ColorSchemeSource::instance().scheme();
  iconButton_->setIcon(SymbolProvider::icon(iconSymbol_, Theme::accent(scheme)));
  const int side = qRound(SymbolProvider::sizeForFont(16));
  iconButton_->setIconSize(QSize(side, side));
  for (QAction* action : iconMenu_->actions()) {
    action->setIcon(SymbolProvider::icon(action->data().toString(), Theme::primaryText(scheme)));
  }
}

}  // namespace tidewell
