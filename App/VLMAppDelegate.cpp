#include "VLMAppDelegate.h"

#include "VLMAudioRouter.h"
#include "VLMLinks.h"
#include "VLMLoginItem.h"
#include "VLMMainWindowController.h"

#include "UI/StatusArea.h"
#include "UI/SymbolImage.h"
#include "UI/WindowActivation.h"
#include "UI/WorkspaceURLOpening.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

const QString applicationName = QStringLiteral("Velmora Studio Connect");

QAction* addItem(QMenu* menu, const QString& title, const QKeySequence& keyEquivalent = {})
{
    QAction* item = menu->addAction(title);
    item->setShortcut(keyEquivalent);
    return item;
}

// How often a hidden window looks whether the status area is still there.
constexpr int statusAreaCheckInterval = 3000;

// The edit commands go to the widget with the keyboard focus, when it has
// the command (text fields do); otherwise nothing handles them, and their
// items are disabled.
bool focusedWidgetCanPerform(const char* command)
{
    QWidget* focused = QApplication::focusWidget();
    const QByteArray signature = QByteArray(command) + "()";
    return focused && focused->metaObject()->indexOfMethod(signature.constData()) >= 0;
}

void sendToFocusedWidget(const char* command)
{
    if (focusedWidgetCanPerform(command))
        QMetaObject::invokeMethod(QApplication::focusWidget(), command);
}

// The application's own windows: top-level widgets that are not menus,
// tool tips or other pop-ups.
QList<QWidget*> applicationWindows()
{
    QList<QWidget*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        const Qt::WindowType type = widget->windowType();
        if (type == Qt::Window || type == Qt::Dialog)
            windows.append(widget);
    }
    return windows;
}

QIcon applicationIcon()
{
    // The installed icon of the desktop entry; the status item's symbol where
    // the program runs uninstalled.
    QIcon icon = QIcon::fromTheme(QGuiApplication::desktopFileName());
    if (icon.isNull())
        if (std::optional<SymbolImage> symbol =
                SymbolImage::systemSymbol(QStringLiteral("speaker.wave.2.bubble"), applicationName))
            icon = symbol->outlinedIcon(Qt::white, QColor(24, 20, 32));
    return icon;
}

} // namespace

VLMAppDelegate::VLMAppDelegate() : router_(VLMAudioRouter::create())
{
    statusAreaCheck_.setInterval(statusAreaCheckInterval);
    connect(&statusAreaCheck_, &QTimer::timeout, this, [this] { statusAreaMayHaveChanged(); });
    connect(qApp, &QApplication::focusChanged, this, [this] { validateMenuItems(); });
}

VLMAppDelegate::~VLMAppDelegate()
{
    if (router_)
        router_->statusDidChange = nullptr;
    statusAreaCheck_.stop();
    if (mainWindowController_)
        mainWindowController_->window()->removeEventFilter(this);
    statusItem_.reset();
    statusMenu_.reset();
    mainWindowController_.reset();
    delete mainMenu_.data();
}

// MARK: Application events

void VLMAppDelegate::applicationDidFinishLaunching()
{
    // A regular application: this desktop shows it with its launcher's icon,
    // which it finds through the desktop entry of this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tarnwick.VelmoraStudioConnect"));
    QApplication::setWindowIcon(applicationIcon());
    installMainMenu();
    installStatusItem();

    QPointer<VLMAppDelegate> weakSelf(this);
    router_->statusDidChange = [weakSelf](const VLMAudioRouterStatus& status) {
        if (weakSelf)
            weakSelf->updateStatusItem(status);
    };

    mainWindowController_ = std::make_unique<VLMMainWindowController>(router_);
    mainWindowController_->setMenuBar(mainMenu_);
    QMainWindow* window = mainWindowController_->window();
    window->installEventFilter(this);
    if (!startedAtLogin_) {
        mainWindowController_->showWindow();
        activateApplication();
    } else if (StatusAreaIsAvailable()) {
        statusAreaCheck_.start();
    } else {
        ShowWindowMinimized(window);
    }
    validateMenuItems();
    router_->start();
}

void VLMAppDelegate::applicationWillTerminate()
{
    router_->stop();
}

bool VLMAppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    if (!hasVisibleWindows && mainWindowController_)
        mainWindowController_->showWindow();
    return true;
}

void VLMAppDelegate::applicationOpenURLs(const QList<QUrl>& urls)
{
    const QString scheme = QString::fromLatin1(urlScheme);
    for (const QUrl& url : urls) {
        if (url.scheme().isEmpty() || url.scheme() != scheme)
            continue;
        if (mainWindowController_)
            mainWindowController_->showWindow();
        activateApplication();
        return;
    }
}

