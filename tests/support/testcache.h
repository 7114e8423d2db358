#pragma once

// The download cache as the tests see it: QStandardPaths' test mode puts it
// in a folder of the tests' own, so the user's real cache stays out of them.

#include <QStringList>

namespace testcache {

// Switches QStandardPaths to its test folders for the rest of the process.
void use();
// Empties the cache, even where a test left a file in the folder's place.
void clear();
// The names of the files in the cache, sorted.
QStringList files();

} // namespace testcache
