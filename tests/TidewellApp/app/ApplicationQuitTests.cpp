// SIGTERM ends the application normally with its windows open, the onboarding sheet among
// them (a sheet that refused to close would cancel the quit), and a pending edit is saved.

#include <QDialog>
#include <csignal>

#include "ModelTestSupport.h"
#include "TidewellApp/Bindings.h"
#include "TidewellApp/QuitSignals.h"
#include "TidewellApp/TidewellApplication.h"
#include "TidewellApp/TidewellMainWindow.h"

namespace tidewell::testing {
namespace {

class ApplicationQuitTest : public ModelTest {};

TEST_F(ApplicationQuitTest, SigtermWithTheOnboardingSheetOpenQuitsAndSavesThePendingEdit) {
  ASSERT_TRUE(QuitSignals::install());
  writeConfig({makeDevice("D", "Desk")}, "D");
  TidewellApplication::Components components;
  DriverInstallerSetup setup;
  setup.carriedBundle = folder.path() + "/share/none.driver";  // nothing carried: unknown → onboarding
  setup.plugInFolder = folder.path() + "/HAL";
  components.driverInstaller = std::make_unique<DriverInstaller>(setup);
  TidewellApplication app(environment(), std::move(components));
  app.mainWindow().show();
  app.setShowOnboarding(true);
  ASSERT_TRUE(waitFor([&] { return app.onboardingSheet().isVisible(); }));

  sourceBinding(app.model(), "D", "D-pt", &SourceConfig::gain, 1.0).set(0.3);
  ASSERT_TRUE(app.model().liveCommitWorkItem());
  QTimer::singleShot(0, [] { ::raise(SIGTERM); });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  guard.start(10000);
  EXPECT_EQ(QCoreApplication::exec(), 0) << "the quit was cancelled";
  EXPECT_EQ(savedConfig().devices[0].sources[0].gain, 0.3);
}

}  // namespace
}  // namespace tidewell::testing
