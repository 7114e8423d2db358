#pragma once

#include <QString>
#include <QStringList>

// One Windows physical drive as the disk queries found it, before the
// removable-disk rule has looked at it.
struct WinDrive
{
    // The bus kinds the rule tells apart; every other storage bus is Other.
    enum Bus { Other = 0, Usb = 1, Sd = 2, Mmc = 3, Virtual = 4 };

    int number = -1;
    QString vendor;  // white space simplified; may be empty
    QString product; // white space simplified; may be empty
    int bus = Other;
    bool removableMedia = false;
    qint64 size = 0; // 0 when the capacity query failed (a reader without a card)
    QStringList mountPoints; // "E:", sorted
    QString serial;          // white space simplified; empty when the device reports none
};
