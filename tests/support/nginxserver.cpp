#include "support/nginxserver.h"

#include "programrun.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const QString NginxBinary = QStringLiteral("/usr/sbin/nginx");

// A port that was free a moment ago; nginx may still lose it to another
// process, which start() survives by trying again.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString readText(const QString &path)
{
    return QString::fromUtf8(readFile(path));
}

} // namespace

NginxServer::NginxServer(const QString &root)
    : m_root(root)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::start()
{
    if (!m_prefix.isValid()) {
        m_errorString = QStringLiteral("cannot create a temporary folder for nginx");
        return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        const Launch launched = launch();
        if (launched != Launch::PortTaken)
            return launched == Launch::Started;
    }
    m_errorString = QStringLiteral("nginx found no free port");
    return false;
}

bool NginxServer::restart()
{
    stop();
    const Launch launched = launch();
    if (launched == Launch::PortTaken)
        m_errorString = QStringLiteral("port %1 was taken while nginx was stopped").arg(m_port);
    return launched == Launch::Started;
}

NginxServer::Launch NginxServer::launch()
{
    if (m_port == 0 || !writeConfig()) {
        m_errorString = QStringLiteral("cannot prepare the nginx configuration");
        return Launch::Failed;
    }
    QFile::remove(m_prefix.filePath(QStringLiteral("error.log")));
    m_process.start(NginxBinary,
                    { QStringLiteral("-p"), m_prefix.path() + QLatin1Char('/'),
                      QStringLiteral("-c"), m_prefix.filePath(QStringLiteral("nginx.conf")),
                      QStringLiteral("-e"), m_prefix.filePath(QStringLiteral("error.log")),
                      QStringLiteral("-g"), QStringLiteral("daemon off;") });
    if (!m_process.waitForStarted(5000)) {
        m_errorString = QStringLiteral("cannot start %1: %2").arg(NginxBinary, m_process.errorString());
        return Launch::Failed;
    }

    // nginx logs a port taken meanwhile at once, and retries binding
    // before it gives up; whatever answers on the port then is not nginx.
    const QString errorLog = m_prefix.filePath(QStringLiteral("error.log"));
    const QString portTaken = QStringLiteral("Address already in use");
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && !readText(errorLog).contains(portTaken)) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(200) && !readText(errorLog).contains(portTaken))
            return Launch::Started;
        if (m_process.waitForFinished(20))
            break;
    }

    const QString log = readText(errorLog) + QString::fromLocal8Bit(m_process.readAll());
    stop();
    if (log.contains(portTaken))
        return Launch::PortTaken;
    m_errorString = QStringLiteral("nginx did not start: %1").arg(log.trimmed());
    return Launch::Failed;
}

QString NginxServer::errorString() const
{
    return m_errorString;
}

quint16 NginxServer::port() const
{
    return m_port;
}

QUrl NginxServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
}

QStringList NginxServer::accessLog() const
{
    return readText(m_prefix.filePath(QStringLiteral("access.log")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool NginxServer::writeConfig() const
{
    // A single process that never changes its user; everything nginx writes
    // stays inside the prefix folder.
    const QString config = QStringLiteral(R"(
master_process off;
worker_processes 1;
pid nginx.pid;
lock_file nginx.lock;
error_log error.log warn;
events { worker_connections 64; }
http {
    default_type application/octet-stream;
    log_format requests '$request_method $uri $status $http_range';
    access_log access.log requests;
    client_body_temp_path body;
    proxy_temp_path proxy;
    fastcgi_temp_path fastcgi;
    uwsgi_temp_path uwsgi;
    scgi_temp_path scgi;
    server {
        listen 127.0.0.1:%1;
        root "%2";
        location /slow/ {
            alias "%2/";
            limit_rate %3;
        }
    }
}
)").arg(m_port).arg(m_root).arg(SlowRate);
    QFile file(m_prefix.filePath(QStringLiteral("nginx.conf")));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(config.toUtf8()) == config.toUtf8().size();
}

void NginxServer::stop()
{
    stopProgram(m_process);
}
