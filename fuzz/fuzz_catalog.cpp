// A catalog document given as bytes, parsed and asked every question the
// wizard asks, for every product, device and build it holds and for ids it
// does not hold. A parsed catalog must keep its promises: unique ids, builds
// only for declared devices, no product without builds.
#include "catalog/catalog.h"
#include "core/appinfo.h"
#include "write/fatwriter.h"

#include <QSet>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

const QVersionNumber appVersion = QVersionNumber::fromString(AppInfo::Version);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray document(reinterpret_cast<const char *>(data), qsizetype(size));
    const Catalog catalog = Catalog::parse(document, appVersion);
    check(catalog.isValid() || (catalog.products().isEmpty() && catalog.devices().isEmpty()));
    check(catalog.isValid() == catalog.error().isEmpty());

    QSet<QString> deviceIds;
    for (const CatalogDevice &device : catalog.devices()) {
        check(!deviceIds.contains(device.id));
        deviceIds.insert(device.id);
    }
    QSet<QString> productIds;
    for (const CatalogProduct &product : catalog.products()) {
        check(!productIds.contains(product.id) && !product.images.isEmpty());
        productIds.insert(product.id);
        check(catalog.product(product.id) != nullptr);
        catalog.localBootFiles(product.id);
        QSet<QString> imageIds;
        for (const CatalogImage &image : product.images) {
            check(!imageIds.contains(image.id) && !image.devices.isEmpty());
            imageIds.insert(image.id);
            for (const QString &device : image.devices)
                check(deviceIds.contains(device));
            for (const QString &name : catalog.bootFilesFor(product.id, image.id).keys())
                check(isFatShortName(name));
        }
        for (const CatalogDevice &device : catalog.devicesFor(product.id))
            check(!catalog.imagesFor(product.id, device.id).isEmpty());
        check(catalog.imagesFor(product.id, QString()).isEmpty());
    }
    check(catalog.product(QStringLiteral("\x01unknown")) == nullptr);
    check(catalog.devicesFor(QStringLiteral("\x01unknown")).isEmpty());
    check(catalog.bootFilesFor(QStringLiteral("\x01unknown"), QString()).isEmpty());
    return 0;
}
