#include "catalogdocument.h"

#include <QJsonDocument>

CatalogDocument::CatalogDocument(int schemaVersion)
    : m_object{{QStringLiteral("schemaVersion"), schemaVersion}}
{
}

CatalogDocument &CatalogDocument::device(const QString &id, const QString &name)
{
    m_devices.append(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("name"), name}});
    return *this;
}

QStringList CatalogDocument::numberedDevices(const QString &id, const QString &name, int count)
{
    QStringList ids;
    for (int i = 1; i <= count; ++i) {
        ids.append(id + QString::number(i));
        device(ids.last(), name + QString::number(i));
    }
    return ids;
}

CatalogDocument &CatalogDocument::product(const QString &id, const QString &name, const QJsonArray &builds,
                                          const QJsonObject &more)
{
    QJsonObject product = more;
    product.insert(QStringLiteral("id"), id);
    product.insert(QStringLiteral("name"), name);
    product.insert(QStringLiteral("images"), builds);
    m_products.append(product);
    return *this;
}

CatalogDocument &CatalogDocument::minTessaroVersion(const QString &version)
{
    if (!version.isEmpty())
        m_object.insert(QStringLiteral("minTessaroVersion"), version);
    return *this;
}

QJsonObject CatalogDocument::object() const
{
    QJsonObject object = m_object;
    object.insert(QStringLiteral("devices"), m_devices);
    object.insert(QStringLiteral("products"), m_products);
    return object;
}

QByteArray CatalogDocument::toJson() const
{
    return QJsonDocument(object()).toJson();
}

QJsonObject CatalogDocument::build(const QString &id, const QString &name, const QString &version, const QString &url,
                                   qint64 size, const QString &sha256, const QStringList &devices)
{
    return QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), name},
            {QStringLiteral("version"), version},
            {QStringLiteral("url"), url},
            {QStringLiteral("size"), size},
            {QStringLiteral("sha256"), sha256},
            {QStringLiteral("devices"), QJsonArray::fromStringList(devices)},
    };
}

QJsonObject CatalogDocument::bootFiles(const QMap<QString, QByteArray> &files)
{
    QJsonObject object;
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        object.insert(file.key(), QString::fromUtf8(file.value()));
    return object;
}
