// The software-update hook: no updater on Linux, the bundle-identifier gate for a controller,
// the mirrored check flag and the one feed parameter.

#include "UiTestSupport.h"

#include "TidewellApp/UpdaterModel.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace tidewell;

namespace {

class FakeController : public UpdateController {
public:
    explicit FakeController(bool canCheck) : canCheck_(canCheck) {}
    bool canCheckForUpdates() const override { return canCheck_; }
    void checkForUpdates() override { ++checks; }
    void report(bool canCheck) {
        canCheck_ = canCheck;
        emit canCheckForUpdatesChanged(canCheck);
    }
    int checks = 0;

private:
    bool canCheck_;
};

}  // namespace

// The application's own identifier, but no framework: the model the application builds on
// Linux (no factory at all) and one whose factory makes no controller. Neither has a
// controller, neither can check, and the menu command's check does nothing.
TEST(UpdaterModelTest, UnderTheOwnIdentifierWithoutAFrameworkNothingRuns) {
    int made = 0;
    auto none = [&](FeedParametersDelegate&) -> std::unique_ptr<UpdateController> {
        ++made;
        return nullptr;
    };
    UpdaterModel application;
    UpdaterModel empty(UpdaterModel::ownBundleIdentifier(), none);
    EXPECT_EQ(made, 1) << "the factory was asked";
    for (UpdaterModel* model : {&application, &empty}) {
        EXPECT_EQ(model->controller(), nullptr);
        EXPECT_FALSE(model->canCheckForUpdates());
        model->checkForUpdates();
        EXPECT_FALSE(model->canCheckForUpdates());
    }
}

TEST(UpdaterModelTest, ControllerOnlyUnderTheOwnBundleIdentifier) {
    int made = 0;
    auto factory = [&](FeedParametersDelegate&) {
        ++made;
        return std::make_unique<FakeController>(true);
    };
    for (const QString& other : {QString(), QStringLiteral("org.example.other"),
                                 UpdaterModel::ownBundleIdentifier() + QStringLiteral(".debug")}) {
        UpdaterModel model(other, factory);
        EXPECT_EQ(model.controller(), nullptr);
        EXPECT_FALSE(model.canCheckForUpdates());
    }
    EXPECT_EQ(made, 0) << "nothing of the framework starts under another identifier";

    UpdaterModel own(UpdaterModel::ownBundleIdentifier(), factory);
    EXPECT_EQ(made, 1);
    ASSERT_NE(own.controller(), nullptr);
    EXPECT_TRUE(own.canCheckForUpdates()) << "the initial value is observed";
}

TEST(UpdaterModelTest, MirrorsTheControllersFlagAndRunsChecks) {
    FakeController* fake = nullptr;
    FeedParametersDelegate* handed = nullptr;
    UpdaterModel model(UpdaterModel::ownBundleIdentifier(), [&](FeedParametersDelegate& delegate) {
        handed = &delegate;
        auto controller = std::make_unique<FakeController>(false);
        fake = controller.get();
        return controller;
    });
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(handed, &model.feedDelegate());
    QSignalSpy changes(&model, &UpdaterModel::canCheckForUpdatesChanged);
    EXPECT_FALSE(model.canCheckForUpdates());
    fake->report(true);
    EXPECT_TRUE(model.canCheckForUpdates());
    fake->report(true);
    fake->report(false);
    EXPECT_FALSE(model.canCheckForUpdates());
    EXPECT_EQ(changes.count(), 2) << "an equal report changes nothing";
    model.checkForUpdates();
    EXPECT_EQ(fake->checks, 1);
}

TEST(FeedParametersTest, ExactlyTheAppVersionWhateverIsAsked) {
    const QString saved = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion(QStringLiteral("1.5"));
    FeedParametersDelegate delegate;
    for (bool profile : {false, true}) {
        const auto parameters = delegate.feedParameters(profile);
        ASSERT_EQ(parameters.size(), 1);
        EXPECT_EQ(parameters[0], (QMap<QString, QString>{{QStringLiteral("key"), QStringLiteral("appVersion")},
                                                         {QStringLiteral("value"), QStringLiteral("1.5")}}));
    }
    QCoreApplication::setApplicationVersion(QString());
    EXPECT_EQ(delegate.feedParameters(false)[0].value(QStringLiteral("value")), QStringLiteral("unknown"));
    QCoreApplication::setApplicationVersion(saved);
}
