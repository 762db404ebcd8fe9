// Layout arithmetic of the main window: panel splits, light cells, the progress bar's
// disappearing act, list widths and the height rules of the five view toggles.
#include <gtest/gtest.h>

#include "ui/form_layout.h"

namespace qx {
namespace {

constexpr int kCentral = 300;

TViewTicks Ticks(bool dialog, bool queue, bool modem, bool progress, bool buttons) {
    return {dialog, queue, modem, progress, buttons};
}

TEST(FormLayout, LightsAndProgressSplitTruncatesHalfOfOddWidth) {
    // Window 601: P = 593, P/2 = 296 (truncated), so lights 295, progress at 295 and 297 wide.
    const auto f = ComputeFormLayout(601, kCentral, TViewTicks{});
    EXPECT_EQ(f.PanelLightsProgress.Width, 593);
    EXPECT_EQ(f.PanelLights.Left, 0);
    EXPECT_EQ(f.PanelLights.Width, 295);
    EXPECT_EQ(f.PanelProgress.Left, 295);
    EXPECT_EQ(f.PanelProgress.Width, 297);

    const auto g = ComputeFormLayout(600, kCentral, TViewTicks{});
    EXPECT_EQ(g.PanelLights.Width, 295);
    EXPECT_EQ(g.PanelProgress.Left, 295);
    EXPECT_EQ(g.PanelProgress.Width, 297);
}

TEST(FormLayout, SinglePanelTakesWholeWidthFromTheLeft) {
    const auto onlyProgress = ComputeFormLayout(600, kCentral, Ticks(true, true, false, true, 0));
    EXPECT_EQ(onlyProgress.PanelProgress.Left, 0);
    EXPECT_EQ(onlyProgress.PanelProgress.Width, 591);
    EXPECT_FALSE(onlyProgress.LightsVisible);
    EXPECT_TRUE(onlyProgress.LightsProgressVisible);

    const auto onlyModem = ComputeFormLayout(600, kCentral, Ticks(true, true, true, false, 0));
    EXPECT_EQ(onlyModem.PanelLights.Left, 0);
    EXPECT_EQ(onlyModem.PanelLights.Width, 591);
    EXPECT_FALSE(onlyModem.ProgressVisible);
    EXPECT_FALSE(onlyModem.ProgressBarVisible);
}

TEST(FormLayout, LabelsNeedCellsWiderThan24ButLightsAlwaysSpread) {
    // Both panels: lights width = P/2 - 1. Window 346 gives P = 338, lights 168, cell 24.
    const auto at24 = ComputeFormLayout(346, kCentral, TViewTicks{});
    ASSERT_EQ(at24.PanelLights.Width, 168);
    EXPECT_FALSE(at24.LabelsVisible);
    for (int k = 0; k < 7; ++k) EXPECT_EQ(at24.LightLeft[k], 6 + 24 * k) << "light " << k;

    // Lights panel 175: cell 25, labels shown and centred in their cells (0.5 truncated).
    const auto at25 = ComputeFormLayout(360, kCentral, TViewTicks{});
    ASSERT_EQ(at25.PanelLights.Width, 175);
    EXPECT_TRUE(at25.LabelsVisible);
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(at25.LabelLeft[k], 25 * k) << "label " << k;
        EXPECT_EQ(at25.LightLeft[k], static_cast<int>(6.5 + 25 * k)) << "light " << k;
    }

