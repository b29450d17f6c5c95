#include "TidewellApp/ApplicationIcon.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QStandardPaths>

#include <cmath>
#include <vector>

namespace tidewell {

namespace {

// The "Icon=" of a desktop entry's main group; empty when absent or unreadable.
QString iconKeyOfDesktopEntry(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (inMainGroup && line.startsWith(QLatin1String("Icon="))) return line.mid(5).trimmed();
    }
    return {};
}

// An icon key is an absolute file or a name looked up in the icon theme, then in the data
// folders' "pixmaps" and "icons" folders.
QIcon iconForKey(const QString& key) {
    if (key.isEmpty()) return {};
    if (QDir::isAbsolutePath(key)) {
        if (!QFileInfo(key).isFile()) return {};
        QIcon icon(key);
        return icon.availableSizes().isEmpty() && icon.pixmap(32).isNull() ? QIcon() : icon;
    }
    QIcon themed = QIcon::fromTheme(key);
    if (!themed.isNull()) return themed;
    for (const QString& folder : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        for (const char* sub : {"pixmaps", "icons"}) {
            for (const char* suffix : {".png", ".svg", ".xpm"}) {
                const QString path = folder + QLatin1Char('/') + QLatin1String(sub) + QLatin1Char('/') + key +
                                     QLatin1String(suffix);
                if (QFileInfo(path).isFile()) {
                    QIcon icon(path);
                    if (!icon.pixmap(32).isNull()) return icon;
                }
            }
        }
    }
    return {};
}

// The desktop entries of the applications folders, read once: which entry names a program (by
// its "Exec=" program or its "StartupWMClass="), and each entry's icon. Read again only when
// the folders change: another set of folders (other XDG variables), or a folder walked whose
// modification time moved (an entry installed, removed or replaced). Menus and rows look up
// icons on the main thread every time they are built; the files are read only after a change.
class DesktopEntryIndex {
public:
    QString entryForProgram(const QString& program) {
        refreshIfChanged();
        return byProgram_.value(program);
    }
    QIcon iconOfEntry(const QString& path) {
        if (path.isEmpty() || !QFileInfo(path).isFile()) return {};
        refreshIfChanged();
        auto cached = icons_.constFind(path);
        if (cached != icons_.constEnd()) return *cached;
        // Also entries outside the folders (a launcher's hint): read once until the next change.
        const QIcon icon = iconForKey(iconKeyOfDesktopEntry(path));
        icons_.insert(path, icon);
        return icon;
    }

private:
    struct Folder {
        QString path;
        QDateTime modified;  // invalid when the folder does not exist
        bool operator==(const Folder&) const = default;
    };

    static QDateTime modifiedTime(const QString& path) {
        const QFileInfo info(path);
        return info.isDir() ? info.lastModified() : QDateTime();
    }

    bool changed() const {
        if (bases_ != QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) return true;
        for (const Folder& folder : folders_) {
            if (modifiedTime(folder.path) != folder.modified) return true;
        }
        return false;
    }

