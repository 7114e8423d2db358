#pragma once

#include "catalog/catalog.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantList>

class CatalogLoader;

// The catalog the pages show and what the user chose in it: a product, a
// device and a build, or a local image file instead of the build. A choice
// that the loaded catalog no longer offers is dropped, product first.
class CatalogSelection : public QObject
{
    Q_OBJECT

public:
    // In the order of Backend::CatalogState, which QML reads.
    enum class State { Loading = 0, Ready = 1, Unavailable = 2, UpdateRequired = 3 };

    explicit CatalogSelection(const QString &manifest, QObject *parent = nullptr);

    const Catalog &catalog() const { return m_catalog; }
    QUrl manifestUrl() const { return m_manifestUrl; }
    State state() const { return m_state; }
    // The user's message while Unavailable.
    QString error() const { return m_error; }
    // Loads that failed in a row, since the last one that succeeded.
    int failures() const { return m_failures; }

    // The lists as the pages show them, one map per entry.
    QVariantList products() const;
    QVariantList devices() const;
    QVariantList images() const;

    QString productId() const { return m_productId; }
    QString productName() const;
    QString deviceId() const { return m_deviceId; }
    QString deviceName() const;
    QString imageId() const { return m_imageId; }
    // The chosen build; null when none is chosen.
    const CatalogImage *image() const;
    QUrl imageUrl() const { return m_imageUrl; }
    // A valid url replaces a chosen build.
    void setImageUrl(const QUrl &url);
    // The local file's name; empty for a build.
    QString imageName() const;
    bool imageReady() const;
    // What the catalog says the chosen build needs on the card; 0 when it
    // does not say, and for a local file, which has to be read to tell.
    qint64 imageSize() const;

    // The boot files of the current choice: the product's own for a local
    // file, the chosen build's otherwise.
    QMap<QString, QByteArray> bootFiles() const;

    // While a write may read the image cache, a new catalog leaves it alone.
    void setCacheInUse(bool inUse) { m_cacheInUse = inUse; }

    // Reads the catalog again; a file is read, and applied, before this returns.
    void reload();
    void selectProduct(const QString &id);
    void selectDevice(const QString &id);
    // Choosing a build forgets the local file.
    void selectImage(const QString &id);

signals:
    void catalogChanged();
    void productChanged();
    void deviceChanged();
    void imageChanged();

private:
    void apply(const Catalog &catalog);
    void fail(const QString &message);
    void update(const QString &product, const QString &device, const QString &image, bool force);
    void pruneCache() const;

    QUrl m_manifestUrl;
    CatalogLoader *m_loader = nullptr; // child
    Catalog m_catalog;
    State m_state = State::Loading;
    QString m_error;
    int m_failures = 0;
    bool m_cacheInUse = false;

    QString m_productId;
    QString m_deviceId;
    QString m_imageId;
    QUrl m_imageUrl;

    friend class BackendTestAccess;
};
