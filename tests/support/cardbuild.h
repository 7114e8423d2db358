#pragma once

#include "cardimage.h"

#include <QJsonObject>
#include <QString>

// A catalog build made as a maker publishes one: a card image with an MBR and
// a FAT32 partition from mkfs.fat, a payload file copied in with mtools, the
// image zipped with zip into root/builds/, and the catalog fields that
// describe the archive and the image inside it.
class CardBuild
{
public:
    // Makes root/builds/<name>.zip holding <name>.img; payloadBytes of
    // incompressible data keep the archive at least that large.
    bool make(const QString &root, const QString &name, qint64 payloadBytes);
    QString errorString() const { return m_errorString; }

    // "url" (relative to root), "size", "sha256", "extractSize", "extractSha256".
    QJsonObject catalogFields() const { return m_fields; }
    QString archivePath() const { return m_archivePath; }
    // The card image as it is inside the archive.
    const CardImage &image() const { return m_image; }

private:
    bool fail(const QString &text);

    CardImage m_image;
    QString m_archivePath;
    QJsonObject m_fields;
    QString m_errorString;
};
