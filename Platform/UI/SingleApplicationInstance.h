#pragma once
// One running instance per user. The desktop delivers a URL, or a click on
// the program's launcher, by starting the program again; that second instance
// hands its arguments to the running one over a local socket and exits.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

class SingleApplicationInstance : public QObject {
    Q_OBJECT
public:
    // The socket name the program uses for the current user.
    static QString defaultServerName();

    explicit SingleApplicationInstance(QString serverName, QObject* parent = nullptr);
    ~SingleApplicationInstance() override;

    // Becomes the running instance and listens. False when another instance
    // already listens (or the socket cannot be created).
    bool listen();

    // Hands `arguments` and the launcher's activation token (empty when it
    // gave none) to the running instance. False when none answers within
    // `timeoutMilliseconds`.
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
