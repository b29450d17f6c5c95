// The titled column of the routing canvas, and the row that shares the canvas's width
// between the columns.

#include "UiTestSupport.h"

#include "TidewellApp/ElidingLabel.h"
#include "TidewellApp/RoutingColumn.h"
#include "TidewellApp/RoutingColumnsLayout.h"
#include "TidewellApp/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace tidewell;

namespace {

// A stand-in for a column's rows: a fixed-height block.
QWidget* rows(int height) {
    auto* block = new QWidget;
    block->setFixedHeight(height);
    return block;
}

}  // namespace

TEST(RoutingColumnTest, HeaderAboveTheRowsWhichStayAtTheTop) {
    test::useScheme(ColorScheme::light);
    QWidget canvas;
    test::fillWithBackground(canvas, ColorScheme::light);
    auto* line = new QHBoxLayout(&canvas);
    line->setSpacing(14);
    auto* sources = new RoutingColumn(QStringLiteral("Sources"),
                                      QStringLiteral("dot.radiowaves.left.and.right"), rows(80));
    auto* outputs = new RoutingColumn(QStringLiteral("Output Channels"),
                                      QStringLiteral("rectangle.split.2x1"), rows(200));
    auto* monitors = new RoutingColumn(QStringLiteral("Monitors"), QStringLiteral("headphones"),
                                       rows(40));
    for (auto* column : {sources, outputs, monitors}) line->addWidget(column, 1, Qt::AlignTop);
    canvas.resize(720, 300);
    const QImage image = test::grabShown(canvas);

    EXPECT_EQ(sources->title(), QStringLiteral("Sources"));
    EXPECT_EQ(monitors->systemImage(), QStringLiteral("headphones"));
    // The header: an 18-wide accent symbol, 8 before the title; rows 12 below the header.
    EXPECT_EQ(sources->symbolLabel()->width(), 18);
    EXPECT_FALSE(sources->symbolLabel()->pixmap().isNull());
    const auto* title = sources->findChild<ElidingLabel*>();
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->x() - sources->symbolLabel()->geometry().right() - 1, 8);
    EXPECT_EQ(title->font().pixelSize(), 14);
    EXPECT_EQ(title->font().weight(), QFont::DemiBold);
    const int headerBottom = std::max(title->geometry().bottom(),
                                      sources->symbolLabel()->geometry().bottom());
    EXPECT_EQ(sources->content()->y() - headerBottom - 1, 12);
    // Rows start at the same height in every column, whatever their length, and the columns
    // share the width.
    EXPECT_EQ(sources->content()->y(), monitors->content()->y());
    EXPECT_EQ(sources->content()->width(), sources->width());
    EXPECT_NEAR(sources->width(), monitors->width(), 1);
    // The symbol is drawn in the accent colour: its most opaque pixel shows it.
    const QImage symbol = sources->symbolLabel()->pixmap().toImage().convertToFormat(
        QImage::Format_ARGB32);
    QRgb strongest = 0;
    for (int y = 0; y < symbol.height(); ++y)
        for (int x = 0; x < symbol.width(); ++x)
            if (qAlpha(symbol.pixel(x, y)) > qAlpha(strongest)) strongest = symbol.pixel(x, y);
    const QColor accent = Theme::accent(ColorScheme::light);
    EXPECT_GT(qAlpha(strongest), 200);
    EXPECT_NEAR(qRed(strongest), accent.red(), 3);
    EXPECT_NEAR(qGreen(strongest), accent.green(), 3);
    EXPECT_NEAR(qBlue(strongest), accent.blue(), 3);
    test::saveArtifact(image, QStringLiteral("RoutingColumn-light"));
}

// Equal shares of the width between the visible edges; a column that cannot shrink to its share
// keeps its minimum and the others share the rest; the pixels left over go to the first ones.
TEST(RoutingColumnsLayoutTest, ColumnsShareTheWidthEquallyAboveTheirMinimums) {
    const QMargins overhang(14, 0, 14, 0);
    using Widths = QList<int>;
    // 1000 wide: 1000 - 28 - 2 × 14 = 944 to share.
    EXPECT_EQ(RoutingColumnsLayout::shares(1000, {200, 200, 200}, 14, overhang), (Widths{315, 315, 314}));
    EXPECT_EQ(RoutingColumnsLayout::shares(1000, {400, 100, 100}, 14, overhang), (Widths{400, 272, 272}));
    EXPECT_EQ(RoutingColumnsLayout::shares(1000, {100, 500, 400}, 14, overhang), (Widths{100, 500, 400}));
    // Narrower than the minimums: each keeps its own (the layout's minimum size prevents it).
    EXPECT_EQ(RoutingColumnsLayout::shares(500, {200, 200, 200}, 14, overhang), (Widths{200, 200, 200}));
    EXPECT_EQ(RoutingColumnsLayout::shares(500, {}, 14, overhang), Widths{});
}

// In a widget: the columns' visible parts start and end at the row's visible edges, 14 apart,
// and each widget reaches the overhang past them.
TEST(RoutingColumnsLayoutTest, ColumnWidgetsReachTheOverhangPastTheirVisibleShare) {
    QWidget canvas;
    auto* row = new RoutingColumnsLayout(14, QMargins(14, 0, 14, 0), &canvas);
    QList<QWidget*> columns;
    for (int minimum : {100, 400, 100}) {
        auto* column = new QWidget;
        column->setMinimumSize(minimum + 28, 50);
        row->addWidget(column);
        columns.append(column);
    }
    EXPECT_EQ(canvas.minimumSizeHint().width(), 14 + 100 + 14 + 400 + 14 + 100 + 14);
    // Preferred: equal shares that give every column what the widest asks for.
    EXPECT_EQ(canvas.sizeHint().width(), 14 + 3 * 400 + 2 * 14 + 14);
    canvas.resize(1000, 300);
    canvas.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&canvas));
    EXPECT_EQ(columns[0]->geometry(), QRect(0, 0, 272 + 28, 50));
    EXPECT_EQ(columns[1]->geometry(), QRect(14 + 272 + 14 - 14, 0, 400 + 28, 50));
    EXPECT_EQ(columns[2]->geometry(), QRect(14 + 272 + 14 + 400 + 14 - 14, 0, 272 + 28, 50));
    EXPECT_EQ(columns[2]->geometry().right(), 999);
}
