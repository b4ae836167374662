#include "WindowActivation.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

QString pendingToken;

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, std::strlen(name), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

// On X11 the window manager grants the request when its time stamp is the
// launch's (the "_TIME<n>" of the startup id, the moment of the user's click),
// which is later than the user's last interaction elsewhere; Qt's own request
// carries the time of the last event this program saw. Then the launcher's
// busy feedback is ended with a "remove" message, as no new window will map.
void activateOnX11(QWindow* window, const QString& startupId)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* connection = x11->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_window_t own = static_cast<xcb_window_t>(window->winId());

    const QRegularExpressionMatch time = QRegularExpression(QStringLiteral("_TIME(\\d+)$")).match(startupId);
    xcb_client_message_event_t activate{};
    activate.response_type = XCB_CLIENT_MESSAGE;
    activate.format = 32;
    activate.window = own;
    activate.type = atom(connection, "_NET_ACTIVE_WINDOW");
    activate.data.data32[0] = 1; // from an application
    activate.data.data32[1] = time.hasMatch() ? time.captured(1).toUInt() : XCB_CURRENT_TIME;
    xcb_send_event(connection, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&activate));

    // The startup-notification protocol: the message in 20-byte pieces, the
    // first typed _NET_STARTUP_INFO_BEGIN, NUL-terminated.
    QString quoted = startupId;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    const QByteArray message = QStringLiteral("remove: ID=\"%1\"").arg(quoted).toUtf8() + '\0';
    const xcb_atom_t begin = atom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = atom(connection, "_NET_STARTUP_INFO");
    for (qsizetype offset = 0; offset < message.size(); offset += 20) {
        xcb_client_message_event_t piece{};
        piece.response_type = XCB_CLIENT_MESSAGE;
        piece.format = 8;
        piece.window = own;
        piece.type = offset == 0 ? begin : more;
        std::memcpy(piece.data.data8, message.constData() + offset, std::min<qsizetype>(20, message.size() - offset));
        xcb_send_event(connection, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char*>(&piece));
    }
    xcb_flush(connection);
}

} // namespace

void ShowWindowMinimized(QWidget* window)
{
    const bool mapping = !window->isVisible();
    window->showMinimized();
    // Qt's X11 plugin maps a window that was moved while hidden in the
    // normal state, forgetting the minimized one; asking again, now that the
    // window manager has it, minimizes it.
    if (mapping && window->windowHandle() && QGuiApplication::platformName() == QLatin1String("xcb")) {
        window->windowHandle()->setWindowStates(Qt::WindowNoState);
        window->windowHandle()->setWindowStates(Qt::WindowMinimized);
    }
}

QString ActivationTokenFromEnvironment()
{
    const QString wayland = qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
    return wayland.isEmpty() ? qEnvironmentVariable("DESKTOP_STARTUP_ID") : wayland;
}

void SetPendingActivationToken(const QString& token)
{
    pendingToken = token;
}

void ActivateWindow(QWidget* window)
{
    const QString token = std::exchange(pendingToken, QString());
    // Qt's Wayland plugin presents this variable with its next activation
    // request, and clears it.
    if (!token.isEmpty() && QGuiApplication::platformName() == QLatin1String("wayland"))
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    window->raise();
    window->activateWindow();
    if (!token.isEmpty() && QGuiApplication::platformName() == QLatin1String("xcb") && window->windowHandle())
        activateOnX11(window->windowHandle(), token);
}
