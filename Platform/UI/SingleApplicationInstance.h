#pragma once
// One running instance per user and session. The desktop delivers a URL, or a
// click on the program's launcher, by starting the program again; that second
// instance hands its arguments to the running one over a local socket and
// exits. The socket lives in the user's private runtime folder, and each end
// checks that the other is the same user, so nobody else can take the name
// first, or hear what is handed over.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

class SingleApplicationInstance : public QObject {
    Q_OBJECT
public:
    // The socket the program uses for the current user on the current
    // display: in $XDG_RUNTIME_DIR (or, without one, a folder of the user's
    // own in the temporary folder), named after the display, so two sessions
    // of one user each keep their own instance. Empty when no folder that
    // only this user can enter is to be had: the program then runs on its own.
    static QString defaultServerName();

    explicit SingleApplicationInstance(QString serverName, QObject* parent = nullptr);
    ~SingleApplicationInstance() override;

    // Becomes the running instance and listens. False when another instance
    // already listens (or the socket cannot be created).
    bool listen();

    // Hands `arguments` and the launcher's activation token (empty when it
    // gave none) to the running instance. False when none of this user
    // answers within `timeoutMilliseconds`; nothing is sent to another user.
    static bool sendToRunningInstance(const QString& serverName, const QStringList& arguments,
                                      int timeoutMilliseconds = 2000, const QString& activationToken = {});

signals:
    // On the running instance: a later one was started with these arguments
    // and this activation token.
    void argumentsReceived(const QStringList& arguments, const QString& activationToken);

private:
    void acceptConnections();

    QString serverName_;
    QLocalServer* server_ = nullptr;
};
