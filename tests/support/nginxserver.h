#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

// nginx serving one folder on a free port of 127.0.0.1, running as the
// current user with its configuration, pid file, logs and temporary files in
// a folder of its own. Every file is served at full speed under "/" and at
// SlowRate bytes per second under "/slow/". Stopped by the destructor.
class NginxServer
{
public:
    static constexpr int SlowRate = 64 * 1024;

    explicit NginxServer(const QString &root);
    ~NginxServer();

    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Starts nginx and waits until it accepts connections.
    bool start();
    // Stops nginx: the server is down, connections are refused.
    void stop();
    // Starts nginx again on the port it had: the server is back.
    bool restart();
    QString errorString() const;

    quint16 port() const;
    // path begins with "/".
    QUrl url(const QString &path) const;

    // One line per request served so far: method, path, status and the Range
    // header ("-" when absent), separated by blanks: "GET /a.zip 206 bytes=5-".
    QStringList accessLog() const;

private:
    enum class Launch { Started, PortTaken, Failed };

    // Starts nginx on m_port.
    Launch launch();
    bool writeConfig() const;

    QString m_root;
    QTemporaryDir m_prefix;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_errorString;
};
