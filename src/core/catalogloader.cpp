#include "core/catalogloader.h"

#include "core/appinfo.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVersionNumber>

namespace {

// A catalog transfer during which no data moves for this long is abandoned.
constexpr int TransferTimeout = 20000;

// The user's messages share the window's translation context.
QString unreachable(const QString &reason)
{
    return QCoreApplication::translate("Backend", "The image catalog is not reachable: %1").arg(reason);
}

} // namespace

CatalogLoader::CatalogLoader(QObject *parent)
    : QObject(parent)
{
}

QUrl CatalogLoader::locationFor(const QString &manifest)
{
    return QUrl::fromUserInput(manifest, QDir::currentPath(), QUrl::AssumeLocalFile);
}

void CatalogLoader::load(const QUrl &url)
{
    if (m_reply) {
        // A superseded request must never be heard of: cut it off before
        // aborting, since abort() itself emits finished().
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }

    if (url.isLocalFile()) {
        QFile file(url.toLocalFile());
        if (file.open(QIODevice::ReadOnly))
            parse(file.readAll());
        else
            emit failed(unreachable(file.errorString()));
        return;
    }

    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setTransferTimeout(TransferTimeout);
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::finished, this, &CatalogLoader::onReplyFinished);
}

void CatalogLoader::onReplyFinished()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        emit failed(unreachable(reply->errorString()));
        return;
    }
    parse(reply->readAll());
}

void CatalogLoader::parse(const QByteArray &data)
{
    const Catalog catalog = Catalog::parse(data, QVersionNumber::fromString(AppInfo::Version));
    if (!catalog.isValid()) {
        emit failed(QCoreApplication::translate("Backend", "The image catalog is not valid: %1").arg(catalog.error()));
        return;
    }
    emit loaded(catalog);
}
