#pragma once

#include <QString>

class Backend;

// A catalog location that never answers: a local file that does not exist.
inline const QString NoCatalog = QStringLiteral("/nonexistent/tessaro/images.json");

// Waits until the Backend has left the loading state of its catalog.
bool waitLoaded(Backend &backend);
