#pragma once
// The application shell: creates the one router, brings up the menus, the
// status item and the main window in a fixed order, starts the router,
// answers reopen requests and the program's URL scheme, and stops the router
// when the application terminates. Where the desktop has no status area to
// come back through, closing the window quits and hiding minimizes, so the
// program never runs unseen. Main thread only.

#include <QList>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>
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
    // A later start of the program handed over its arguments and its
    // launcher's activation token: URLs as above, none as a reopen that
    // brings the window forward from wherever it is.
    void applicationDidReceiveLaterLaunch(const QStringList& arguments, const QString& activationToken);
    // The URLs among a start's arguments.
    static QList<QUrl> urlsInArguments(const QStringList& arguments);

    // Whether the session started the program at login; set before launching
    // finishes. Such a start leaves the desktop uncovered: no window where the
    // status item is at hand, a minimized one where it is not.
    void setStartedAtLogin(bool startedAtLogin) { startedAtLogin_ = startedAtLogin; }

    // The desktop's status area may have come or gone: a hidden window with
    // no status item to come back through is put in the task list. Checked
    // every few seconds while the window is hidden.
    void statusAreaMayHaveChanged();

    // Menu actions.
    void showMainWindow(QObject* sender = nullptr);
    void openConnectHelp();
    void openMicrophoneSettings();

    const std::shared_ptr<VLMAudioRouter>& router() const { return router_; }
    VLMMainWindowController* mainWindowController() const { return mainWindowController_.get(); }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    QAction* statusMenuItem() const { return statusMenuItem_; }
    // The status item's menu's item that offers the current status's
    // recovery (hidden when there is none).
    QAction* statusRecoveryItem() const { return statusRecoveryItem_; }

    // The application's menus, as the platform registers them.
    QMenuBar* mainMenu() const { return mainMenu_; }
    QMenu* servicesMenu() const { return servicesMenu_; }
    QMenu* windowsMenu() const { return windowsMenu_; }
    QMenu* helpMenu() const { return helpMenu_; }

    // Whether any of the application's windows is on screen.
    static bool hasVisibleWindows();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

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
    void validateMenuItems();
    void updateStartAtLoginItems();
    QAction* addStartAtLoginItem(QMenu* menu);
    void toggleStartAtLogin(bool enabled);
    void performStatusRecovery();

    std::shared_ptr<VLMAudioRouter> router_;
    std::unique_ptr<VLMMainWindowController> mainWindowController_;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    QAction* statusMenuItem_ = nullptr;
    QAction* statusRecoveryItem_ = nullptr;
    bool startedAtLogin_ = false;
    QTimer statusAreaCheck_;

    std::unique_ptr<QMenu> statusMenu_;
    QPointer<QMenuBar> mainMenu_;
    QPointer<QMenu> servicesMenu_;
    QPointer<QMenu> windowsMenu_;
    QPointer<QMenu> helpMenu_;
    QList<QAction*> windowListActions_;
    QList<QPointer<QWidget>> hiddenWindows_;
    // The items whose state follows what they can act on.
    struct EditItem {
        QPointer<QAction> item;
        const char* command;
    };
    QList<EditItem> editItems_;
    QList<QPointer<QAction>> startAtLoginItems_;
    QPointer<QAction> hideItem_;
    QPointer<QAction> hideOthersItem_;
    QPointer<QAction> showAllItem_;
    QPointer<QAction> minimizeItem_;
    QPointer<QAction> bringAllToFrontItem_;
    QPointer<QMessageBox> aboutPanel_;
};
