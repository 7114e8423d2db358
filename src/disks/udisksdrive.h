#pragma once

#include <QString>
#include <QStringList>

// One drive as the UDisks service describes it.
struct UdisksDrive
{
    QString path; // unique; block records refer to it
    QString vendor;
    QString model;
    QString connectionBus; // "usb", "sdio", ... or empty
    bool removable = false;
    bool mediaRemovable = false;
    bool ignored = false;
    QString serial = QString(); // may be empty
    // The media the drive takes, as the service names them ("flash_sd",
    // "optical_dvd", "thumb", ...); empty when unknown.
    QStringList mediaCompatibility = QStringList();
};
