#pragma once
// The information button at the end of the output-channels card's header, and the popover it
// opens: a few short texts on how the virtual device is used (other applications see it as an
// input; wire sources into its channels; choose it as the microphone there).
//
// A click opens the popover at once; resting the pointer on the button opens it after 0.25 s;
// leaving both the button and the popover for 0.35 s closes it. Each hover change bumps a
// generation counter, and a delayed show or hide acts only when no hover change came after it
// was scheduled, so only the last one counts. The popover is a window of its own that never
// takes the pointer or the keyboard (so the hover of the button beneath keeps working); it
// closes as a system popover does on Escape, on a click elsewhere, when the application
// becomes inactive and when the button goes away.

#include <QAbstractButton>
#include <QPainterPath>
#include <QPointer>

namespace tidewell {

class VirtualDeviceInfoPopover : public QWidget {
    Q_OBJECT
public:
    static constexpr int contentWidth = 300;
    static constexpr int padding = 14;
    static constexpr int arrowHeight = 8;

    explicit VirtualDeviceInfoPopover(const QString& deviceName, QWidget* parent = nullptr);

    QString deviceName() const { return deviceName_; }
    // The texts in the order shown (the two numbered lines without their symbols).
    QStringList texts() const;
    // The bubble with its arrow, in the popover's coordinates.
    QPainterPath outline() const;

signals:
    void hoveredChanged(bool hovered);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString deviceName_;
};

class VirtualDeviceInfoButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int showDelayMilliseconds = 250;
    static constexpr int hideDelayMilliseconds = 350;
    static constexpr int hitMargin = 4;

    explicit VirtualDeviceInfoButton(const QString& deviceName, QWidget* parent = nullptr);
    ~VirtualDeviceInfoButton() override;

    QString deviceName() const { return deviceName_; }
    // A shown popover keeps the name it opened with until it is opened again.
    void setDeviceName(const QString& name);

    bool showPopover() const { return showPopover_; }
    bool iconHovered() const { return iconHovered_; }
    bool popoverHovered() const { return popoverHovered_; }
    int hoverGeneration() const { return hoverGeneration_; }
    // The popover while it is presented.
    VirtualDeviceInfoPopover* popover() const { return popover_; }

    // The hover bookkeeping, run after every hover change of the button or the popover.
    void hoverChanged();

    QSize sizeHint() const override;

signals:
    void showPopoverChanged(bool shown);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setShowPopover(bool shown);
    void present();
    void dismiss();

    QString deviceName_;
    bool showPopover_ = false;
    bool iconHovered_ = false;
    bool popoverHovered_ = false;
    int hoverGeneration_ = 0;
    QPointer<VirtualDeviceInfoPopover> popover_;
};

}  // namespace tidewell
