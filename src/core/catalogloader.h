#pragma once

#include "catalog/catalog.h"

#include <QCoreApplication>
#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Reads a catalog document from a file or over HTTP and parses it. A file is
// read inside load(); a network request ends later on the calling thread.
// Either way exactly one of loaded() or failed() follows each load() that is
// not superseded by the next one.
class CatalogLoader : public QObject
{
    Q_OBJECT

public:
    explicit CatalogLoader(QObject *parent = nullptr);

    // Where a catalog given as typed by the user is read from: a text that
    // reads as a path (absolute, or relative to the working folder) is a file.
    static QUrl locationFor(const QString &manifest);

    // Starts reading url; a request still in flight is abandoned unheard.
    void load(const QUrl &url);

signals:
    // A valid catalog (it may still require a newer application).
    void loaded(const Catalog &catalog);
    // The user's message: unreachable, or not a catalog.
    void failed(const QString &message);

private:
    void onReplyFinished();
    void parse(const QByteArray &data);

    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
};
