#pragma once

#include <QString>

// The FAT 8.3 short-name rule, shared with the catalog parser: a base of up to
// eight characters and an optional extension of up to three, each made of
// ASCII letters, digits and !#$%&'()-@^_`{}~ and not mixing letter cases.
bool isFatShortName(const QString &name);
