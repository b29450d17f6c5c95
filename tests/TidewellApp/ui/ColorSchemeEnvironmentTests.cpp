// TIDEWELL_COLOR_SCHEME (set to "dark" for this program) forces the scheme from the start and
// gives standard controls the matching palette.

#include "UiTestSupport.h"

#include "TidewellApp/Theme.h"

#include <QApplication>

#include <gtest/gtest.h>

using namespace tidewell;

TEST(ColorSchemeEnvironment, ForcesTheSchemeFromTheStart) {
    ASSERT_EQ(qgetenv("TIDEWELL_COLOR_SCHEME"), QByteArray("dark"));
    auto& source = ColorSchemeSource::instance();
    EXPECT_EQ(source.forcedScheme(), ColorScheme::dark);
    EXPECT_TRUE(source.isDark());
    EXPECT_EQ(ColorSchemeSource::schemeOfPalette(QApplication::palette()), ColorScheme::dark);
    // A light desktop palette does not switch a forced scheme.
    QApplication::setPalette(Theme::palette(ColorScheme::light));
    EXPECT_TRUE(source.isDark());
}
