#pragma once

#include <QString>

// What every platform's block device tells the user about the disk itself,
// worded once; %1 is the disk (or the volume that holds it busy).
namespace disktexts {

inline const QString InUse = QStringLiteral("%1 is in use by another program: close it and retry");
inline const QString WriteProtected = QStringLiteral("%1 is write-protected");
inline const QString NoMedia = QStringLiteral("no media in %1");
inline const QString NoLongerConnected = QStringLiteral("%1 is no longer connected");
inline const QString Replaced = QStringLiteral("%1 was replaced by another disk");
inline const QString NotRemovable = QStringLiteral("%1 is not a removable disk");

} // namespace disktexts
