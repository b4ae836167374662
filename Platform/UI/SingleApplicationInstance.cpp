#include "SingleApplicationInstance.h"

#include <QDataStream>
#include <QLocalServer>
#include <QLocalSocket>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSharedPointer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A message is the QDataStream encoding of the arguments (a QStringList) and
// the activation token (a QString), preceded by its size so the receiver
// knows when it has all of it.
QByteArray encode(const QStringList& arguments, const QString& activationToken)
{
    QByteArray body;
    QDataStream bodyStream(&body, QIODevice::WriteOnly);
    bodyStream << arguments << activationToken;
    QByteArray message;
    QDataStream messageStream(&message, QIODevice::WriteOnly);
    messageStream << static_cast<quint32>(body.size());
    return message + body;
}

// Whether the process at the other end of a connected local socket runs as
// this user: the kernel's word, which the peer cannot forge.
bool peerIsThisUser(qintptr descriptor)
{
    struct ucred credentials = {};
    socklen_t length = sizeof credentials;
    if (descriptor < 0 ||
        getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return credentials.uid == geteuid();
}

// A folder only this user can enter, created if missing. An existing one must
// be a real folder (not a link to another), owned by this user and closed to
// everyone else; otherwise someone else may have put it there.
bool isPrivateFolder(const QString& path, bool create)
{
    const QByteArray native = QFile::encodeName(path);
    if (create)
        ::mkdir(native.constData(), 0700);
    struct stat status = {};
    return ::lstat(native.constData(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & 077) == 0;
}

// The display the program's windows go to, as a file name: ":0.0" and ":0" are
// one display; a Wayland display may be a path.
QString displayName()
{
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (display.isEmpty())
        display = qEnvironmentVariable("DISPLAY").replace(QRegularExpression(QStringLiteral("(:\\d+)\\.\\d+$")),
                                                         QStringLiteral("\\1"));
    if (display.isEmpty())
        return QStringLiteral("default");
    return display.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_.:-]")), QStringLiteral("_"));
}

} // namespace

QString SingleApplicationInstance::defaultServerName()
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder) || !isPrivateFolder(folder, false))
        folder = QDir::tempPath() + QStringLiteral("/velmora-studio-connect-%1").arg(geteuid());
    else
        folder += QStringLiteral("/velmora-studio-connect");
    if (!isPrivateFolder(folder, true))
        return {};
    return folder + QStringLiteral("/instance-") + displayName();
}

SingleApplicationInstance::SingleApplicationInstance(QString serverName, QObject* parent)
    : QObject(parent), serverName_(std::move(serverName))
{
}

SingleApplicationInstance::~SingleApplicationInstance() = default;

bool SingleApplicationInstance::listen()
{
    if (server_)
        return true;
    // Listening would take the name over from a running instance (Qt puts a
    // socket with access options in place by renaming), so ask first.
    QLocalSocket probe;
    probe.connectToServer(serverName_);
    if (probe.waitForConnected(200))
        return false;
    // A socket file left by an instance that crashed answers nobody. The
    // folder is the user's own, so nobody else can have put it there.
    QLocalServer::removeServer(serverName_);
    auto* server = new QLocalServer(this);
    if (!server->listen(serverName_)) {
        delete server;
        return false;
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &SingleApplicationInstance::acceptConnections);
    return true;
}

void SingleApplicationInstance::acceptConnections()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (!peerIsThisUser(socket->socketDescriptor())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto buffer = QSharedPointer<QByteArray>::create();
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            if (buffer->size() < static_cast<qsizetype>(sizeof(quint32)))
                return;
            quint32 size = 0;
            QDataStream sizeStream(*buffer);
            sizeStream >> size;
            if (buffer->size() < static_cast<qsizetype>(sizeof(quint32) + size))
                return;
            QStringList arguments;
            QString activationToken;
            QDataStream argumentStream(buffer->mid(sizeof(quint32), size));
            argumentStream >> arguments >> activationToken;
            buffer->clear();
            socket->write("ok");
            socket->flush();
            emit argumentsReceived(arguments, activationToken);
        });
    }
}

bool SingleApplicationInstance::sendToRunningInstance(const QString& serverName, const QStringList& arguments,
                                                      int timeoutMilliseconds, const QString& activationToken)
{
    QLocalSocket socket;
    socket.connectToServer(serverName);
    if (!socket.waitForConnected(timeoutMilliseconds) || !peerIsThisUser(socket.socketDescriptor()))
        return false;
    socket.write(encode(arguments, activationToken));
    if (!socket.waitForBytesWritten(timeoutMilliseconds))
        return false;
    // Waiting for the answer means the running instance has the message
    // before this one exits.
    if (!socket.waitForReadyRead(timeoutMilliseconds))
        return false;
    socket.disconnectFromServer();
    return true;
}
