#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// One image build of a product: a ZIP archive holding a raw disk image.
struct CatalogImage
{
    QString id; // unique within its product only
    QString name;
    QString description; // empty when the catalog gives none
    QString version;     // free text, shown as written
    QStringList devices; // ids of declared device models, in document order, never empty
    QString url;         // as written; a relative URL is resolved against the catalog's own
    qint64 size = 0;     // bytes of the archive; 0 lets the server tell
    QString sha256;      // hexadecimal digest of the archive, as written
    qint64 extractSize = 0; // bytes of the disk image inside the archive, 0 when not given
    QString extractSha256;  // hexadecimal digest of the disk image inside, empty when not given
    // Engaged exactly when the build has a "bootFiles" member of its own, even
    // an empty one: it then replaces the product's boot files whole.
    std::optional<QMap<QString, QByteArray>> bootFiles;
};