    // A panel width that is not a multiple of 7 uses the truncated cell: 181 / 7 = 25.
    const auto at181 = ComputeFormLayout(372, kCentral, TViewTicks{});
    ASSERT_EQ(at181.PanelLights.Width, 181);
    EXPECT_EQ(at181.LightLeft[6], static_cast<int>(6.5 + 6 * 25));
}

TEST(FormLayout, NarrowProgressPanelHidesTheBar) {
    // Only Progress: panel width = window - 9.
    const auto at112 = ComputeFormLayout(121, kCentral, Ticks(true, true, false, true, 0));
    ASSERT_EQ(at112.PanelProgress.Width, 112);
    EXPECT_FALSE(at112.ProgressBarVisible);

    const auto at113 = ComputeFormLayout(122, kCentral, Ticks(true, true, false, true, 0));
    ASSERT_EQ(at113.PanelProgress.Width, 113);
    EXPECT_TRUE(at113.ProgressBarVisible);
    EXPECT_EQ(at113.ProgressBar.Width, 17);
    EXPECT_EQ(at113.ProgressBar.Left, 80);

    const auto wide = ComputeFormLayout(600, kCentral, TViewTicks{});
    EXPECT_EQ(wide.ProgressBar.Width, 297 - 96);
}

TEST(FormLayout, ListsShareOrFillTheWidth) {
    const auto both = ComputeFormLayout(601, kCentral, TViewTicks{});
    EXPECT_EQ(both.ListBoxBBS.Width, 293);  // (601 - 14) * 0.5 truncated
    EXPECT_EQ(both.ListBoxQue.Width, 293);
    EXPECT_LT(both.ListBoxBBS.Left + both.ListBoxBBS.Width, both.ListBoxQue.Left);
    EXPECT_LE(both.ListBoxQue.Left + both.ListBoxQue.Width, 601);

    const auto logOnly = ComputeFormLayout(600, kCentral, Ticks(true, false, true, true, 0));
    EXPECT_GT(logOnly.ListBoxBBS.Width, 2 * both.ListBoxBBS.Width);
    EXPECT_FALSE(logOnly.QueueVisible);

    const auto queueOnly = ComputeFormLayout(600, kCentral, Ticks(false, true, true, true, 0));
    EXPECT_EQ(queueOnly.ListBoxQue.Width, logOnly.ListBoxBBS.Width);
    EXPECT_EQ(queueOnly.ListBoxQue.Left, logOnly.ListBoxBBS.Left);
    EXPECT_FALSE(queueOnly.LogVisible);
}

TEST(FormLayout, VisibilityFollowsTicksForEveryCombination) {
    for (int bits = 0; bits < 32; ++bits) {
        const TViewTicks t = Ticks(bits & 1, bits & 2, bits & 4, bits & 8, bits & 16);
        const auto f = ComputeFormLayout(600, kCentral, t);
        SCOPED_TRACE(bits);
        EXPECT_EQ(f.LogVisible, t.Dialog);
        EXPECT_EQ(f.QueueVisible, t.Queue);
        EXPECT_EQ(f.LightsVisible, t.Modem);
        EXPECT_EQ(f.ProgressVisible, t.Progress);
        EXPECT_EQ(f.ButtonsVisible, t.Buttons);
        EXPECT_EQ(f.LightsProgressVisible, t.Modem || t.Progress);
        if (!t.Progress) {
            EXPECT_FALSE(f.ProgressBarVisible);
        }
    }
}

TEST(FormLayout, BottomPanelsTakeTheirHeightFromTheLists) {
    namespace m = form_metrics;
    const auto plain = ComputeFormLayout(600, kCentral, Ticks(true, true, false, false, false));
    EXPECT_EQ(plain.ListBoxBBS.Height, kCentral - m::BevelHeight);

    const auto all = ComputeFormLayout(600, kCentral, Ticks(true, true, true, true, true));
    EXPECT_EQ(all.ListBoxBBS.Height,
              kCentral - m::BevelHeight - m::ButtonPanelHeight - m::LightsProgressHeight);
    EXPECT_EQ(all.PanelLightsProgress.Top, all.ListBoxBBS.Height);
    EXPECT_EQ(all.PanelButtons.Top + all.PanelButtons.Height, all.PanelStatusBar.Height);
    EXPECT_EQ(all.PanelListBoxModem.Height + m::ButtonPanelHeight, all.PanelStatusBar.Height);
}

TEST(FormLayout, TinyWindowNeverGivesNegativeSizes) {
    for (int width : {0, 5, 9, 14, 40}) {
        for (int height : {0, 1, 50}) {
            const auto f = ComputeFormLayout(width, height, Ticks(true, true, true, true, true));
            for (const TRect& r :
                 {f.PanelStatusBar, f.PanelListBoxModem, f.PanelLightsProgress, f.PanelLights,
                  f.PanelProgress, f.ListBoxBBS, f.ListBoxQue, f.LabelBestand}) {
                EXPECT_GE(r.Width, 0) << width << "x" << height;
                EXPECT_GE(r.Height, 0) << width << "x" << height;
            }
            EXPECT_FALSE(f.LabelsVisible);
            EXPECT_FALSE(f.ProgressBarVisible);
        }
    }
}

TEST(FormHeightRules, ListToggleResizesOnlyWhenTheOtherListIsOff) {
    // Unticking Dialog while Queue stays: no change. Then unticking Queue: shrink by the list.
    int h = 400;
    h = HeightAfterListToggle(h, /*nowTicked=*/false, /*otherListTicked=*/true, 150);
    EXPECT_EQ(h, 400);
    h = HeightAfterListToggle(h, false, false, 150);
    EXPECT_EQ(h, 250);
    // Ticking one back grows by its height; the second one then changes nothing.
    h = HeightAfterListToggle(h, true, false, 150);
    EXPECT_EQ(h, 400);
    EXPECT_EQ(HeightAfterListToggle(h, true, true, 150), 400);
}

TEST(FormHeightRules, LightsProgressPanelGrowsFromHiddenAndShrinksWhenBothOff) {
    constexpr int P = form_metrics::LightsProgressHeight;
    // Visible, Modem unticked while Progress stays: unchanged.
    EXPECT_EQ(HeightAfterLightsProgressToggle(400, true, false, true, P), 400);
    // Visible, last of the two unticked: shrink.
    EXPECT_EQ(HeightAfterLightsProgressToggle(400, true, false, false, P), 400 - P);
    // Hidden, one ticked: grow.
    EXPECT_EQ(HeightAfterLightsProgressToggle(344, false, true, false, P), 344 + P);
    EXPECT_EQ(HeightAfterLightsProgressToggle(344, false, false, true, P), 344 + P);
    // Visible, the second one ticked as well: unchanged.
    EXPECT_EQ(HeightAfterLightsProgressToggle(400, true, true, true, P), 400);
}

TEST(FormHeightRules, ButtonsToggleAddsAndRemovesThePanel) {
    constexpr int B = form_metrics::ButtonPanelHeight;
    EXPECT_EQ(HeightAfterButtonsToggle(400, true, B), 400 + B);
    EXPECT_EQ(HeightAfterButtonsToggle(400 + B, false, B), 400);
}

}  // namespace
}  // namespace qx
