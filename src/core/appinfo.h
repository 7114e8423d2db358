#pragma once

#include <QString>

// What both front ends tell about the application.
namespace AppInfo {

// Also what the catalog's minimum version is compared with.
inline const QString Version = QStringLiteral("0.1.0");

// The maker's catalog, read when no other is given.
inline const QString DefaultCatalog = QStringLiteral("http://images.tessaro.example/images/images.json");

} // namespace AppInfo
