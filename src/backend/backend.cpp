#include "backend/backend.h"

Backend::Backend(const QString &, const QString &, QObject *parent)
    : QObject(parent)
{
}

QString Backend::appVersion() const
{
    return Version;
}
