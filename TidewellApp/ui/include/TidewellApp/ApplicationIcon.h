#pragma once
// The icon of a running application, wherever the window names one as an audio source: the
// running process's desktop entry first, then the installed application's desktop entry (the
// bundle identifier read as a desktop-file id), then a generic application icon, which always
// exists. The process is looked at afresh at every call; the desktop entries are read once and
// again only after the applications folders have changed, so opening a menu reads no file.

#include <QIcon>
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

namespace tidewell {

namespace ApplicationIconResolver {

// Never a null icon.
QIcon icon(const std::optional<std::string>& bundleIdentifier, const std::optional<std::int32_t>& pid);

// The steps one by one (null when the step finds nothing), for the views and the tests.
QIcon iconOfProcess(std::int32_t pid);
QIcon iconOfInstalledApplication(const std::string& bundleIdentifier);
QIcon genericIcon();

}  // namespace ApplicationIconResolver

// A square icon of `size`: the image scaled to fit, centred, with corners rounded by
// max(0.18 × size, 3).
class ApplicationIcon : public QWidget {
    Q_OBJECT
public:
    ApplicationIcon(std::optional<std::string> bundleIdentifier, std::optional<std::int32_t> pid, qreal size,
                    QWidget* parent = nullptr);

    static qreal cornerRadius(qreal size);
    // The drawn square, at a device pixel ratio.
    static QPixmap pixmap(const QIcon& icon, qreal size, qreal devicePixelRatio = 1.0);
    // The menu form: an icon made of that square.
    static QIcon menuIcon(const std::optional<std::string>& bundleIdentifier,
                          const std::optional<std::int32_t>& pid, qreal size);

    // Looks the icon up again (the lookups read files, so not at every paint); the row that
    // shows the icon calls it when it is rebuilt.
    void refresh();
    const QIcon& icon() const { return icon_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<std::string> bundleIdentifier_;
    std::optional<std::int32_t> pid_;
    qreal size_;
    QIcon icon_;
};

}  // namespace tidewell
