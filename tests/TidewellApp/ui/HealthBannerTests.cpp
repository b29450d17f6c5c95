// The health banner: the texts of each issue, its buttons, and the window overlay that picks
// the issue to show, runs the issue's repair and remembers dismissed issues.

#include "UiTestSupport.h"

#include "TidewellApp/DotGridBackground.h"
#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/HealthBanner.h"
#include "TidewellApp/HealthBannerOverlay.h"

#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <map>

using namespace tidewell;

namespace {

struct Texts {
    HealthIssue issue;
    const char* title;
    const char* detail;
    const char* action;
};

const Texts table[] = {
    {HealthIssue::driverNotLoaded, "Audio driver isn't loaded",
     "Your virtual devices are unavailable until the driver reloads.", "Repair\u2026"},
    {HealthIssue::serviceNotInstalled, "Background service isn't installed",
     "Audio can't move between apps and devices without it.", "Repair\u2026"},
    {HealthIssue::serviceBinariesMissing, "Background service files are missing",
     "Reinstalling restores the helper tools your routes run on.", "Restart"},
    {HealthIssue::serviceNotRunning, "Background service is stopped",
     "Saved routes won't run until the service restarts.", "Restart"},
    {HealthIssue::serviceUnresponsive, "Background service isn't responding",
     "It's running but has stopped updating. Restarting usually fixes it.", "Restart"},
    {HealthIssue::runtimePublishFailed, "Couldn't update the audio driver",
     "Your latest settings haven't reached the driver.", "Retry"},
};

QString issueName(HealthIssue issue) {
    const char* names[] = {"driverNotLoaded",   "serviceNotInstalled", "serviceBinariesMissing",
                           "serviceNotRunning", "serviceUnresponsive", "runtimePublishFailed"};
    return QString::fromLatin1(names[int(issue)]);
}

// A window-like host with the background, and counters for the three repairs.
struct Host {
    QWidget window;
    std::map<std::string, int> calls;
    HealthBannerOverlay overlay;

    Host()
        : overlay(&window, HealthBannerCommands{[this] { ++calls["showOnboarding"]; },
                                                [this] { ++calls["installOrRestartService"]; },
                                                [this] { ++calls["reload"]; }}) {
        window.resize(1080, 300);
        auto* background = new DotGridBackground(14, 1, &window);
        background->setGeometry(0, 0, 1080, 300);
        overlay.setAnimated(false);
        test::grabShown(window);
    }
    void show(std::optional<HealthIssue> issue, bool onboarding = false, bool bundleMissing = false,
              bool actionDisabled = false) {
        overlay.setInputs({issue, onboarding, bundleMissing, actionDisabled});
        QApplication::processEvents();
    }
};

}  // namespace

TEST(HealthIssueTest, SixIssuesInPriorityOrderWithTheirTexts) {
    ASSERT_EQ(allHealthIssues.size(), std::size(table));
    for (size_t i = 0; i < std::size(table); ++i) {
        EXPECT_EQ(allHealthIssues[i], table[i].issue);
        EXPECT_EQ(title(table[i].issue), QString::fromUtf8(table[i].title));
        EXPECT_EQ(detail(table[i].issue), QString::fromUtf8(table[i].detail));
        EXPECT_EQ(actionTitle(table[i].issue), QString::fromUtf8(table[i].action));
    }
    EXPECT_EQ(actionTitle(HealthIssue::driverNotLoaded).back(), QChar(0x2026));
}

TEST(HealthBannerTest, ShowsTheIssueAndRunsItsButtons) {
    for (const Texts& row : table) {
        SCOPED_TRACE(row.title);
        int actions = 0, dismissals = 0;
        HealthBanner banner(row.issue, false, [&] { ++actions; }, [&] { ++dismissals; });
        test::grabShown(banner);
        EXPECT_EQ(banner.titleLabel()->text(), QString::fromUtf8(row.title));
        EXPECT_EQ(banner.detailLabel()->text(), QString::fromUtf8(row.detail));
        EXPECT_EQ(banner.actionButton()->text(), QString::fromUtf8(row.action));
        EXPECT_FALSE(banner.titleLabel()->isElided()) << "the banner is as wide as its content";
        EXPECT_FALSE(banner.detailLabel()->isElided());
        EXPECT_EQ(banner.dismissButton()->toolTip(), QStringLiteral("Hide until the app relaunches"));
        EXPECT_EQ(banner.dismissButton()->size(), QSize(20, 20));
        QTest::mouseClick(banner.actionButton(), Qt::LeftButton);
        EXPECT_EQ(actions, 1);
        EXPECT_EQ(dismissals, 0);
        QTest::mouseClick(banner.dismissButton(), Qt::LeftButton);
        EXPECT_EQ(dismissals, 1);
    }
}

