#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>
#include <QRandomGenerator>
#include <QtEndian>

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    // A fresh file rather than an emptied one: ext4 flushes a written file
    // to disk when it is truncated, which slows loops of rewrites down.
    QFile::remove(path);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = file.readAll();
    if (bytes.isNull())
        bytes = QByteArray("");
    return bytes;
}

QStringList folderEntries(const QString &dir)
{
    QStringList result;
    const QFileInfoList infos = QDir(dir).entryInfoList(
            QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : infos)
        result.append(info.fileName() + (info.isDir() ? QStringLiteral("/") : QString()));
    return result;
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray fileSha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

namespace {

template<typename T>
QByteArray leBytes(T value)
{
    QByteArray bytes(sizeof(T), '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

} // namespace

QByteArray le16(quint16 value)
{
    return leBytes(value);
}

QByteArray le32(quint32 value)
{
    return leBytes(value);
}

QByteArray le64(quint64 value)
{
    return leBytes(value);
}

quint16 le16At(const QByteArray &bytes, int offset)
{
    return bytes.size() >= offset + 2 ? qFromLittleEndian<quint16>(bytes.constData() + offset) : 0;
}

quint32 le32At(const QByteArray &bytes, int offset)
{
    return bytes.size() >= offset + 4 ? qFromLittleEndian<quint32>(bytes.constData() + offset) : 0;
}
