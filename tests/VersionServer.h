#pragma once

// A real HTTP server on 127.0.0.1 standing in for the update server.

#include <QHash>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

using namespace Qt::Literals::StringLiterals;

// Answers every request with one canned response, or, when silent, never.
class VersionServer : public QObject
{
public:
    QByteArray status = "200 OK";
    QByteArray body;
    bool silent = false;
    QList<QByteArray> requests;

    bool start()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                m_pending[socket] += socket->readAll();
                if (!m_pending[socket].contains("\r\n\r\n") || silent)
                    return;
                requests << m_pending.take(socket);
                socket->write("HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        });
        return m_server.listen(QHostAddress::LocalHost);
    }
    [[nodiscard]] QString address() const { return u"http://127.0.0.1:%1"_s.arg(m_server.serverPort()); }

private:
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
};