    void refreshIfChanged() {
        if (read_ && !changed()) return;
        read_ = true;
        bases_ = QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
        folders_.clear();
        byProgram_.clear();
        icons_.clear();
        for (const QString& base : bases_) {
            folders_.push_back({base, modifiedTime(base)});
            QDirIterator folders(base, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            while (folders.hasNext()) {
                const QString folder = folders.next();
                folders_.push_back({folder, modifiedTime(folder)});
            }
            // The first entry that names a program keeps it, in the folders' order of precedence.
            QDirIterator it(base, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                QFile file(path);
                if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
                while (!file.atEnd()) {
                    const QString line = QString::fromUtf8(file.readLine()).trimmed();
                    QString program;
                    if (line.startsWith(QLatin1String("Exec=")))
                        program = QFileInfo(line.mid(5).section(QLatin1Char(' '), 0, 0)).fileName();
                    else if (line.startsWith(QLatin1String("StartupWMClass=")))
                        program = line.mid(15).trimmed();
                    if (!program.isEmpty() && !byProgram_.contains(program)) byProgram_.insert(program, path);
                }
            }
        }
    }

    bool read_ = false;
    QStringList bases_;
    std::vector<Folder> folders_;
    QHash<QString, QString> byProgram_;
    QHash<QString, QIcon> icons_;
};

// Main thread only, as every view.
DesktopEntryIndex& desktopEntries() {
    static DesktopEntryIndex index;
    return index;
}

QIcon iconOfDesktopEntry(const QString& path) { return desktopEntries().iconOfEntry(path); }

// A desktop entry whose "Exec=" program (or "StartupWMClass=") is this program name.
QString desktopEntryForProgram(const QString& program) {
    if (program.isEmpty()) return {};
    return desktopEntries().entryForProgram(program);
}

}  // namespace

namespace ApplicationIconResolver {

QIcon iconOfProcess(std::int32_t pid) {
    if (pid <= 0) return {};
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    // Launchers name the desktop entry they started the process from.
    QFile environ(proc + QStringLiteral("/environ"));
    if (environ.open(QIODevice::ReadOnly)) {
        for (const QByteArray& pair : environ.readAll().split('\0')) {
            for (const char* name : {"GIO_LAUNCHED_DESKTOP_FILE=", "BAMF_DESKTOP_FILE_HINT="}) {
                if (pair.startsWith(name)) {
                    QIcon icon = iconOfDesktopEntry(QString::fromLocal8Bit(pair.mid(qsizetype(qstrlen(name)))));
                    if (!icon.isNull()) return icon;
                }
            }
        }
    }
    const QString executable = QFileInfo(QFile::symLinkTarget(proc + QStringLiteral("/exe"))).fileName();
    QIcon icon = iconOfDesktopEntry(desktopEntryForProgram(executable));
    if (!icon.isNull()) return icon;
    QFile comm(proc + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly)) {
        const QString name = QString::fromLocal8Bit(comm.readAll()).trimmed();
        if (name != executable) return iconOfDesktopEntry(desktopEntryForProgram(name));
    }
    return {};
}

QIcon iconOfInstalledApplication(const std::string& bundleIdentifier) {
    if (bundleIdentifier.empty()) return {};
    const QString id = QString::fromStdString(bundleIdentifier);
    // A desktop-file id never holds a path separator; refuse one rather than leave the folders.
    if (id.contains(QLatin1Char('/'))) return {};
    return iconOfDesktopEntry(
        QStandardPaths::locate(QStandardPaths::ApplicationsLocation, id + QStringLiteral(".desktop")));
}

QIcon genericIcon() {
    QIcon themed = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    if (!themed.isNull()) return themed;
    // No icon theme (headless machines): a plain window drawn here.
    QPixmap picture(64, 64);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x8e, 0x8e, 0x93));
    painter.drawRoundedRect(QRectF(4, 8, 56, 48), 8, 8);
    painter.setBrush(QColor(0xf2, 0xf2, 0xf7));
    painter.drawRoundedRect(QRectF(10, 20, 44, 30), 4, 4);
    painter.setBrush(QColor(0xd1, 0xd1, 0xd6));
    for (int i = 0; i < 3; ++i) painter.drawEllipse(QRectF(10 + i * 7, 12, 4, 4));
    painter.end();
    return QIcon(picture);
}

QIcon icon(const std::optional<std::string>& bundleIdentifier, const std::optional<std::int32_t>& pid) {
    if (pid) {
        QIcon found = iconOfProcess(*pid);
        if (!found.isNull()) return found;
    }
    if (bundleIdentifier) {
        QIcon found = iconOfInstalledApplication(*bundleIdentifier);
        if (!found.isNull()) return found;
    }
    return genericIcon();
}

}  // namespace ApplicationIconResolver

ApplicationIcon::ApplicationIcon(std::optional<std::string> bundleIdentifier, std::optional<std::int32_t> pid,
                                 qreal size, QWidget* parent)
    : QWidget(parent), bundleIdentifier_(std::move(bundleIdentifier)), pid_(pid), size_(size) {
    setFixedSize(sizeHint());
    refresh();
}

void ApplicationIcon::refresh() {
    icon_ = ApplicationIconResolver::icon(bundleIdentifier_, pid_);
    update();
}

qreal ApplicationIcon::cornerRadius(qreal size) { return std::max(size * 0.18, 3.0); }

QPixmap ApplicationIcon::pixmap(const QIcon& icon, qreal size, qreal devicePixelRatio) {
    const int edge = int(std::ceil(size * devicePixelRatio));
    QPixmap result(edge, edge);
    result.setDevicePixelRatio(devicePixelRatio);
    result.fill(Qt::transparent);
    const QPixmap source = icon.pixmap(QSize(edge, edge));
    if (source.isNull()) return result;
    // Scaled to fit the square, aspect kept, centred.
    const QSizeF fitted = QSizeF(source.size()).scaled(QSizeF(size, size), Qt::KeepAspectRatio);
    const QRectF target((size - fitted.width()) / 2, (size - fitted.height()) / 2, fitted.width(), fitted.height());
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, size, size), cornerRadius(size), cornerRadius(size));
    painter.setClipPath(clip);
    painter.drawPixmap(target, source, QRectF(source.rect()));
    return result;
}

QIcon ApplicationIcon::menuIcon(const std::optional<std::string>& bundleIdentifier,
                                const std::optional<std::int32_t>& pid, qreal size) {
    const QIcon found = ApplicationIconResolver::icon(bundleIdentifier, pid);
    QIcon result;
    for (qreal ratio : {1.0, 2.0}) result.addPixmap(pixmap(found, size, ratio));
    return result;
}

QSize ApplicationIcon::sizeHint() const {
    const int edge = int(std::ceil(size_));
    return {edge, edge};
}

void ApplicationIcon::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap picture = pixmap(icon_, size_, devicePixelRatioF());
    painter.drawPixmap(QPointF((width() - size_) / 2, (height() - size_) / 2), picture);
}

}  // namespace tidewell
