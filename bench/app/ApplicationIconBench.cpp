// One opening of the add-source menu as far as its icons go: the icons of eight running
// applications, looked up among 400 installed desktop entries that name none of them (the worst
// case: no entry stops the search), each drawn as the menu draws it. Target: under 2 ms per
// opening; only a change of the applications folders makes the next one read the entries.

#include "TidewellApp/ApplicationIcon.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <unistd.h>

using namespace tidewell;

namespace {

// 400 entries in a private data folder, for programs that do not run here.
QTemporaryDir& desktopEntries() {
    static QTemporaryDir folder;
    static bool written = [] {
        QDir(folder.path()).mkpath("applications");
        for (int i = 0; i < 400; ++i) {
            QFile file(folder.path() + QStringLiteral("/applications/app%1.desktop").arg(i));
            file.open(QIODevice::WriteOnly);
            file.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=App %1\nExec=/opt/app%1/bin/app%1 %U\n"
                                      "Icon=app%1\nStartupWMClass=App%1\n\n[Desktop Action new]\nExec=app%1 --new\n")
                           .arg(i)
                           .toUtf8());
        }
        qputenv("XDG_DATA_HOME", folder.path().toLocal8Bit());
        qputenv("XDG_DATA_DIRS", folder.path().toLocal8Bit());
        return true;
    }();
    (void)written;
    return folder;
}

void AddSourceMenuIcons(benchmark::State& state) {
    desktopEntries();
    const std::int32_t pid = std::int32_t(::getpid());
    for (auto _ : state) {
        for (int app = 0; app < 8; ++app) {
            benchmark::DoNotOptimize(ApplicationIcon::menuIcon("org.example.app" + std::to_string(app), pid, 15));
        }
    }
}
BENCHMARK(AddSourceMenuIcons)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
