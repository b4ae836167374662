#include "VLMAppDelegate.h"

#include "VLMAudioRouter.h"
#include "VLMLinks.h"
#include "VLMMainWindowController.h"

#include "UI/SymbolImage.h"
#include "UI/WindowActivation.h"
#include "UI/WorkspaceURLOpening.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
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

// The edit commands go to the widget with the keyboard focus, when it has
// the command (text fields do); otherwise nothing handles them.
void sendToFocusedWidget(const char* command)
{
    QWidget* focused = QApplication::focusWidget();
    if (!focused)
        return;
    const QMetaObject* meta = focused->metaObject();
    const QByteArray signature = QByteArray(command) + "()";
    if (meta->indexOfMethod(signature.constData()) >= 0)
        QMetaObject::invokeMethod(focused, command);
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

} // namespace

VLMAppDelegate::VLMAppDelegate() : router_(VLMAudioRouter::create()) {}

VLMAppDelegate::~VLMAppDelegate()
{
    if (router_)
        router_->statusDidChange = nullptr;
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
    installMainMenu();
    installStatusItem();

    QPointer<VLMAppDelegate> weakSelf(this);
    router_->statusDidChange = [weakSelf](const VLMAudioRouterStatus& status) {
        if (weakSelf)
            weakSelf->updateStatusItem(status);
    };

    mainWindowController_ = std::make_unique<VLMMainWindowController>(router_);
    mainWindowController_->setMenuBar(mainMenu_);
    mainWindowController_->showWindow();
    activateApplication();
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
    const QUrl url(QString::fromLatin1(VLMMicrophonePrivacySettingsURLString), QUrl::StrictMode);
    if (url.isValid())
        WorkspaceOpenURL(url);
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

// Hiding an application hides its windows until it is shown again.
void VLMAppDelegate::hide()
{
    for (QWidget* window : applicationWindows()) {
        if (window->isVisible()) {
            hiddenWindows_.append(window);
            window->hide();
        }
    }
}

// This desktop cannot hide other applications; what the user is after is
// this application's windows in front of theirs.
void VLMAppDelegate::hideOtherApplications()
{
    arrangeInFront();
}

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

    auto* helpMenu = new QMenu(QStringLiteral("Help"), menuBar);
    QAction* help = addItem(helpMenu, QStringLiteral("Velmora Studio Connect Help"), QKeySequence(QStringLiteral("Ctrl+?")));
    connect(help, &QAction::triggered, this, [this] { openConnectHelp(); });
    QAction* settings = addItem(helpMenu, QStringLiteral("Microphone Privacy Settings"));
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
    auto* menu = new QMenu(applicationName);
    connect(addItem(menu, QStringLiteral("About ") + applicationName), &QAction::triggered, this,
            [this] { orderFrontStandardAboutPanel(); });
    menu->addSeparator();

    auto* services = new QMenu(QStringLiteral("Services"), menu);
    // This desktop offers no services to other applications.
    services->addAction(QStringLiteral("No Services Apply"))->setEnabled(false);
    menu->addMenu(services);
    servicesMenu_ = services;
    menu->addSeparator();

    connect(addItem(menu, QStringLiteral("Hide ") + applicationName, QKeySequence(QStringLiteral("Ctrl+H"))),
            &QAction::triggered, this, [this] { hide(); });
    connect(addItem(menu, QStringLiteral("Hide Others"), QKeySequence(QStringLiteral("Alt+Ctrl+H"))),
            &QAction::triggered, this, [this] { hideOtherApplications(); });
    connect(addItem(menu, QStringLiteral("Show All")), &QAction::triggered, this, [this] { unhideAllApplications(); });
    menu->addSeparator();
    QAction* quit = addItem(menu, QStringLiteral("Quit ") + applicationName, QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(quit, &QAction::triggered, this, [this] { terminate(); });
    return menu;
}

QMenu* VLMAppDelegate::makeEditMenu()
{
    auto* menu = new QMenu(QStringLiteral("Edit"));
    const struct {
        const char* title;
        const char* command;
        const char* key;
    } items[] = {
        {"Undo", "undo", "Ctrl+Z"},
        {"Redo", "redo", "Shift+Ctrl+Z"},
        {nullptr, nullptr, nullptr},
        {"Cut", "cut", "Ctrl+X"},
        {"Copy", "copy", "Ctrl+C"},
        {"Paste", "paste", "Ctrl+V"},
        {"Select All", "selectAll", "Ctrl+A"},
    };
    for (const auto& item : items) {
        if (!item.title) {
            menu->addSeparator();
            continue;
        }
        QAction* action = addItem(menu, QString::fromLatin1(item.title), QKeySequence(QString::fromLatin1(item.key)));
        const char* command = item.command;
        connect(action, &QAction::triggered, this, [command] { sendToFocusedWidget(command); });
    }
    return menu;
}

QMenu* VLMAppDelegate::makeWindowMenu()
{
    auto* menu = new QMenu(QStringLiteral("Window"));
    connect(addItem(menu, QStringLiteral("Minimize"), QKeySequence(QStringLiteral("Ctrl+M"))), &QAction::triggered,
            this, [this] { performMiniaturize(); });
    menu->addSeparator();
    connect(addItem(menu, QStringLiteral("Bring All to Front")), &QAction::triggered, this,
            [this] { arrangeInFront(); });
    // As the windows menu, it lists the application's windows when it opens.
    connect(menu, &QMenu::aboutToShow, this, [this] { listWindowsInWindowsMenu(); });
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
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("Show ") + applicationName), &QAction::triggered, this,
            [this] { showMainWindow(); });
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("Quit ") + applicationName);
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(quit, &QAction::triggered, this, [this] { terminate(); });
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
}

void VLMAppDelegate::updateStatusItem(const VLMAudioRouterStatus& status)
{
    QString text;
    QString symbol;
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
    if (statusMenuItem_) {
        statusMenuItem_->setText(text);
        const std::optional<SymbolImage> image = SymbolImage::systemSymbol(symbol, text);
        statusMenuItem_->setIcon(image ? image->icon() : QIcon());
    }
    if (statusItem_)
        statusItem_->setToolTip(applicationName + QStringLiteral(": ") + text);
}
