#include "TidewellApp/WindowScreenshot.h"

#include "TidewellApp/DeviceEditorView.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"
#include "TidewellApp/RoutingMeterView.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"
#include "TidewellApp/TidewellRootView.h"

#include <QApplication>
#include <QImage>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>

namespace tidewell {

namespace {

constexpr int pollMilliseconds = 50;

}  // namespace

WindowScreenshot::WindowScreenshot(TidewellApplication& application, QString file, QObject* parent)
    : QObject(parent), application_(application), file_(std::move(file)) {
    application_.healthBanner().setAnimated(false);
    poll_.setInterval(pollMilliseconds);
    connect(&poll_, &QTimer::timeout, this, &WindowScreenshot::checkMeters);
    connect(&application_.mainWindow(), &TidewellMainWindow::firstFramePainted, this, [this] {
        growToTheEditor();
        poll_.start();
    });
}

void WindowScreenshot::growToTheEditor() {
    TidewellMainWindow& window = application_.mainWindow();
    DeviceEditorView* editor = application_.rootView().editor();
    QScrollArea* scroll = editor ? editor->scrollArea() : nullptr;
    if (!scroll || !scroll->widget()) return;
    // What the editor's content asks for beyond what its view shows, scroll bars gone.
    const QSize wanted = scroll->widget()->sizeHint();
    const QSize shown = scroll->maximumViewportSize();
    const QSize grow(std::max(0, wanted.width() - shown.width()), std::max(0, wanted.height() - shown.height()));
    // Not bounded by the screen: the picture is drawn offscreen, whatever the screen's size.
    if (grow != QSize(0, 0)) window.resize(window.size() + grow);
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
