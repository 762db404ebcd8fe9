#include "ui/form_layout.h"

#include <algorithm>

namespace qx {

namespace {

int NotNegative(int v) {
    return std::max(v, 0);
}

// Spreads the seven lights (and, when the cells are wide enough, their captions) over seven
// equal cells of the lights panel.
void PlaceLights(TFormLayout& out, int lightWidth, int labelWidth) {
    const double cell = static_cast<double>(out.PanelLights.Width / 7);
    out.LabelsVisible = cell > 24;
    for (int k = 0; k < 7; ++k) {
        out.LightLeft[k] = static_cast<int>((cell - lightWidth) * 0.5 + k * cell);
        out.LabelLeft[k] = static_cast<int>((cell - labelWidth) * 0.5 + k * cell);
    }
}

}  // namespace

TFormLayout ComputeFormLayout(int windowWidth, int centralHeight, const TViewTicks& ticks,
                              int lightWidth, int labelWidth) {
    namespace m = form_metrics;
    TFormLayout out;
    out.LightsProgressVisible = ticks.Modem || ticks.Progress;
    out.LightsVisible = ticks.Modem;
    out.ProgressVisible = ticks.Progress;
    out.ButtonsVisible = ticks.Buttons;
    out.LogVisible = ticks.Dialog;
    out.QueueVisible = ticks.Queue;

    // Vertical stacking: panels at the bottom take their fixed heights, the lists the rest.
    out.PanelStatusBar = {0, m::BevelHeight, NotNegative(windowWidth),
                          NotNegative(centralHeight - m::BevelHeight)};
    const int buttonsHeight = ticks.Buttons ? m::ButtonPanelHeight : 0;
    out.PanelButtons = {0, NotNegative(out.PanelStatusBar.Height - m::ButtonPanelHeight),
                        out.PanelStatusBar.Width, m::ButtonPanelHeight};
    out.PanelListBoxModem = {0, 0, out.PanelStatusBar.Width,
                             NotNegative(out.PanelStatusBar.Height - buttonsHeight)};
    const int lightsProgressHeight = out.LightsProgressVisible ? m::LightsProgressHeight : 0;
    const int listHeight = NotNegative(out.PanelListBoxModem.Height - lightsProgressHeight);

    // Lights and progress side by side, splitting the window width in two.
    const int p = windowWidth - 8;
    out.PanelLightsProgress = {m::SideMargin, listHeight, NotNegative(p), m::LightsProgressHeight};
    if (ticks.Modem && ticks.Progress) {
        out.PanelLights = {0, 0, NotNegative(p / 2 - 1), m::LightsProgressHeight};
        out.PanelProgress = {p / 2 - 1, 0, NotNegative(p / 2 + 1), m::LightsProgressHeight};
    } else if (ticks.Progress) {
        out.PanelProgress = {0, 0, NotNegative(p - 1), m::LightsProgressHeight};
    } else if (ticks.Modem) {
        out.PanelLights = {0, 0, NotNegative(p - 1), m::LightsProgressHeight};
    }
    if (ticks.Modem) PlaceLights(out, lightWidth, labelWidth);

    // Lists: half the width each, or all of it when alone.
    const int w = windowWidth - 14;
    const int full = NotNegative(windowWidth - 2 * m::SideMargin);
    if (ticks.Dialog && ticks.Queue) {
        const int half = NotNegative(static_cast<int>(w * 0.5));
        out.ListBoxBBS = {m::SideMargin, 0, half, listHeight};
        out.ListBoxQue = {windowWidth - m::SideMargin - half, 0, half, listHeight};
    } else if (ticks.Dialog) {
        out.ListBoxBBS = {m::SideMargin, 0, full, listHeight};
    } else if (ticks.Queue) {
        out.ListBoxQue = {m::SideMargin, 0, full, listHeight};
    }

    // The bar keeps a 16-pixel margin on the right and goes away rather than get tiny.
    if (ticks.Progress) {
        const int q = out.PanelProgress.Width - 96;
        out.ProgressBarVisible = q > 16;
        if (out.ProgressBarVisible) {
            out.ProgressBar = {m::ProgressBarLeft, m::ProgressBarTop, q, m::ProgressBarHeight};
        }
    }
    out.LabelBestand = {m::ProgressBarLeft, m::FileLabelTop,
                        NotNegative(out.PanelProgress.Width - m::ProgressBarLeft - 8),
                        m::TextHeight};
    return out;
}

int HeightAfterListToggle(int height, bool nowTicked, bool otherListTicked, int listHeight) {
    if (otherListTicked) return height;
    return nowTicked ? height + listHeight : height - listHeight;
}

int HeightAfterLightsProgressToggle(int height, bool panelWasVisible, bool modemTicked,
                                    bool progressTicked, int panelHeight) {
    if (!panelWasVisible) return height + panelHeight;
    if (!modemTicked && !progressTicked) return height - panelHeight;
    return height;
}

int HeightAfterButtonsToggle(int height, bool nowTicked, int panelHeight) {
    return nowTicked ? height + panelHeight : height - panelHeight;
}

}  // namespace qx
