// Geometry of the main window as pure functions of its size and view ticks.
//
// The window is laid out by hand rather than by Qt layouts because its rules are arithmetic on
// the window width (half-width panels, seven light cells, a bar that disappears when the
// progress panel gets narrow). Keeping them free of widgets lets tests check every edge.
//
// Nesting (top to bottom inside the central area; the menu bar and status bar are Qt's):
//   2-pixel bevel
//   PanelStatusBar (the rest)
//     PanelListBoxModem (the rest)
//       ListBoxBBS at the left, ListBoxQue at the right (the rest)
//       PanelLightsProgress (56 high, at the bottom)
//         PanelLights (left), PanelProgress (right)
//     PanelButtons (39 high, at the bottom) holding pnlBut with Disconnect
// Rectangles are relative to their parent panel.
#pragma once

#include <array>

namespace qx {

struct TRect {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    bool operator==(const TRect&) const = default;
};

// The five items of the Window menu. The defaults are the start-up ticks.
struct TViewTicks {
    bool Dialog = true;
    bool Queue = true;
    bool Modem = true;
    bool Progress = true;
    bool Buttons = false;
    bool operator==(const TViewTicks&) const = default;
};

// Fixed sizes of the window's parts, in pixels.
namespace form_metrics {
constexpr int BevelHeight = 2;
constexpr int ButtonPanelHeight = 39;
constexpr int ButtonBoxWidth = 152;  // pnlBut
constexpr TRect DisconnectRect{15, 7, 129, 25};
constexpr int LightsProgressHeight = 56;
constexpr int LightSize = 12;
constexpr int LightTop = 12;
constexpr int LightLabelWidth = 24;
constexpr int LightLabelHeight = 16;
constexpr int LightLabelTop = 32;
constexpr int ProgressBarLeft = 80;
constexpr int ProgressBarTop = 8;
constexpr int ProgressBarHeight = 16;
constexpr int ProgressCaptionLeft = 8;  // LabelVoortgang and lblBestand, right-aligned
constexpr int ProgressCaptionWidth = 66;
constexpr int FileLabelTop = 32;
constexpr int TextHeight = 16;
constexpr int DesignListHeight = 108;  // list height of the designed window
constexpr int SideMargin = 4;          // between the window edge and panels and lists
}  // namespace form_metrics

struct TFormLayout {
    // Visibility of the switchable parts.
    bool LightsProgressVisible = false;
    bool LightsVisible = false;
    bool ProgressVisible = false;
    bool ButtonsVisible = false;
    bool LogVisible = false;
    bool QueueVisible = false;
    bool LabelsVisible = false;  // the BRK ... RXD captions under the lights
    bool ProgressBarVisible = false;

    TRect PanelStatusBar;            // in the central area
    TRect PanelButtons;              // in PanelStatusBar
    TRect PanelListBoxModem;         // in PanelStatusBar
    TRect PanelLightsProgress;       // in PanelListBoxModem
    TRect PanelLights;               // in PanelLightsProgress
    TRect PanelProgress;             // in PanelLightsProgress
    TRect ListBoxBBS;                // in PanelListBoxModem
    TRect ListBoxQue;                // in PanelListBoxModem
    TRect ProgressBar;               // in PanelProgress
    TRect LabelBestand;              // in PanelProgress
    std::array<int, 7> LightLeft{};  // BRK, CTS, DCD, DSR, ERR, TXD, RXD in PanelLights
    std::array<int, 7> LabelLeft{};
};

// Lays the window out for a window width and the height of its central area (between menu
// bar and status bar). Widths that the arithmetic drives below zero come out as zero.
TFormLayout ComputeFormLayout(int windowWidth, int centralHeight, const TViewTicks& ticks,
                              int lightWidth = form_metrics::LightSize,
                              int labelWidth = form_metrics::LightLabelWidth);

// New window height after Dialog (or Queue) was flipped: the window only grows or shrinks when
// the other list is not ticked, because otherwise the list area stays in use.
int HeightAfterListToggle(int height, bool nowTicked, bool otherListTicked, int listHeight);

// New window height after Modem or Progress was flipped. panelWasVisible is whether the
// lights-and-progress panel was shown before the flip.
int HeightAfterLightsProgressToggle(int height, bool panelWasVisible, bool modemTicked,
                                    bool progressTicked, int panelHeight);

// New window height after Buttons was flipped.
int HeightAfterButtonsToggle(int height, bool nowTicked, int panelHeight);

}  // namespace qx
