#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// The image files the window offers to write from the computer: the names
// the file dialog shows first, whether a file dropped on the window is one of
// them, and the folder the file dialog opens in.
namespace LocalImageFiles {

// "*.img", "*.zip", "*.img.xz", "*.img.zst", "*.bin": the names of the
// images Tessaro reads, matched in any letter case.
QStringList patterns();

// A local file (not a folder) that exists and whose name is one of patterns().
bool isImageFile(const QUrl &url);

// The folder of lastFile when it still exists, else the user's Downloads
// folder, else the home folder.
QUrl folderFor(const QUrl &lastFile);

} // namespace LocalImageFiles