// Stripes of black and white, like rows, meters and ports beneath the floating banner.
class Stripes : public QWidget {
public:
    using QWidget::QWidget;
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        for (int x = 0; x < width(); x += 6) painter.fillRect(x, 0, 3, height(), x % 12 ? Qt::white : Qt::black);
    }
};

TEST(HealthBannerTest, ReadsCleanlyOverWhateverLiesBeneathIt) {
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        Stripes content;
        content.resize(900, 140);
        auto* banner = new HealthBanner(HealthIssue::driverNotLoaded, false, {}, {}, &content);
        banner->move(40, 20);
        const QImage picture = test::grabShown(content);
        // The band between the card's top edge and its text holds only the card's fill: no
        // stripe of the content may show through it.
        const QRect card = banner->cardRect().translated(banner->pos());
        int darkest = 255, lightest = 0;
        for (int y = card.top() + 3; y < card.top() + 8; ++y)
            for (int x = card.left() + 16; x < card.right() - 16; ++x) {
                const int grey = qGray(picture.pixel(x, y));
                darkest = std::min(darkest, grey);
                lightest = std::max(lightest, grey);
            }
        EXPECT_LE(lightest - darkest, 4) << (scheme == ColorScheme::dark ? "dark" : "light");
    }
}

TEST(HealthBannerTest, DisabledActionDoesNothingWhileDismissStillWorks) {
    int actions = 0, dismissals = 0;
    HealthBanner banner(HealthIssue::serviceNotRunning, true, [&] { ++actions; }, [&] { ++dismissals; });
    test::grabShown(banner);
    EXPECT_FALSE(banner.actionButton()->isEnabled());
    QTest::mouseClick(banner.actionButton(), Qt::LeftButton);
    EXPECT_EQ(actions, 0);
    QTest::mouseClick(banner.dismissButton(), Qt::LeftButton);
    EXPECT_EQ(dismissals, 1);
    banner.setActionDisabled(false);
    QTest::mouseClick(banner.actionButton(), Qt::LeftButton);
    EXPECT_EQ(actions, 1);
}

TEST(HealthBannerOverlayTest, EachIssuesActionRunsTheRepairOfTheTable) {
    const std::map<HealthIssue, std::string> expected = {
        {HealthIssue::driverNotLoaded, "showOnboarding"},
        {HealthIssue::serviceNotInstalled, "showOnboarding"},
        {HealthIssue::serviceBinariesMissing, "installOrRestartService"},
        {HealthIssue::serviceNotRunning, "installOrRestartService"},
        {HealthIssue::serviceUnresponsive, "installOrRestartService"},
        {HealthIssue::runtimePublishFailed, "reload"},
    };
    for (const auto& [issue, repair] : expected) {
        SCOPED_TRACE(repair);
        Host host;
        host.show(issue);
        ASSERT_EQ(host.overlay.shownIssue(), issue);
        HealthBanner* banner = host.overlay.banner();
        ASSERT_NE(banner, nullptr);
        EXPECT_TRUE(banner->isVisible());
        EXPECT_EQ(banner->titleLabel()->text(), title(issue));
        QTest::mouseClick(banner->actionButton(), Qt::LeftButton);
        EXPECT_EQ(host.calls, (std::map<std::string, int>{{repair, 1}}));
    }
}

TEST(HealthBannerOverlayTest, DismissedIssueStaysHiddenWhileOthersShow) {
    Host host;
    host.show(HealthIssue::serviceNotRunning);
    ASSERT_NE(host.overlay.banner(), nullptr);
    QPointer<HealthBanner> dismissed = host.overlay.banner();
    QTest::mouseClick(dismissed->dismissButton(), Qt::LeftButton);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
    EXPECT_EQ(host.overlay.banner(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dismissed.isNull(); }, 5000)) << "the widget goes too";
    EXPECT_TRUE(host.overlay.dismissedHealthIssues().contains(HealthIssue::serviceNotRunning));
    EXPECT_TRUE(host.calls.empty()) << "dismissing repairs nothing";

    // The same issue reported again stays hidden.
    host.show(HealthIssue::serviceNotRunning, false, false, true);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
    // Another issue shows.
    host.show(HealthIssue::serviceUnresponsive);
    ASSERT_EQ(host.overlay.shownIssue(), HealthIssue::serviceUnresponsive);
    ASSERT_NE(host.overlay.banner(), nullptr);
    EXPECT_EQ(host.overlay.banner()->titleLabel()->text(), QStringLiteral("Background service isn't responding"));
    // Healthy, then the dismissed issue again: still hidden for the rest of the run.
    host.show(std::nullopt);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
    host.show(HealthIssue::serviceNotRunning);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
}

