// The notification-area icon of the main window.
//
// The tooltip holds at most 63 characters (the longer replies are cut). When the desktop has
// no notification area the icon exists only as state (Tip, Shown): the program then shows its
// window instead (the main window decides, see TrayAvailable). A single or double click opens
// the window; the context menu opens or hides it, hangs up the current call and quits.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace qx {

class TTrayIcon {
  public:
    static constexpr size_t kMaxTip = 63;

    explicit TTrayIcon(QWidget* window);
    ~TTrayIcon();
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;

    // True when the desktop has a notification area to put the icon in.
    static bool TrayAvailable();

    // Shows the icon when hidden; an empty tip means the stored Tip. The tip is not stored.
    void ShowIcon(const std::string& tip);
    void HideIcon();
    // Stores the text as Tip and puts it on the icon, shown or not.
    void SetTip(const std::string& text);

    // The text the icon carries now (cut to 63 characters).
    const std::string& DisplayedTip() const { return displayedTip_; }

    int Message = 0;  // no window message on this platform: the icon signals directly
    QWidget* Window = nullptr;
    std::string Tip;
    bool Shown = false;

    // A click on the icon and the menu's "Open Quorvex".
    std::function<void()> OnOpen;
    // The menu's "Hide Quorvex" (offered while the window is visible), "Hang up" (enabled
    // while HangUpAllowed says so) and "Quit".
    std::function<void()> OnHide;
    std::function<void()> OnHangUp;
    std::function<void()> OnQuit;
    std::function<bool()> HangUpAllowed;

    // The context menu (null without a notification area); its entries are brought up to date
    // each time it opens.
    QMenu* Menu() const { return menu_.get(); }
    void UpdateMenu();

  private:
    void Display(const std::string& tip);

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::string displayedTip_;
};

}  // namespace qx
