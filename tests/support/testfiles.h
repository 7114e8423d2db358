#pragma once

// Files and bytes the tests make: written, read back and made up.

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

class QString;

// Writes bytes to a fresh file at path, making its folder where it is missing.
bool writeFile(const QString &path, const QByteArray &bytes);

// The file's bytes; a null array only when there is no file to read.
QByteArray readFile(const QString &path);

// The files and folders (with a trailing "/") of a folder, sorted by name.
QStringList folderEntries(const QString &dir);

QByteArray sha256(const QByteArray &bytes);
// The file's SHA-256, read in pieces; empty when it cannot be read.
QByteArray fileSha256(const QString &path);

// Bytes that do not compress, the same for the same seed.
QByteArray randomBytes(qint64 size, quint32 seed);

// The value's bytes, least significant first, as on-disk formats store them.
QByteArray le16(quint16 value);
QByteArray le32(quint32 value);
QByteArray le64(quint64 value);
// The little-endian value at offset; 0 when the bytes end before it.
quint16 le16At(const QByteArray &bytes, int offset);
quint32 le32At(const QByteArray &bytes, int offset);
