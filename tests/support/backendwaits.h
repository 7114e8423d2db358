#pragma once

#include <QString>

class Backend;

// A catalog path that never exists: the Backend loads no catalog from it.
inline const QString NoCatalog = QStringLiteral("/nonexistent/tessaro/images.json");

// Waits until the Backend has left the loading state of its catalog.
bool waitLoaded(Backend &backend);
