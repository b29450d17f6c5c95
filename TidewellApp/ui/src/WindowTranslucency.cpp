#include "TidewellApp/WindowTranslucency.h"

#include <QBitmap>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace tidewell::WindowTranslucency {

namespace {

std::optional<bool>& overridden() {
    static std::optional<bool> value;
    return value;
}

// The screen number of $DISPLAY (":0.1" is screen 1); 0 when it names none.
int screenOfDisplay() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr) return 0;
    const char* colon = std::strrchr(display, ':');
    const char* dot = colon ? std::strchr(colon, '.') : nullptr;
    return dot ? std::atoi(dot + 1) : 0;
}

bool compositingManagerRuns(xcb_connection_t* connection) {
    const std::string name = "_NET_WM_CM_S" + std::to_string(screenOfDisplay());
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.c_str()), nullptr);
    if (atom == nullptr) return false;
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool owned = owner != nullptr && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    return owned;
}

}  // namespace

bool available() {
    if (overridden()) return *overridden();
    if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        // Asked each time: a compositing manager can start or stop while the application runs.
        if (xcb_connection_t* connection = x11->connection()) return compositingManagerRuns(connection);
    }
    return true;
}

void overrideAvailability(std::optional<bool> available) { overridden() = available; }

void applyShape(QWidget& window, const QPainterPath& shape) {
    if (available()) {
        window.setAttribute(Qt::WA_TranslucentBackground, true);
        window.clearMask();
        return;
    }
    window.setAttribute(Qt::WA_TranslucentBackground, false);
    // Every pixel the antialiased outline touches stays; the rest of the square is cut away.
    QBitmap mask(window.size());
    mask.fill(Qt::color0);
    QPainter painter(&mask);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(Qt::color1, 1));
    painter.setBrush(Qt::color1);
    painter.drawPath(shape);
    painter.end();
    window.setMask(mask);
}

}  // namespace tidewell::WindowTranslucency
