#include "app/ui/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace {

const QByteArray raise_message("raise\n");

}  // namespace

single_instance_c::single_instance_c(const QString& socket_path, QObject* parent)
    : QObject(parent), socket_path(socket_path), server(new QLocalServer(this)) {
    server->setSocketOptions(QLocalServer::UserAccessOption);  // this user's copies only
    connect(server, &QLocalServer::newConnection, this, &single_instance_c::on_new_connection);
}

single_instance_c::~single_instance_c() = default;

bool single_instance_c::listen() {
    QLocalServer::removeServer(socket_path);
    return server->listen(socket_path);
}

void single_instance_c::on_new_connection() {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // Only the one short message is understood; anything else is ignored.
            if (socket->bytesAvailable() > 64) {
                socket->abort();
                return;
            }
            if (!socket->canReadLine()) {
                return;
            }
            if (socket->readLine(64) == raise_message) {
                emit raise_requested();
                socket->write("ok\n");
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool single_instance_c::notify_running(const QString& socket_path, int timeout_ms) {
    QLocalSocket socket;
    socket.connectToServer(socket_path);
    if (!socket.waitForConnected(timeout_ms)) {
        return false;
    }
    socket.write(raise_message);
    if (!socket.waitForBytesWritten(timeout_ms)) {
        return false;
    }
    return socket.waitForReadyRead(timeout_ms) && socket.readLine(16) == "ok\n";
}
