#pragma once
// The application shell: creates the one router, brings up the menus, the
// status item and the main window in a fixed order, starts the router,
// answers reopen requests and the program's URL scheme, and stops the router
// when the application terminates. Main thread only.

#include <QList>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>

class QAction;
class QSystemTrayIcon;
class QWidget;
class VLMAudioRouter;
class VLMAudioRouterStatus;
class VLMMainWindowController;

class VLMAppDelegate : public QObject {
    Q_OBJECT
public:
    // The scheme of the program's URLs.
    static constexpr const char* urlScheme = "velmora-studio-connect";

    // Creates the router (loading the gains, creating the monitor and the
    // ring buffers) before the event loop runs.
    VLMAppDelegate();
    ~VLMAppDelegate() override;

    VLMAppDelegate(const VLMAppDelegate&) = delete;
    VLMAppDelegate& operator=(const VLMAppDelegate&) = delete;

    // Application events.
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    // A second start of the program without URLs: the desktop's way of
    // clicking the running application's icon. Always true.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void applicationOpenURLs(const QList<QUrl>& urls);

    // Menu actions.
    void showMainWindow(QObject* sender = nullptr);
    void openConnectHelp();
    void openMicrophoneSettings();

    const std::shared_ptr<VLMAudioRouter>& router() const { return router_; }
    VLMMainWindowController* mainWindowController() const { return mainWindowController_.get(); }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    QAction* statusMenuItem() const { return statusMenuItem_; }

    // The application's menus, as the platform registers them.
    QMenuBar* mainMenu() const { return mainMenu_; }
    QMenu* servicesMenu() const { return servicesMenu_; }
    QMenu* windowsMenu() const { return windowsMenu_; }
    QMenu* helpMenu() const { return helpMenu_; }

    // Whether any of the application's windows is on screen.
    static bool hasVisibleWindows();

private:
    void installMainMenu();
    QMenu* makeApplicationMenu();
    QMenu* makeEditMenu();
    QMenu* makeWindowMenu();
    void installStatusItem();
    void updateStatusItem(const VLMAudioRouterStatus& status);

    void activateApplication();
    void terminate();
    void orderFrontStandardAboutPanel();
    void hide();
    void hideOtherApplications();
    void unhideAllApplications();
    void performMiniaturize();
    void arrangeInFront();
    void listWindowsInWindowsMenu();

    std::shared_ptr<VLMAudioRouter> router_;
    std::unique_ptr<VLMMainWindowController> mainWindowController_;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    QAction* statusMenuItem_ = nullptr;

    std::unique_ptr<QMenu> statusMenu_;
    QPointer<QMenuBar> mainMenu_;
    QPointer<QMenu> servicesMenu_;
    QPointer<QMenu> windowsMenu_;
    QPointer<QMenu> helpMenu_;
    QList<QAction*> windowListActions_;
    QList<QPointer<QWidget>> hiddenWindows_;
    QPointer<QMessageBox> aboutPanel_;
};
