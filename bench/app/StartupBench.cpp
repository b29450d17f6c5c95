// From start to the main window's first painted frame, offscreen, in a private home with no
// audio server answering (target: under 300 ms):
//  - ProcessStartToFirstFrame: the Tidewell executable from exec until it has painted, grabbed
//    and written its window (--screenshot) and exited: an upper bound of the start-up.
//  - ApplicationToFirstFrame: inside one process, building the application (model, meters,
//    installer, windows, menus) until the main window's first frame has been painted.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TidewellApp/AppEnvironment.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path privateHome;

fs::path executableFolder() { return fs::read_symlink("/proc/self/exe").parent_path(); }

void BM_ProcessStartToFirstFrame(benchmark::State& state) {
  const std::string program = (executableFolder() / "Tidewell").string();
  const std::string shot = (privateHome / "shot.png").string();
  for (auto _ : state) {
    std::string words[] = {program, "--screenshot", shot};
    char* argv[] = {words[0].data(), words[1].data(), words[2].data(), nullptr};
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start Tidewell");
      break;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("Tidewell --screenshot failed");
      break;
    }
  }
}
BENCHMARK(BM_ProcessStartToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_ApplicationToFirstFrame(benchmark::State& state) {
  for (auto _ : state) {
    tidewell::TidewellApplication application(tidewell::AppEnvironment::live());
    QEventLoop loop;
    QObject::connect(&application.mainWindow(), &tidewell::TidewellMainWindow::firstFramePainted, &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    application.mainWindow().show();
    loop.exec();
    state.PauseTiming();
    application.mainWindow().close();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ApplicationToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/tidewell-startup-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  privateHome = pattern;
  for (const char* sub : {"data", "state", "config", "runtime"}) fs::create_directories(privateHome / sub);
  ::setenv("HOME", pattern, 1);
  ::setenv("XDG_DATA_HOME", (privateHome / "data").c_str(), 1);
  ::setenv("XDG_STATE_HOME", (privateHome / "state").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (privateHome / "config").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (privateHome / "runtime").c_str(), 1);
  ::setenv("AUDIOSERVER_SOCKET", (privateHome / "no-server").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::benchmark::Initialize(&argc, argv);
  ::benchmark::RunSpecifiedBenchmarks();
  ::benchmark::Shutdown();
  std::error_code ignored;
  fs::remove_all(privateHome, ignored);
  return 0;
}
