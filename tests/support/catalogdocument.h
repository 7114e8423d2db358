#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

// A catalog document as a server publishes it, put together by a test:
//   CatalogDocument().device("s", "Board S").product("alpha", "Alpha", {build}).toJson()
class CatalogDocument
{
public:
    explicit CatalogDocument(int schemaVersion = 1);

    CatalogDocument &device(const QString &id, const QString &name);
    // `count` devices numbered from 1, "<id>1" named "<name>1" and so on;
    // returns their ids.
    QStringList numberedDevices(const QString &id, const QString &name, int count);
    // `more` holds the optional members (icon, bootFiles).
    CatalogDocument &product(const QString &id, const QString &name, const QJsonArray &builds,
                             const QJsonObject &more = {});
    CatalogDocument &minTessaroVersion(const QString &version);

    QJsonObject object() const;
    QByteArray toJson() const;

    // A build with the members every build has; the optional ones are
    // inserted into what it returns.
    static QJsonObject build(const QString &id, const QString &name, const QString &version, const QString &url,
                             qint64 size, const QString &sha256, const QStringList &devices);
    static QJsonObject bootFiles(const QMap<QString, QByteArray> &files);

private:
    QJsonObject m_object;
    QJsonArray m_devices;
    QJsonArray m_products;
};
