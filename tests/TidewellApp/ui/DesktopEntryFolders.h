#pragma once
// Private XDG data folders for tests of application icons: desktop entries, pictures and a
// child process launched "from" an entry, as a desktop's launcher starts one.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace tidewell::test {

class DesktopEntryFolders {
public:
    QTemporaryDir home;
    QTemporaryDir system;

    DesktopEntryFolders() {
        qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
        qputenv("XDG_DATA_DIRS", system.path().toLocal8Bit());
        QDir(home.path()).mkpath("applications");
        QDir(system.path()).mkpath("applications");
        QDir(system.path()).mkpath("pixmaps");
    }
    ~DesktopEntryFolders() {
        qputenv("XDG_DATA_HOME", savedHome_);
        qputenv("XDG_DATA_DIRS", savedDirs_);
    }

    // A one-colour picture of `size` written as PNG.
    static QString picture(const QString& path, const QColor& colour, QSize size = {32, 32}) {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(colour);
        EXPECT_TRUE(image.save(path, "PNG"));
        return path;
    }
    static QString desktopEntry(const QString& path, const QString& icon, const QString& exec = "true") {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[Desktop Action other]\nIcon=wrong\n\n[Desktop Entry]\nType=Application\n"
                                  "Name=Test\nExec=%1\nIcon=%2\n")
                       .arg(exec, icon)
                       .toUtf8());
        return path;
    }
    // An installed application `id` whose icon is one colour.
    void installApplication(const QString& id, const QColor& colour) {
        const QString name = QStringLiteral("tidewell-test-") + id;
        picture(system.path() + "/pixmaps/" + name + ".png", colour);
        desktopEntry(home.path() + "/applications/" + id + ".desktop", name);
    }
    static QColor centre(const QIcon& icon) {
        const QImage image = icon.pixmap(32).toImage();
        return image.pixelColor(image.width() / 2, image.height() / 2);
    }
    // A child that runs until killed, started with the launcher's desktop-entry variable.
    static std::unique_ptr<QProcess> runningChild(const QString& launchedFrom) {
        auto child = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!launchedFrom.isEmpty()) env.insert("GIO_LAUNCHED_DESKTOP_FILE", launchedFrom);
        child->setProcessEnvironment(env);
        child->start("sleep", {"30"});
        EXPECT_TRUE(child->waitForStarted(5000));
        // Started means forked; wait until the program and its environment are in place. The
        // kernel names the new program a moment before the new environment can be read.
        const QString exe = QStringLiteral("/proc/%1/exe").arg(child->processId());
        const QString environ = QStringLiteral("/proc/%1/environ").arg(child->processId());
        const auto ready = [&] {
            QFile environment(environ);
            return QFileInfo(QFile::symLinkTarget(exe)).fileName() == "sleep" &&
                   environment.open(QIODevice::ReadOnly) && !environment.readAll().isEmpty();
        };
        QElapsedTimer timer;
        timer.start();
        while (!ready() && timer.elapsed() < 5000) QTest::qWait(2);
        return child;
    }

private:
    QByteArray savedHome_ = qgetenv("XDG_DATA_HOME");
    QByteArray savedDirs_ = qgetenv("XDG_DATA_DIRS");
};

}  // namespace tidewell::test
