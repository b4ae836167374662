#include "SingleApplicationInstance.h"

#include <QDataStream>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSharedPointer>

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

} // namespace

QString SingleApplicationInstance::defaultServerName()
{
    return QStringLiteral("velmora-studio-connect-%1").arg(getuid());
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
    // A socket file left by an instance that crashed answers nobody.
    QLocalServer::removeServer(serverName_);
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
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
    if (!socket.waitForConnected(timeoutMilliseconds))
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
