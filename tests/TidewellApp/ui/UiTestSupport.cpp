#include "UiTestSupport.h"

#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTextDocument>
#include <QStyleFactory>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <map>

namespace tidewell::test {

namespace {

class ApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "tidewell-ui-test";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        ColorSchemeSource::instance();
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

private:
    QApplication* app_ = nullptr;
};

const bool registered = [] {
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);
    return true;
}();

}  // namespace

void useScheme(ColorScheme scheme) { ColorSchemeSource::instance().setForcedScheme(scheme); }

QString schemeName(ColorScheme scheme) {
    return scheme == ColorScheme::dark ? QStringLiteral("dark") : QStringLiteral("light");
}

QString artifactsFolder() {
    const QString folder = QStringLiteral(TIDEWELL_TEST_ARTIFACTS_DIR);
    QDir().mkpath(folder);
    return folder;
}

namespace {

QString currentTestName() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test ? QString::fromUtf8(test->test_suite_name()) + QLatin1Char('.') + QString::fromUtf8(test->name())
                : QString();
}

// One picture name belongs to one test: a second writer would silently replace what a person
// looks at. Within a program the test that wrote it is remembered; across programs a note
// beside the picture names the program (one that no longer exists counts for nothing).
void claimArtifactName(const QString& path, const QString& name) {
    static std::map<QString, QString> writers;
    const QString test = currentTestName();
    const auto [at, first] = writers.emplace(name, test);
    if (!first && at->second != test) {
        ADD_FAILURE() << "picture " << name.toStdString() << " is written by " << at->second.toStdString()
                      << " and " << test.toStdString();
    }
    QFile note(path + QStringLiteral(".writer"));
    const QString program = QCoreApplication::applicationFilePath();
    if (note.open(QIODevice::ReadOnly)) {
        const QString writer = QString::fromUtf8(note.readAll()).trimmed();
        note.close();
        if (!writer.isEmpty() && writer != program && QFileInfo::exists(writer)) {
            ADD_FAILURE() << "picture " << name.toStdString() << " is written by " << writer.toStdString()
                          << " and " << program.toStdString() << " (a picture moved on purpose from one "
                          << "program to another: remove " << note.fileName().toStdString() << ")";
        }
    }
    if (note.open(QIODevice::WriteOnly | QIODevice::Truncate)) note.write(program.toUtf8());
}

}  // namespace

QString saveArtifact(const QImage& image, const QString& name) {
    const QString path = artifactsFolder() + QLatin1Char('/') + name + QStringLiteral(".png");
    claimArtifactName(path, name);
    EXPECT_TRUE(image.save(path)) << path.toStdString();
    return path;
}

QImage grabShown(QWidget& widget) {
    widget.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&widget));
    QApplication::processEvents();
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

void fillWithBackground(QWidget& widget, ColorScheme scheme) {
    widget.setAutoFillBackground(true);
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, Theme::backgroundBase(scheme));
    palette.setColor(QPalette::WindowText, Theme::primaryText(scheme));
    widget.setPalette(palette);
}

double coverage(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    qint64 covered = 0;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(argb.pixel(x, y)) > 0) ++covered;
    const qint64 total = qint64(argb.width()) * argb.height();
    return total ? double(covered) / double(total) : 0.0;
}

namespace {

// Qt's own rule: an automatic format is rich text when the start looks like markup. The
// document is only parsed, never laid out, so no image it names is loaded.
QString rendered(const QString& text, Qt::TextFormat format) {
    const bool rich = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
    if (!rich) return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

}  // namespace

QString shownText(const QLabel& label) { return rendered(label.text(), label.textFormat()); }

QString shownToolTip(const QWidget& widget) { return rendered(widget.toolTip(), Qt::AutoText); }

}  // namespace tidewell::test
