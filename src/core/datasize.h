#pragma once

#include <QLocale>
#include <QString>

// A size as every front end shows it: decimal units, one decimal place, in
// the user's locale ("1.5 GB").
inline QString formatDataSize(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}
