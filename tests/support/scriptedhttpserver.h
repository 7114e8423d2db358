#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;

// A small HTTP/1.1 server on a free port of 127.0.0.1 whose every answer is
// scripted by the test, for the faults a real server will not produce on
// demand: wrong ranges, missing lengths, short bodies, stalls. It runs on the
// thread that made it, so that thread must process events while a client
// talks to it. Every answer asks the client to close the connection; the
// server closes it only to end a body of unannounced or wrong length.
class ScriptedHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray target;
        QMap<QByteArray, QByteArray> headers; // names in lower case

        // The value of a header, or an empty array; name in any case.
        QByteArray header(const QByteArray &name) const;
    };

    // Values of Response::contentLength besides a byte count.
    static constexpr qint64 BodySize = -1;        // the body's own size
    static constexpr qint64 NoContentLength = -2; // no header; the close ends the body

    struct Response
    {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // Announced in Content-Length; may differ from the body's size.
        qint64 contentLength = BodySize;
        // After the body, keep the connection open and send nothing more.
        bool stall = false;
    };

    using Handler = std::function<Response(const Request &)>;

    explicit ScriptedHttpServer(QObject *parent = nullptr);

    bool listen();
    quint16 port() const;
    // path begins with "/".
    QUrl url(const QString &path) const;

    // Until a handler is set every request gets 404 without a body.
    void setHandler(Handler handler);
    // Every request received so far, in order.
    QList<Request> requests() const;

private:
    void accept();
    void readRequest(QTcpSocket *socket);

    QTcpServer m_server;
    Handler m_handler;
    QList<Request> m_requests;
};
