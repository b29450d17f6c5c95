#include "TidewellApp/WindowScreenshot.h"

#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/MainWindowSize.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "TidewellApp/TidewellRootView.h"

#include <QApplication>
#include <QImage>

#include <algorithm>

namespace tidewell {

namespace {

constexpr int pollMilliseconds = 50;

}  // namespace

WindowScreenshot::WindowScreenshot(TidewellApplication& application, QString file, QObject* parent)
    : QObject(parent), application_(application), file_(std::move(file)) {
    application_.healthBanner().setAnimated(false);
    // The window grows for the picture: that size is not one the user left it at.
    application_.mainWindowSize().stopStoring();
    poll_.setInterval(pollMilliseconds);
    connect(&poll_, &QTimer::timeout, this, &WindowScreenshot::checkMeters);
    connect(&application_.mainWindow(), &TidewellMainWindow::firstFramePainted, this, [this] {
        growToTheEditor();
        poll_.start();
    });
}

void WindowScreenshot::growToTheEditor() {
    TidewellMainWindow& window = application_.mainWindow();
    // What the window asks for to show the editor whole, scroll bars gone. Not bounded by the
    // screen: the picture is drawn offscreen, whatever the screen's size.
    const QSize wanted = window.size().expandedTo(window.fittingSize());
    if (wanted != window.size()) window.resize(wanted);
}

QList<RoutingMeterView*> WindowScreenshot::activeMeters() const {
    DeviceEditorView* editor = application_.rootView().editor();
    QList<RoutingMeterView*> active;
    if (!editor) return active;
    for (RoutingMeterView* meter : editor->findChildren<RoutingMeterView*>())
        if (meter->isActive()) active.append(meter);
    return active;
}

int WindowScreenshot::metersShowingLevels() const {
    const auto meters = activeMeters();
    return int(std::count_if(meters.begin(), meters.end(),
                             [](const RoutingMeterView* meter) { return meter->shownState().barWidth > 0; }));
}

void WindowScreenshot::checkMeters() {
    waited_ += pollMilliseconds;
    // Without a live meter there is nothing to wait for.
    if (activeMeters().isEmpty() && waited_ >= settleMilliseconds) {
        write();
        return;
    }
    const int live = metersShowingLevels();
    if (live > liveMeters_) {
        liveMeters_ = live;
        stableFor_ = 0;
    } else if (live > 0) {
        stableFor_ += pollMilliseconds;
    }
    if ((liveMeters_ > 0 && stableFor_ >= settleMilliseconds) || waited_ >= meterWaitMilliseconds) write();
}

void WindowScreenshot::write() {
    poll_.stop();
    liveMeters_ = metersShowingLevels();
    const bool written = application_.mainWindow().grab().toImage().save(file_, "PNG");
    emit finished(written);
}

}  // namespace tidewell
