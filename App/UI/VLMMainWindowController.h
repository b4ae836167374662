#pragma once
// The program's one window and its content view controller. The window has
// a fixed size that the user cannot change: 800 device pixels wide whatever
// the device pixel ratio, as high as the content needs for the router's
// status and the manual gain setting; on a screen too short for that, it is
// as tall as fits and its content scrolls. Its title bar stays on the screen.
// Closing it only hides it; its position is kept in the user defaults. Main
// thread only.

#include <QObject>
#include <QSize>

#include <memory>

class QMainWindow;
class QMenuBar;
class VLMAudioRouter;
class VLMMainViewController;

class VLMMainWindowController : public QObject {
    Q_OBJECT
public:
    static constexpr const char* frameAutosaveName = "VLMMainWindow";

    explicit VLMMainWindowController(std::shared_ptr<VLMAudioRouter> router);
    ~VLMMainWindowController() override;

    QMainWindow* window() const;
    VLMMainViewController& mainViewController() const { return *mainViewController_; }

    // Shows the window in front, un-minimized, and gives it the keyboard.
    void showWindow();

    // This desktop draws an application's menu bar inside its window.
    void setMenuBar(QMenuBar* menuBar);

    // The size the content view is given.
    QSize contentSize() const;

private:
    void fitWindowToContent();
    void center();
    void keepTitleBarOnScreen(bool wholeFrame);
    void setFrameAutosaveName(const QString& name);
    void saveFrame();

    std::shared_ptr<VLMMainViewController> mainViewController_;
    std::unique_ptr<QMainWindow> window_;
    QMetaObject::Connection backingPropertiesObserver;
    QString autosaveName_;
    QSize framedSize_;
    bool fitPending_ = false;
};
