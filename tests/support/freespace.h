#pragma once

#include <QtGlobal>

class QString;

// Free bytes on the volume that holds path (or, while path does not exist
// yet, its nearest existing parent folder), or -1 where the system cannot
// tell, as in some containers and on some network file systems. The
// download checks the free space only where it is known, so the tests of
// that check skip where it is not.
qint64 knownFreeSpace(const QString &path);
