#include "backend/catalogselection.h"

#include "core/catalogloader.h"
#include "core/datasize.h"
#include "image/imagecache.h"

#include <QFileInfo>

#include <algorithm>

CatalogSelection::CatalogSelection(const QString &manifest, QObject *parent)
    : QObject(parent)
    , m_manifestUrl(CatalogLoader::locationFor(manifest))
    , m_loader(new CatalogLoader(this))
{
    connect(m_loader, &CatalogLoader::loaded, this, &CatalogSelection::apply);
    connect(m_loader, &CatalogLoader::failed, this, &CatalogSelection::fail);
}

QVariantList CatalogSelection::products() const
{
    QVariantList list;
    if (m_state != State::Ready)
        return list;
    for (const CatalogProduct &product : m_catalog.products()) {
        // A relative icon path names a file beside the catalog document.
        const QUrl icon = product.icon.isEmpty() ? QUrl() : m_manifestUrl.resolved(QUrl(product.icon));
        list.append(QVariantMap{
                {QStringLiteral("id"), product.id},
                {QStringLiteral("name"), product.name},
                {QStringLiteral("icon"), icon},
        });
    }
    return list;
}

QVariantList CatalogSelection::devices() const
{
    QVariantList list;
    for (const CatalogDevice &device : m_catalog.devicesFor(m_productId))
        list.append(QVariantMap{{QStringLiteral("id"), device.id}, {QStringLiteral("name"), device.name}});
    return list;
}

QVariantList CatalogSelection::images() const
{
    QVariantList list;
    for (const CatalogImage &image : m_catalog.imagesFor(m_productId, m_deviceId)) {
        list.append(QVariantMap{
                {QStringLiteral("id"), image.id},
                {QStringLiteral("name"), image.name},
                {QStringLiteral("description"), image.description},
                {QStringLiteral("version"), image.version},
                {QStringLiteral("size"), formatDataSize(image.size)},
                {QStringLiteral("extractSize"), image.extractSize > 0 ? formatDataSize(image.extractSize) : QString()},
        });
    }
    return list;
}

QString CatalogSelection::productName() const
{
    const CatalogProduct *product = m_catalog.product(m_productId);
    return product ? product->name : QString();
}

QString CatalogSelection::deviceName() const
{
    for (const CatalogDevice &device : m_catalog.devicesFor(m_productId)) {
        if (device.id == m_deviceId)
            return device.name;
    }
    return {};
}

void CatalogSelection::setImageUrl(const QUrl &url)
{
    if (url == m_imageUrl)
        return;
    m_imageUrl = url;
    if (url.isValid())
        m_imageId.clear();
    emit imageChanged();
}

QString CatalogSelection::imageName() const
{
    if (!m_imageUrl.isLocalFile())
        return {};
    return QFileInfo(m_imageUrl.toLocalFile()).fileName();
}

bool CatalogSelection::imageReady() const
{
    return m_imageUrl.isLocalFile() || !m_imageId.isEmpty();
}

const CatalogImage *CatalogSelection::image() const
{
    if (m_imageId.isEmpty())
        return nullptr;
    const CatalogProduct *product = m_catalog.product(m_productId);
    if (!product)
        return nullptr;
    for (const CatalogImage &image : product->images) {
        if (image.id == m_imageId)
            return &image;
    }
    return nullptr;
}

qint64 CatalogSelection::imageSize() const
{
    const CatalogImage *build = image();
    return build && !m_imageUrl.isLocalFile() ? build->extractSize : 0;
}

QMap<QString, QByteArray> CatalogSelection::bootFiles() const
{
    if (m_imageUrl.isLocalFile())
        return m_catalog.localBootFiles(m_productId);
    return m_catalog.bootFilesFor(m_productId, m_imageId);
}

void CatalogSelection::reload()
{
    m_state = State::Loading;
    m_error.clear();
    emit catalogChanged();
    m_loader->load(m_manifestUrl);
}

void CatalogSelection::selectProduct(const QString &id)
{
    update(id, m_deviceId, m_imageId, false);
}

void CatalogSelection::selectDevice(const QString &id)
{
    update(m_productId, id, m_imageId, false);
}

void CatalogSelection::selectImage(const QString &id)
{
    const bool hadFile = !m_imageUrl.isEmpty();
    m_imageUrl.clear();
    update(m_productId, m_deviceId, id, false);
    if (hadFile)
        emit imageChanged();
}

void CatalogSelection::apply(const Catalog &catalog)
{
    m_catalog = catalog;
    for (const QString &message : m_catalog.validationErrors())
        qWarning("Manifest entry ignored: %s", qUtf8Printable(message));

    m_state = m_catalog.requiresNewerTessaro() ? State::UpdateRequired : State::Ready;
    m_failures = 0;
    emit catalogChanged();
    if (m_state == State::Ready && !m_cacheInUse)
        pruneCache();
    update(m_productId, m_deviceId, m_imageId, true);
}

void CatalogSelection::fail(const QString &message)
{
    qWarning("Cannot load manifest %s: %s", qUtf8Printable(m_manifestUrl.toDisplayString()), qUtf8Printable(message));
    m_catalog = Catalog();
    m_state = State::Unavailable;
    m_error = message;
    ++m_failures;
    emit catalogChanged();
    update(m_productId, m_deviceId, m_imageId, true);
}

void CatalogSelection::update(const QString &product, const QString &device, const QString &image, bool force)
{
    const auto hasId = [](const auto &list, const QString &id) {
        return std::any_of(list.cbegin(), list.cend(), [&id](const auto &entry) { return entry.id == id; });
    };

    const QString newProduct = m_state == State::Ready && hasId(m_catalog.products(), product) ? product : QString();
    const QString newDevice = hasId(m_catalog.devicesFor(newProduct), device) ? device : QString();
    const QString newImage = hasId(m_catalog.imagesFor(newProduct, newDevice), image) ? image : QString();

    const bool productChange = force || newProduct != m_productId;
    const bool deviceChange = force || productChange || newDevice != m_deviceId;
    const bool imageChange = newImage != m_imageId;

    m_productId = newProduct;
    m_deviceId = newDevice;
    m_imageId = newImage;

    if (productChange)
        emit productChanged();
    if (deviceChange)
        emit deviceChanged();
    if (imageChange)
        emit imageChanged();
}

void CatalogSelection::pruneCache() const
{
    QList<QByteArray> keep;
    for (const CatalogProduct &product : m_catalog.products()) {
        for (const CatalogImage &image : product.images)
            keep.append(QByteArray::fromHex(image.sha256.toLatin1()));
    }
    ImageCache(ImageCache::defaultDir()).prune(keep);
}
