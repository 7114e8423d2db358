#pragma once

#include "catalog/catalogimage.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

// One product: what a card is set up to become, with the builds that can be
// written for it.
struct CatalogProduct
{
    QString id; // unique among the catalog's products
    QString name;
    QString icon; // URL as written, possibly relative; empty when not given
    // File name (8.3) to file bytes, for the card's first FAT partition.
    QMap<QString, QByteArray> bootFiles;
    QList<CatalogImage> images; // in document order, never empty
};
