#include "support/scriptedhttpserver.h"

#include <QTcpSocket>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

QByteArray ScriptedHttpServer::Request::header(const QByteArray &name) const
{
    return headers.value(name.toLower());
}

ScriptedHttpServer::ScriptedHttpServer(QObject *parent)
    : QObject(parent)
    , m_handler([](const Request &) {
        Response response;
        response.status = 404;
        return response;
    })
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::accept);
}

bool ScriptedHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 ScriptedHttpServer::port() const
{
    return m_server.serverPort();
}

QUrl ScriptedHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void ScriptedHttpServer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

QList<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const
{
    return m_requests;
}

void ScriptedHttpServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // Owned by the server object, so a stalled connection closes with it.
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ScriptedHttpServer::readRequest(QTcpSocket *socket)
{
    // The head arrives in pieces; it is kept on the socket until complete.
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        socket->setProperty("head", head);
        return;
    }
    head.truncate(end);
    socket->setProperty("head", QVariant());

    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    m_requests.append(request);

    const Response response = m_handler(request);
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + reasonPhrase(response.status) + "\r\n";
    for (const auto &header : response.headers)
        answer += header.first + ": " + header.second + "\r\n";
    if (response.contentLength != NoContentLength) {
        const qint64 length = response.contentLength == BodySize ? response.body.size()
                                                                 : response.contentLength;
        answer += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    answer += "Connection: close\r\n\r\n";
    answer += response.body;
    socket->write(answer);

    // A complete answer is closed by the client, as "Connection: close"
    // asks; otherwise the close ends the body.
    const bool complete = response.contentLength == BodySize
            || response.contentLength == response.body.size();
    if (!complete && !response.stall)
        socket->disconnectFromHost();
}
