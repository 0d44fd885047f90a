#pragma once

#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// An HTTP proxy on 127.0.0.1 that only tunnels, as a player's proxy does for https: every
// CONNECT is answered and its bytes relayed both ways to that port on 127.0.0.1, whatever
// host it names, so that a server reached through it needs no address of its own. Anything
// else is refused and the connection closed.
class TunnelProxy : public QObject {
    Q_OBJECT

public:
    explicit TunnelProxy(QObject* parent = nullptr);
    ~TunnelProxy() override;

    quint16 port() const;
    // "http://127.0.0.1:<port>", as a proxy setting names it.
    QString address() const;
    // The "host:port" of every CONNECT relayed, oldest first.
    QStringList tunnels() const { return m_tunnels; }

private:
    void accept();
    void readRequest(QTcpSocket* client);
    void relay(QTcpSocket* client, quint16 port);

    QTcpServer* m_listener = nullptr;
    QStringList m_tunnels;
};