void VLMAppDelegate::applicationDidReceiveLaterLaunch(const QStringList& arguments, const QString& activationToken)
{
    SetPendingActivationToken(activationToken);
    const QList<QUrl> urls = urlsInArguments(arguments);
    if (urls.isEmpty()) {
        applicationShouldHandleReopen(hasVisibleWindows());
        // A click on the launcher activates the program, as the dock does
        // elsewhere: a covered window comes forward.
        activateApplication();
    } else {
        applicationOpenURLs(urls);
    }
    SetPendingActivationToken({});
}

QList<QUrl> VLMAppDelegate::urlsInArguments(const QStringList& arguments)
{
    QList<QUrl> urls;
    for (const QString& argument : arguments) {
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty())
            urls.append(url);
    }
    return urls;
}

void VLMAppDelegate::statusAreaMayHaveChanged()
{
    if (!mainWindowController_ || StatusAreaIsAvailable())
        return;
    QMainWindow* window = mainWindowController_->window();
    if (!window->isVisible()) {
        hiddenWindows_.clear();
        ShowWindowMinimized(window);
    }
}

bool VLMAppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Close:
        // Closing only hides the window where the status item brings it back;
        // elsewhere nothing would, and the microphone would stay in use
        // unseen: closing the window is quitting, as the desktop expects.
        if (!StatusAreaIsAvailable())
            QTimer::singleShot(0, this, [this] { terminate(); });
        break;
    case QEvent::Hide:
        statusAreaCheck_.start();
        validateMenuItems();
        break;
    case QEvent::Show:
        statusAreaCheck_.stop();
        validateMenuItems();
        break;
    case QEvent::WindowStateChange: validateMenuItems(); break;
    default: break;
    }
    return QObject::eventFilter(watched, event);
}

bool VLMAppDelegate::hasVisibleWindows()
{
    for (QWidget* window : applicationWindows())
        if (window->isVisible() && !window->isMinimized())
            return true;
    return false;
}

// MARK: Menu actions

void VLMAppDelegate::showMainWindow(QObject*)
{
    if (mainWindowController_)
        mainWindowController_->showWindow();
    activateApplication();
}

void VLMAppDelegate::openConnectHelp()
{
    const QUrl url(VLMProductWebPageURLString(), QUrl::StrictMode);
    if (url.isValid())
        WorkspaceOpenURL(url);
}

void VLMAppDelegate::openMicrophoneSettings()
{
    VLMOpenMicrophoneSettings(mainWindowController_ ? mainWindowController_->window() : nullptr);
}

void VLMAppDelegate::activateApplication()
{
    hiddenWindows_.clear();
    if (!mainWindowController_)
        return;
    QMainWindow* window = mainWindowController_->window();
    if (window->isVisible())
        ActivateWindow(window);
}

void VLMAppDelegate::terminate()
{
    // Quitting leaves the event loop; the application's aboutToQuit then
    // reaches applicationWillTerminate.
    QCoreApplication::quit();
}

void VLMAppDelegate::orderFrontStandardAboutPanel()
{
    if (!aboutPanel_) {
        QWidget* parent = mainWindowController_ ? mainWindowController_->window() : nullptr;
        aboutPanel_ = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About ") + applicationName,
                                      QStringLiteral("<b>%1</b><br>Version %2")
                                          .arg(applicationName, QCoreApplication::applicationVersion()),
                                      QMessageBox::Ok, parent);
        aboutPanel_->setModal(false);
        aboutPanel_->setAttribute(Qt::WA_DeleteOnClose);
    }
    aboutPanel_->show();
    aboutPanel_->raise();
    aboutPanel_->activateWindow();
}

// Hiding an application hides its windows until it is shown again; with no
// status area to show it again from, they go to the task list instead.
void VLMAppDelegate::hide()
{
    const bool minimize = !StatusAreaIsAvailable();
    for (QWidget* window : applicationWindows()) {
        if (minimize) {
            if (window->isVisible())
                window->showMinimized();
            continue;
        }
        if (window->isVisible()) {
            hiddenWindows_.append(window);
            window->hide();
        }
    }
}

// This desktop lets no application hide the others: the item is disabled.
void VLMAppDelegate::hideOtherApplications() {}

void VLMAppDelegate::unhideAllApplications()
{
    const QList<QPointer<QWidget>> windows = hiddenWindows_;
    hiddenWindows_.clear();
    for (const QPointer<QWidget>& window : windows)
        if (window)
            window->show();
    arrangeInFront();
}

