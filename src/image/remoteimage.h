#pragma once

#include <QByteArray>
#include <QUrl>

// What to download: one catalog build.
struct RemoteImage
{
    QUrl url;          // absolute
    qint64 size = 0;   // bytes, from the catalog; 0 when the catalog gives none
    QByteArray sha256; // expected digest, 32 raw bytes
};
