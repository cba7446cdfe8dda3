// Where a saved window frame lands on the screens there are now.

#include "gui/app/window_placement.h"

#include <gtest/gtest.h>

namespace harlune {
namespace {

const QRect kLeftScreen(0, 0, 1920, 1040);
const QRect kRightScreen(1920, 0, 1280, 984);

TEST(WindowPlacementTest, AFrameOnAScreenOrAcrossTwoStaysWhereItIs) {
  const QRect inside(100, 100, 800, 500);
  EXPECT_EQ(FitOntoScreens(inside, {kLeftScreen}), inside);
  const QRect exactlyFitting = kLeftScreen;
  EXPECT_EQ(FitOntoScreens(exactlyFitting, {kLeftScreen}), exactlyFitting);
  const QRect acrossBoth(1600, 100, 800, 500);
  EXPECT_EQ(FitOntoScreens(acrossBoth, {kLeftScreen, kRightScreen}), acrossBoth);
  // Slightly off the edge, with the title bar and most of it showing.
  const QRect overTheEdge(1500, 100, 800, 500);
  EXPECT_EQ(FitOntoScreens(overTheEdge, {kLeftScreen}), overTheEdge);
}

TEST(WindowPlacementTest, AFrameOffToTheRightMovesOntoTheNearestScreen) {
  const QRect offRight(4000, 200, 800, 500);
  EXPECT_EQ(FitOntoScreens(offRight, {kLeftScreen}), QRect(1120, 200, 800, 500));
  EXPECT_EQ(FitOntoScreens(offRight, {kLeftScreen, kRightScreen}), QRect(2400, 200, 800, 500));
  const QRect mostlyOff(1700, 100, 800, 500);
  EXPECT_EQ(FitOntoScreens(mostlyOff, {kLeftScreen}), QRect(1120, 100, 800, 500));
}

TEST(WindowPlacementTest, AFrameWhoseTitleBarIsAboveTheScreenComesDown) {
  const QRect titleAbove(300, -30, 800, 500);
  EXPECT_EQ(FitOntoScreens(titleAbove, {kLeftScreen}), QRect(300, 0, 800, 500));
  const QRect farAbove(300, -2000, 800, 500);
  EXPECT_EQ(FitOntoScreens(farAbove, {kLeftScreen}), QRect(300, 0, 800, 500));
}

TEST(WindowPlacementTest, AFrameOnAScreenThatIsGoneMovesToOneThatIsThere) {
  // Saved on the right-hand screen, which is no longer attached.
  const QRect onGoneScreen(2200, 300, 900, 600);
  EXPECT_EQ(FitOntoScreens(onGoneScreen, {kLeftScreen}), QRect(1020, 300, 900, 600));
  // A screen left of the primary one, gone.
  const QRect leftOfPrimary(-1500, 100, 800, 500);
  EXPECT_EQ(FitOntoScreens(leftOfPrimary, {kLeftScreen}), QRect(0, 100, 800, 500));
}

TEST(WindowPlacementTest, AFrameLargerThanTheScreenShrinksToIt) {
  const QRect huge(-100, -100, 3000, 2000);
  EXPECT_EQ(FitOntoScreens(huge, {kRightScreen}), kRightScreen);
  const QRect tooTall(4000, 0, 600, 1500);
  EXPECT_EQ(FitOntoScreens(tooTall, {kLeftScreen}), QRect(1320, 0, 600, 1040));
}

TEST(WindowPlacementTest, WithoutScreensTheFrameIsLeftAlone) {
  const QRect anywhere(7000, -7000, 800, 500);
  EXPECT_EQ(FitOntoScreens(anywhere, {}), anywhere);
}

TEST(WindowPlacementTest, CentringKeepsTheSizeAndStaysInTheArea) {
  const QRect placed = CentredIn(QSize(800, 500), kRightScreen);
  EXPECT_EQ(placed.size(), QSize(800, 500));
  EXPECT_TRUE(kRightScreen.contains(placed));
  EXPECT_EQ(placed.topLeft(), QPoint(1920 + 240, 242));
  EXPECT_EQ(CentredIn(QSize(4000, 4000), kLeftScreen), kLeftScreen);
}

}  // namespace
}  // namespace harlune
