// A pending live edit survives the end of the application: a normal quit, SIGTERM, SIGINT and
// SIGHUP.

#include <csignal>

#include "ModelTestSupport.h"
#include "TidewellApp/Bindings.h"
#include "TidewellApp/QuitSignals.h"

namespace tidewell::testing {
namespace {

class QuitTest : public ModelTest {
 protected:
  // Edits a gain live, then ends the event loop with `end` well within the commit pause.
  void editThenEnd(double gain, const std::function<void()>& end) {
    writeConfig({makeDevice("D", "Desk")});
    auto model = makeModel();
    sourceBinding(*model, "D", "D-pt", &SourceConfig::gain, 1.0).set(gain);
    ASSERT_TRUE(model->liveCommitWorkItem());
    QTimer::singleShot(0, end);
    // A stuck loop fails the test instead of hanging it.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(savedConfig().devices[0].sources[0].gain, gain);
    EXPECT_FALSE(model->liveSnapshot());
    EXPECT_EQ(model->statusMessage(), "Saved");
  }
};

TEST_F(QuitTest, QuittingFlushesAPendingEditBeforeTheLoopEnds) {
  editThenEnd(0.4, [] { QCoreApplication::quit(); });
}

TEST_F(QuitTest, SigtermSigintAndSighupQuitNormallyAndSoFlushToo) {
  ASSERT_TRUE(QuitSignals::install());
  editThenEnd(0.6, [] { ::raise(SIGTERM); });
  editThenEnd(0.7, [] { ::raise(SIGINT); });
  // The terminal the application was started from closes.
  editThenEnd(0.8, [] { ::raise(SIGHUP); });
}

}  // namespace
}  // namespace tidewell::testing
