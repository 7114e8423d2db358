#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

using BootFileMap = QMap<QString, QByteArray>;

// The boot files the write job tests ask for.
inline const BootFileMap BootFiles{
    // The end-to-end builds ship one of their own, which it replaces.
    {QStringLiteral("CONFIG.TXT"), "product=alpha\nmode=kiosk\n"},
    // Over one 512-byte cluster, so that the file has a chain.
    {QStringLiteral("SETUP.INI"), QByteArray(1300, 'x') + "\n"},
    {QStringLiteral("ssh"), QByteArray()},
};
