// Where the settings forms open.
#include "tessaly/placement.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "tests/support/qt_environment.h"

using tessaly::FormBounds;
using tessaly::formBounds;

namespace {

constexpr int W = 1280, H = 1024;
const FormBounds kFallback{W / 2, 48, H - 64, W / 2 - 6};

TEST(Placement, UsableGeometryIsTakenExactly) {
    EXPECT_EQ(formBounds(100, 80, 400, 500, W, H), (FormBounds{100, 80, 400, 500}));
    // The limits themselves are still accepted.
    EXPECT_EQ(formBounds(W, H - 50, 240, 300, W, H), (FormBounds{W, H - 50, 240, 300}));
    EXPECT_EQ(formBounds(0, 0, 240, 300, W, H), (FormBounds{0, 0, 240, 300}));
}

TEST(Placement, UnusableGeometryFallsBackToTheRightHalf) {
    EXPECT_EQ(formBounds(-1, 80, 400, 500, W, H), kFallback) << "partly off screen to the left";
    EXPECT_EQ(formBounds(W + 1, 80, 400, 500, W, H), kFallback);
    EXPECT_EQ(formBounds(100, -1, 400, 500, W, H), kFallback);
    EXPECT_EQ(formBounds(100, H - 49, 400, 500, W, H), kFallback);
    // A window smaller than 300 by 240, wherever it is.
    EXPECT_EQ(formBounds(100, 80, 239, 500, W, H), kFallback);
    EXPECT_EQ(formBounds(100, 80, 400, 299, W, H), kFallback);
    EXPECT_EQ(formBounds(100, 80, 0, 0, W, H), kFallback);
    // Halving truncates.
    EXPECT_EQ(formBounds(-5, 0, 0, 0, 1025, 767), (FormBounds{512, 48, 703, 506}));
}

TEST(Placement, FormGetsTheBoundsWithinTheAvailableArea) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect area = screen->availableGeometry();
    ASSERT_GE(area.width(), 300);
    ASSERT_GE(area.height(), 290);

    QWidget form;
    tessaly::placeForm(form, area.x() + 10, area.y() + 20, 250, 310);
    EXPECT_EQ(form.geometry(), QRect(area.x() + 10, area.y() + 20, 310, 250));

    tessaly::placeForm(form, area.x() - 1, area.y() + 20, 250, 310);
    EXPECT_EQ(form.geometry(), QRect(area.x() + area.width() / 2, area.y() + 48,
                                     area.width() / 2 - 6, area.height() - 64));
    EXPECT_TRUE(area.contains(form.geometry()));
}

}  // namespace
