#pragma once

// The download cache as the tests see it: a folder of the test process's own,
// so that the user's real cache stays out of the tests, and so that suites
// run side by side (ctest -j, or two checkouts on one machine) never see each
// other's files.

#include <QStringList>

namespace testcache {

// Moves the per-user cache location to a temporary folder of this process for
// the rest of the process.
void use();
// Empties the cache, even where a test left a file in the folder's place.
void clear();
// The names of the files in the cache, sorted.
QStringList files();

} // namespace testcache
