#pragma once

#include "catalog/catalogdevice.h"
#include "catalog/catalogimage.h"
#include "catalog/catalogproduct.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

#include <optional>

class QJsonValue;

// The parsed image catalog: the device models, the products and their image
// builds, and the boot files that make a card start as a product.
//
// Only parse() fills a catalog, and a catalog never changes afterwards. A
// document that cannot be used at all gives an invalid catalog with one
// error(); an entry that breaks a rule is left out with one line in
// validationErrors() and the rest of the document is kept. A default-constructed
// catalog is empty and invalid.
class Catalog
{
public:
    static Catalog parse(const QByteArray &data, const QVersionNumber &appVersion);

    bool isValid() const;
    QString error() const;
    QStringList validationErrors() const;
    // The catalog's minimum application version is above appVersion. The
    // catalog is complete all the same; the caller decides what to offer.
    bool requiresNewerTessaro() const;
    // Null when the catalog names no minimum version.
    QVersionNumber minTessaroVersion() const;

    QList<CatalogDevice> devices() const;
    QList<CatalogProduct> products() const;

    // Every lookup below compares ids exactly, letter case included, and
    // answers an unknown id with nothing.

    // The first product with that id; the pointer lives as long as the catalog.
    const CatalogProduct *product(const QString &productId) const;
    // The devices that some build of the product runs on, in the catalog's
    // device order.
    QList<CatalogDevice> devicesFor(const QString &productId) const;
    // The product's builds for the device, in the product's order.
    QList<CatalogImage> imagesFor(const QString &productId, const QString &deviceId) const;
    // The boot files to write with a build: the build's own when it has them
    // (even none), else the product's. The two are never merged.
    QMap<QString, QByteArray> bootFilesFor(const QString &productId, const QString &imageId) const;
    // The product's own boot files, for an image file that is not in the catalog.
    QMap<QString, QByteArray> localBootFiles(const QString &productId) const;

private:
    // Each reads one entry of the document, whose place is named by context
    // (such as "devices[2]"); a refused entry gives nothing and leaves one line
    // in m_validationErrors. Entries are checked against those accepted before.
    std::optional<CatalogDevice> parseDevice(const QJsonValue &value, const QString &context);
    std::optional<CatalogProduct> parseProduct(const QJsonValue &value, const QString &context);
    std::optional<CatalogImage> parseImage(const QJsonValue &value, const QString &context);
    std::nullopt_t refuse(const QString &context, const QString &reason);

    bool m_valid = false;
    QString m_error;
    QStringList m_validationErrors;
    bool m_requiresNewerTessaro = false;
    QVersionNumber m_minTessaroVersion;
    QList<CatalogDevice> m_devices;
    QList<CatalogProduct> m_products;
};
