#include "tunnelproxy.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace {

// "CONNECT host:port HTTP/1.1"; 0 when the line is not one.
quint16 connectPort(const QByteArray& line, QByteArray* target)
{
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.size() != 3 || words.at(0) != "CONNECT")
        return 0;
    *target = words.at(1);
    return quint16(target->mid(target->lastIndexOf(':') + 1).toUInt());
}

void pipe(QTcpSocket* from, QTcpSocket* to)
{
    QObject::connect(from, &QIODevice::readyRead, to, [from, to] { to->write(from->readAll()); });
    QObject::connect(from, &QAbstractSocket::disconnected, to, [to] { to->disconnectFromHost(); });
}

} // namespace

TunnelProxy::TunnelProxy(QObject* parent) : QObject(parent), m_listener(new QTcpServer(this))
{
    connect(m_listener, &QTcpServer::newConnection, this, &TunnelProxy::accept);
    if (!m_listener->listen(QHostAddress::LocalHost, 0))
        qWarning("TunnelProxy: cannot listen: %s", qPrintable(m_listener->errorString()));
}

TunnelProxy::~TunnelProxy()
{
    m_listener->close();
}

quint16 TunnelProxy::port() const
{
    return m_listener->serverPort();
}

QString TunnelProxy::address() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void TunnelProxy::accept()
{
    while (QTcpSocket* client = m_listener->nextPendingConnection()) {
        client->setParent(this);
        connect(client, &QAbstractSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QIODevice::readyRead, client, [this, client] { readRequest(client); });
    }
}

// The request ends with an empty line; the client sends nothing more before the answer.
void TunnelProxy::readRequest(QTcpSocket* client)
{
    const qsizetype end = client->peek(64 * 1024).indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QByteArray request = client->read(end + 4);
    QObject::disconnect(client, &QIODevice::readyRead, nullptr, nullptr);
    QByteArray target;
    const quint16 port = connectPort(request.left(request.indexOf("\r\n")), &target);
    if (port == 0) {
        client->write("HTTP/1.1 405 Method Not Allowed\r\nConnection: close\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    m_tunnels.append(QString::fromLatin1(target));
    relay(client, port);
}

void TunnelProxy::relay(QTcpSocket* client, quint16 port)
{
    auto* server = new QTcpSocket(client);
    connect(server, &QAbstractSocket::connected, client, [client, server] {
        client->write("HTTP/1.1 200 Connection established\r\n\r\n");
        pipe(client, server);
        pipe(server, client);
        if (client->bytesAvailable() > 0)
            server->write(client->readAll());
    });
    connect(server, &QAbstractSocket::errorOccurred, client, [client, server] {
        if (server->state() != QAbstractSocket::ConnectedState)
            client->disconnectFromHost();
    });
    server->connectToHost(QHostAddress::LocalHost, port);
}
