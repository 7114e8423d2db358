#pragma once

#include <QString>

// One device model of the catalog. Images name the models they run on by id.
struct CatalogDevice
{
    QString id; // unique among the catalog's devices
    QString name;
};
