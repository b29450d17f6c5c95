#pragma once
// The picture of the main window that `Tidewell --screenshot FILE` writes on a machine without
// a display. It shows the selected device's editor whole, with its meters live: once the
// window has painted its first frame, it grows from its opening size to what the editor asks
// for (no scroll bar, no name cut short), then waits until the meters that carry sound have
// risen and stopped rising, at most `meterWaitMilliseconds`, and writes the PNG.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

namespace tidewell {

class RoutingMeterView;
class TidewellApplication;

class WindowScreenshot : public QObject {
    Q_OBJECT
public:
    static constexpr int meterWaitMilliseconds = 15000;
    // Meters that have stopped rising for this long count as risen.
    static constexpr int settleMilliseconds = 600;

    // Starts with the main window's first painted frame (show the window after this).
    WindowScreenshot(TidewellApplication& application, QString file, QObject* parent = nullptr);

    // How many meters showed a level in the picture.
    int liveMeters() const { return liveMeters_; }

signals:
    // The picture was written (true) or could not be (false).
    void finished(bool written);

private:
    void growToTheEditor();
    void checkMeters();
    void write();
    QList<RoutingMeterView*> activeMeters() const;
    int metersShowingLevels() const;

    TidewellApplication& application_;
    QString file_;
    QTimer poll_;
    int waited_ = 0;
    int stableFor_ = 0;
    int liveMeters_ = 0;
};

}  // namespace tidewell
