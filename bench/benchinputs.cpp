#include "benchinputs.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

QByteArray randomBlock(qint64 size, QRandomGenerator &random)
{
    QByteArray block(size, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
    return block;
}

QByteArray textBlock(qint64 size, int seed)
{
    QByteArray text;
    text.reserve(size + 200);
    for (int line = 0; text.size() < size; ++line)
        text += "Jan 12 10:" + QByteArray::number(line % 60) + " tessaro kernel: [" + QByteArray::number(seed)
                + "." + QByteArray::number(line) + "] usb 1-1: new high-speed USB device number "
                + QByteArray::number(line % 127) + " using xhci_hcd\n";
    text.truncate(size);
    return text;
}

QByteArray libraryBytes(qint64 size)
{
    QByteArray bytes;
    const QDir dir(QStringLiteral("/usr/lib/x86_64-linux-gnu"));
    for (const QString &name : dir.entryList({QStringLiteral("*.so*")}, QDir::Files, QDir::Size)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            bytes += file.read(size - bytes.size());
        if (bytes.size() >= size)
            break;
    }
    while (bytes.size() < size && !bytes.isEmpty())
        bytes += bytes.left(size - bytes.size());
    return bytes;
}
