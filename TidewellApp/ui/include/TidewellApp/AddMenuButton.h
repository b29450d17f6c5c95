#pragma once
// The button-styled pull-down menu the routing columns put above their rows ("Add Source",
// "Add Monitor"): a bordered button with a plus on the glass menu backdrop, whose menu is built
// from an entry list when it opens and again when the lists it shows change while it is open.
// It keeps no state of its own beyond the actions of the open menu.

#include "TidewellApp/AddMenuEntries.h"

#include <QToolButton>

class QMenu;
class QAction;

namespace tidewell {

class AddMenuButton : public QToolButton {
    Q_OBJECT
public:
    AddMenuButton(const QString& title, const QString& toolTip, QWidget* parent = nullptr);

    // What the menu lists now.
    virtual std::vector<AddMenuEntry> entries() const = 0;
    // Rebuilds the menu's actions from entries().
    void rebuild();
    QMenu* popupMenu() const { return menu_; }
    // The action of the entry with this key in the built menu; null when there is none.
    QAction* actionForKey(const QString& key) const;
    // Runs the action of an entry, as choosing it in the menu does.
    virtual void choose(const AddMenuEntry& entry) = 0;

    static constexpr qreal backdropCornerRadius = 6;

protected:
    // Rebuilds only while the menu is open; it is built afresh whenever it opens.
    void contentChanged();
    void paintEvent(QPaintEvent* event) override;
    QSize sizeHint() const override;
    // The icon of an entry (its symbol, by default).
    virtual QIcon iconFor(const AddMenuEntry& entry) const;

private:
    QMenu* menu_;
};

}  // namespace tidewell