void VLMAppDelegate::performMiniaturize()
{
    QWidget* window = QApplication::activeWindow();
    if (!window && mainWindowController_)
        window = mainWindowController_->window();
    if (window && window->isVisible())
        window->showMinimized();
}

void VLMAppDelegate::arrangeInFront()
{
    QWidget* front = nullptr;
    for (QWidget* window : applicationWindows()) {
        if (window->isVisible()) {
            window->raise();
            front = window;
        }
    }
    if (front)
        front->activateWindow();
}

// MARK: Menus

void VLMAppDelegate::installMainMenu()
{
    auto* menuBar = new QMenuBar;
    menuBar->setObjectName(QStringLiteral("mainMenu"));

    // The bar owns its menus; a menu keeps its pop-up window flags.
    auto adopt = [menuBar](QMenu* menu) {
        menu->setParent(menuBar, menu->windowFlags());
        menuBar->addMenu(menu);
        return menu;
    };
    adopt(makeApplicationMenu());
    adopt(makeEditMenu());
    windowsMenu_ = adopt(makeWindowMenu());

    // Titles carry mnemonics (Alt and the underlined letter), as menus on
    // this desktop do; F1 asks for help here.
    auto* helpMenu = new QMenu(QStringLiteral("&Help"), menuBar);
    QAction* help = addItem(helpMenu, QStringLiteral("Velmora Studio Connect &Help"), QKeySequence(QStringLiteral("Ctrl+?")));
    help->setShortcuts({QKeySequence(QStringLiteral("Ctrl+?")), QKeySequence(Qt::Key_F1)});
    connect(help, &QAction::triggered, this, [this] { openConnectHelp(); });
    QAction* settings = addItem(helpMenu, QStringLiteral("&Microphone Privacy Settings"));
    connect(settings, &QAction::triggered, this, [this] { openMicrophoneSettings(); });
    menuBar->addMenu(helpMenu);
    helpMenu_ = helpMenu;

    delete mainMenu_.data();
    mainMenu_ = menuBar;
}

