#include "TidewellApp/AddMenuButton.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/GlassCard.h"
#include "TidewellApp/PlainText.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QAction>
#include <QMenu>
#include <QStyleOptionToolButton>

namespace tidewell {

AddMenuButton::AddMenuButton(const QString& title, const QString& toolTip, QWidget* parent)
    : QToolButton(parent), menu_(new QMenu(this)) {
    setText(title);
    setToolTip(toolTip);
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setPopupMode(QToolButton::InstantPopup);
    setMenu(menu_);
    // Fixed height, free width.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    const auto scheme = ColorSchemeSource::instance().scheme();
    setIcon(SymbolProvider::icon(QStringLiteral("plus"), Theme::accent(scheme)));
    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this, [this](ColorScheme s) {
        setIcon(SymbolProvider::icon(QStringLiteral("plus"), Theme::accent(s)));
        update();
    });
    connect(menu_, &QMenu::aboutToShow, this, &AddMenuButton::rebuild);
}

QIcon AddMenuButton::iconFor(const AddMenuEntry& entry) const {
    if (entry.symbol.isEmpty()) return {};
    return SymbolProvider::icon(entry.symbol, Theme::primaryText(ColorSchemeSource::instance().scheme()));
}

void AddMenuButton::rebuild() {
    menu_->clear();
    for (const AddMenuEntry& entry : entries()) {
        switch (entry.kind) {
            case AddMenuEntry::Kind::divider:
                menu_->addSeparator()->setObjectName(entry.key);
                break;
            case AddMenuEntry::Kind::sectionTitle: {
                // A disabled bold line: every style shows it (a style may draw a section as a
                // bare separator).
                QAction* action = menu_->addAction(plainMenuText(entry.text));
                QFont font = action->font();
                font.setBold(true);
                action->setFont(font);
                action->setEnabled(false);
                action->setObjectName(entry.key);
                break;
            }
            case AddMenuEntry::Kind::placeholder:
            case AddMenuEntry::Kind::entry: {
                QAction* action = menu_->addAction(iconFor(entry), plainMenuText(entry.text));
                action->setObjectName(entry.key);
                action->setEnabled(entry.enabled);
                if (entry.kind == AddMenuEntry::Kind::entry) {
                    connect(action, &QAction::triggered, this, [this, entry] { choose(entry); });
                }
                break;
            }
        }
    }
}

QAction* AddMenuButton::actionForKey(const QString& key) const {
    for (QAction* action : menu_->actions()) {
        if (action->objectName() == key) return action;
    }
    return nullptr;
}

void AddMenuButton::contentChanged() {
    if (menu_->isVisible()) rebuild();
}

void AddMenuButton::paintEvent(QPaintEvent*) {
    QStyleOptionToolButton option;
    initStyleOption(&option);
    GlassMenuBackdropModifier::paintMenuButton(*this, option, backdropCornerRadius);
}

QSize AddMenuButton::sizeHint() const {
    return GlassMenuBackdropModifier::menuButtonSizeHint(QToolButton::sizeHint());
}

}  // namespace tidewell
