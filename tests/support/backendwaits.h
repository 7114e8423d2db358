#pragma once

#include <QString>

class Backend;

// A catalog location that never answers: a local file that does not exist.
inline const QString NoCatalog = QStringLiteral("/nonexistent/tessaro/images.json");

// Waits until the Backend has left the loading state of its catalog.
bool waitLoaded(Backend &backend);

// Waits until the chosen image has been read for what it tells before writing.
bool waitChecked(Backend &backend);
