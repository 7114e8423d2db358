#pragma once

#include <QString>

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
};
