#pragma once

#include <QString>
#include <QStringList>

// Whether the words the user typed, separated by blanks, are the names of the
// cards about to be erased, each once and in any order. A name with blanks in
// it (a path, a Windows drive with its letters) is typed as its words.
bool namesConfirmed(const QString &typed, const QStringList &names);