TEST(HealthBannerOverlayTest, HiddenWhileOnboardingOrWithoutPlugInBundle) {
    Host host;
    QSignalSpy changes(&host.overlay, &HealthBannerOverlay::shownIssueChanged);
    host.show(HealthIssue::driverNotLoaded, true);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
    host.show(HealthIssue::driverNotLoaded, false, true);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
    EXPECT_EQ(changes.count(), 0);
    host.show(HealthIssue::driverNotLoaded);
    EXPECT_EQ(host.overlay.shownIssue(), HealthIssue::driverNotLoaded);
    host.show(HealthIssue::driverNotLoaded, true);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
    EXPECT_EQ(changes.count(), 2);
    EXPECT_TRUE(host.overlay.dismissedHealthIssues().isEmpty()) << "hiding is not dismissing";
}

TEST(HealthBannerOverlayTest, ActionFollowsTheDisabledInputAndIssueChangesInPlace) {
    Host host;
    host.show(HealthIssue::serviceNotInstalled, false, false, true);
    HealthBanner* banner = host.overlay.banner();
    ASSERT_NE(banner, nullptr);
    EXPECT_FALSE(banner->actionButton()->isEnabled());
    QTest::mouseClick(banner->actionButton(), Qt::LeftButton);
    EXPECT_TRUE(host.calls.empty());
    host.show(HealthIssue::serviceNotInstalled);
    EXPECT_TRUE(banner->actionButton()->isEnabled());
    host.show(HealthIssue::runtimePublishFailed);
    EXPECT_EQ(host.overlay.banner(), banner);
    EXPECT_EQ(banner->actionButton()->text(), QStringLiteral("Retry"));
    QTest::mouseClick(banner->actionButton(), Qt::LeftButton);
    EXPECT_EQ(host.calls, (std::map<std::string, int>{{"reload", 1}}));
}

TEST(HealthBannerOverlayTest, RepairThatChangesTheIssueAtOnceReplacesTheBanner) {
    // The repair runs inside the banner's click: the model settles, then reports a new issue.
    QWidget window;
    window.resize(900, 200);
    HealthBannerOverlay* overlayPointer = nullptr;
    HealthBannerOverlay overlay(&window, HealthBannerCommands{{}, {}, [&] {
                                    overlayPointer->setInputs({std::nullopt});
                                    overlayPointer->setInputs({HealthIssue::serviceNotRunning});
                                }});
    overlayPointer = &overlay;
    overlay.setAnimated(false);
    test::grabShown(window);
    overlay.setInputs({HealthIssue::runtimePublishFailed});
    QPointer<HealthBanner> first = overlay.banner();
    ASSERT_TRUE(first);
    QTest::mouseClick(first->actionButton(), Qt::LeftButton);
    EXPECT_EQ(overlay.shownIssue(), HealthIssue::serviceNotRunning);
    ASSERT_NE(overlay.banner(), nullptr);
    EXPECT_NE(overlay.banner(), first.data());
    EXPECT_EQ(overlay.banner()->actionButton()->text(), QStringLiteral("Restart"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 5000));
}

TEST(HealthBannerOverlayTest, FloatsCentredAboveTheBottomEdge) {
    Host host;
    host.show(HealthIssue::serviceUnresponsive);
    HealthBanner* banner = host.overlay.banner();
    ASSERT_NE(banner, nullptr);
    const QRect card = banner->cardRect().translated(banner->pos());
    EXPECT_EQ(card.bottom() + 1, host.window.height() - HealthBannerOverlay::bottomPadding);
    EXPECT_LE(std::abs(card.center().x() - host.window.width() / 2), 1);
    host.window.resize(1200, 500);
    QApplication::processEvents();
    const QRect moved = banner->cardRect().translated(banner->pos());
    EXPECT_EQ(moved.bottom() + 1, 500 - HealthBannerOverlay::bottomPadding);
}

TEST(HealthBannerOverlayTest, AnimatedBannerLeavesAndIsRemoved) {
    Host host;
    host.overlay.setAnimated(true);
    host.show(HealthIssue::serviceNotRunning);
    QPointer<HealthBanner> banner = host.overlay.banner();
    ASSERT_TRUE(banner);
    host.show(std::nullopt);
    EXPECT_EQ(host.overlay.shownIssue(), std::nullopt);
    EXPECT_FALSE(banner->isEnabled()) << "a leaving banner takes no clicks";
    EXPECT_TRUE(QTest::qWaitFor([&] { return banner.isNull(); }, 5000));
}

TEST(HealthBannerGrabs, EveryIssueInBothSchemes) {
    for (ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        for (HealthIssue issue : allHealthIssues) {
            Host host;
            host.show(issue, false, false, issue == HealthIssue::serviceNotRunning);
            ASSERT_NE(host.overlay.banner(), nullptr);
            const QImage image = host.window.grab().toImage();
            test::saveArtifact(image, QStringLiteral("banner-%1-%2").arg(issueName(issue), test::schemeName(scheme)));
        }
    }
    test::useScheme(ColorScheme::light);
}