QMenu* VLMAppDelegate::makeApplicationMenu()
{
    // Untitled on the platform that shows the application's name in its
    // place; this desktop shows the title, so it is the name.
    auto* menu = new QMenu(QStringLiteral("&") + applicationName);
    connect(addItem(menu, QStringLiteral("&About ") + applicationName), &QAction::triggered, this,
            [this] { orderFrontStandardAboutPanel(); });
    menu->addSeparator();
    addStartAtLoginItem(menu);
    menu->addSeparator();

    auto* services = new QMenu(QStringLiteral("S&ervices"), menu);
    // This desktop offers no services to other applications.
    services->addAction(QStringLiteral("No Services Apply"))->setEnabled(false);
    menu->addMenu(services);
    servicesMenu_ = services;
    menu->addSeparator();

    hideItem_ = addItem(menu, QStringLiteral("&Hide ") + applicationName, QKeySequence(QStringLiteral("Ctrl+H")));
    connect(hideItem_, &QAction::triggered, this, [this] { hide(); });
    hideOthersItem_ = addItem(menu, QStringLiteral("Hide &Others"), QKeySequence(QStringLiteral("Alt+Ctrl+H")));
    connect(hideOthersItem_, &QAction::triggered, this, [this] { hideOtherApplications(); });
    showAllItem_ = addItem(menu, QStringLiteral("&Show All"));
    connect(showAllItem_, &QAction::triggered, this, [this] { unhideAllApplications(); });
    menu->addSeparator();
    QAction* quit = addItem(menu, QStringLiteral("&Quit ") + applicationName, QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(quit, &QAction::triggered, this, [this] { terminate(); });
    connect(menu, &QMenu::aboutToShow, this, [this] {
        validateMenuItems();
        updateStartAtLoginItems();
    });
    return menu;
}

QMenu* VLMAppDelegate::makeEditMenu()
{
    auto* menu = new QMenu(QStringLiteral("&Edit"));
    const struct {
        const char* title;
        const char* command;
        const char* key;
    } items[] = {
        {"&Undo", "undo", "Ctrl+Z"},
        {"&Redo", "redo", "Shift+Ctrl+Z"},
        {nullptr, nullptr, nullptr},
        {"Cu&t", "cut", "Ctrl+X"},
        {"&Copy", "copy", "Ctrl+C"},
        {"&Paste", "paste", "Ctrl+V"},
        {"Select &All", "selectAll", "Ctrl+A"},
    };
    for (const auto& item : items) {
        if (!item.title) {
            menu->addSeparator();
            continue;
        }
        QAction* action = addItem(menu, QString::fromLatin1(item.title), QKeySequence(QString::fromLatin1(item.key)));
        const char* command = item.command;
        connect(action, &QAction::triggered, this, [command] { sendToFocusedWidget(command); });
        editItems_.append({action, command});
    }
    connect(menu, &QMenu::aboutToShow, this, [this] { validateMenuItems(); });
    return menu;
}

QMenu* VLMAppDelegate::makeWindowMenu()
{
    auto* menu = new QMenu(QStringLiteral("&Window"));
    minimizeItem_ = addItem(menu, QStringLiteral("&Minimize"), QKeySequence(QStringLiteral("Ctrl+M")));
    connect(minimizeItem_, &QAction::triggered, this, [this] { performMiniaturize(); });
    menu->addSeparator();
    bringAllToFrontItem_ = addItem(menu, QStringLiteral("&Bring All to Front"));
    connect(bringAllToFrontItem_, &QAction::triggered, this, [this] { arrangeInFront(); });
    // As the windows menu, it lists the application's windows when it opens.
    connect(menu, &QMenu::aboutToShow, this, [this] {
        validateMenuItems();
        listWindowsInWindowsMenu();
    });
    return menu;
}

void VLMAppDelegate::listWindowsInWindowsMenu()
{
    if (!windowsMenu_)
        return;
    for (QAction* action : windowListActions_) {
        windowsMenu_->removeAction(action);
        delete action;
    }
    windowListActions_.clear();
    const QList<QWidget*> windows = applicationWindows();
    if (windows.isEmpty())
        return;
    windowListActions_.append(windowsMenu_->addSeparator());
    for (QWidget* window : windows) {
        if (window->windowTitle().isEmpty())
            continue;
        QAction* item = windowsMenu_->addAction(window->windowTitle());
        item->setCheckable(true);
        item->setChecked(window == QApplication::activeWindow());
        QPointer<QWidget> target(window);
        connect(item, &QAction::triggered, this, [target] {
            if (!target)
                return;
            target->show();
            target->raise();
            target->activateWindow();
        });
        windowListActions_.append(item);
    }
}

// An item is enabled when choosing it would do something: the edit commands
// when the focused control has them, the window commands when there is a
// window for them. Run whenever that may have changed, so key equivalents
// follow too.
void VLMAppDelegate::validateMenuItems()
{
    bool anyVisible = false;
    bool anyMinimizable = false;
    for (QWidget* window : applicationWindows()) {
        anyVisible = anyVisible || window->isVisible();
        anyMinimizable = anyMinimizable || (window->isVisible() && !window->isMinimized());
    }
    for (const EditItem& edit : std::as_const(editItems_))
        if (edit.item)
            edit.item->setEnabled(focusedWidgetCanPerform(edit.command));
    if (hideItem_)
        hideItem_->setEnabled(anyVisible);
    if (hideOthersItem_)
        hideOthersItem_->setEnabled(false);
    if (showAllItem_)
        showAllItem_->setEnabled(!hiddenWindows_.isEmpty());
    if (minimizeItem_)
        minimizeItem_->setEnabled(anyMinimizable);
    if (bringAllToFrontItem_)
        bringAllToFrontItem_->setEnabled(anyVisible);
}

// The entry can change outside the program (the desktop's own list of login
// items): read when a menu that shows it opens.
void VLMAppDelegate::updateStartAtLoginItems()
{
    const bool startsAtLogin = VLMLoginItem::isEnabled();
    for (const QPointer<QAction>& item : std::as_const(startAtLoginItems_))
        if (item)
            item->setChecked(startsAtLogin);
}

// MARK: Start at login

QAction* VLMAppDelegate::addStartAtLoginItem(QMenu* menu)
{
    QAction* item = menu->addAction(QStringLiteral("Start at &Login"));
    item->setCheckable(true);
    item->setChecked(VLMLoginItem::isEnabled());
    connect(item, &QAction::triggered, this, [this](bool checked) { toggleStartAtLogin(checked); });
    startAtLoginItems_.append(item);
    return item;
}

void VLMAppDelegate::toggleStartAtLogin(bool enabled)
{
    QString error;
    if (!VLMLoginItem::setEnabled(enabled, &error)) {
        auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Start at Login"),
                                      QStringLiteral("The login item could not be changed."), QMessageBox::Ok,
                                      mainWindowController_ ? mainWindowController_->window() : nullptr);
        alert->setInformativeText(VLMLoginItem::entryPath() + QStringLiteral(": ") + error);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->open();
    }
    updateStartAtLoginItems();
}

// MARK: Status item

void VLMAppDelegate::installStatusItem()
{
    auto item = std::make_unique<QSystemTrayIcon>();
    std::optional<SymbolImage> icon = SymbolImage::systemSymbol(QStringLiteral("speaker.wave.2.bubble"), applicationName);
    if (icon)
        // A white symbol in a dark outline: tray hosts show the icon as
        // given, whatever the shade of their panel, so a symbol in one
        // colour would vanish on a panel of that colour.
        item->setIcon(icon->outlinedIcon(Qt::white, QColor(24, 20, 32)));
    item->setToolTip(applicationName);

    auto menu = std::make_unique<QMenu>();
    menu->setObjectName(QStringLiteral("statusMenu"));
    QAction* statusLine = menu->addAction(QStringLiteral("Starting…"));
    statusLine->setEnabled(false);
    // What the window's status button offers, one click away.
    QAction* recovery = menu->addAction(QString());
    recovery->setVisible(false);
    connect(recovery, &QAction::triggered, this, [this] { performStatusRecovery(); });
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("Show ") + applicationName), &QAction::triggered, this,
            [this] { showMainWindow(); });
    addStartAtLoginItem(menu.get());
    menu->addSeparator();
    // No key equivalent: none reaches a menu of the status area.
    QAction* quit = menu->addAction(QStringLiteral("Quit ") + applicationName);
    connect(quit, &QAction::triggered, this, [this] { terminate(); });
    connect(menu.get(), &QMenu::aboutToShow, this, [this] { updateStartAtLoginItems(); });
    item->setContextMenu(menu.get());

    // A click on the icon opens the menu too, as on the platform's status bar.
    QMenu* contextMenu = menu.get();
    connect(item.get(), &QSystemTrayIcon::activated, this, [contextMenu](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            contextMenu->popup(QCursor::pos());
    });
    // Where the desktop has no tray the item still exists and is kept
    // current; Qt shows it as soon as a tray appears.
    item->show();

    statusItem_ = std::move(item);
    statusMenu_ = std::move(menu);
    statusMenuItem_ = statusLine;
    statusRecoveryItem_ = recovery;
}

void VLMAppDelegate::updateStatusItem(const VLMAudioRouterStatus& status)
{
    QString text;
    QString symbol;
    QString recovery;
    switch (status.kind()) {
    case VLMAudioRouterStatus::Kind::starting:
        text = QStringLiteral("Starting…");
        symbol = QStringLiteral("clock");
        break;
    case VLMAudioRouterStatus::Kind::ready:
        text = QStringLiteral("Ready");
        symbol = QStringLiteral("checkmark.circle.fill");
        break;
    case VLMAudioRouterStatus::Kind::failed:
    case VLMAudioRouterStatus::Kind::driverMissing:
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied:
        text = QStringLiteral("Needs Attention");
        symbol = QStringLiteral("exclamationmark.triangle.fill");
        break;
    }
    // The same words as the window's status button.
    switch (status.kind()) {
    case VLMAudioRouterStatus::Kind::failed: recovery = QStringLiteral("Try Again"); break;
    case VLMAudioRouterStatus::Kind::driverMissing: recovery = QStringLiteral("Download Installer"); break;
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied:
        recovery = QStringLiteral("Open Microphone Settings");
        break;
    default: break;
    }
    if (statusRecoveryItem_) {
        statusRecoveryItem_->setText(recovery);
        statusRecoveryItem_->setVisible(!recovery.isEmpty());
    }
    if (statusMenuItem_) {
        statusMenuItem_->setText(text);
        const std::optional<SymbolImage> image = SymbolImage::systemSymbol(symbol, text);
        statusMenuItem_->setIcon(image ? image->icon() : QIcon());
    }
    if (statusItem_)
        statusItem_->setToolTip(applicationName + QStringLiteral(": ") + text);
}

void VLMAppDelegate::performStatusRecovery()
{
    switch (router_->status().kind()) {
    case VLMAudioRouterStatus::Kind::failed: router_->start(); break;
    case VLMAudioRouterStatus::Kind::driverMissing: openConnectHelp(); break;
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied: openMicrophoneSettings(); break;
    case VLMAudioRouterStatus::Kind::starting:
    case VLMAudioRouterStatus::Kind::ready: break;
    }
}
