#pragma once

// Helpers of the image tests: running the real archivers, test payloads, ZIP
// bytes put together by hand for the damaged cases no archiver produces, and
// streaming a source to its end.

#include "image/imagesource.h"
#include "support/programrun.h"
#include "support/testfiles.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testarchives {

// A disk-image-like payload: text, long runs of zeros and incompressible
// blocks, the same for the same seed.
QByteArray mixedPayload(qint64 size, quint32 seed);

// `fixedCodes`: only the fixed Huffman codes, whose end-of-block code is short.
QByteArray rawDeflate(const QByteArray &data, bool fixedCodes = false);
quint32 crc32Of(const QByteArray &data);

// Overwrite bytes [at, at + width) of `bytes`, least significant first.
void putLittleEndian16(QByteArray &bytes, qint64 at, quint16 value);
void putLittleEndian32(QByteArray &bytes, qint64 at, quint32 value);
void putLittleEndian64(QByteArray &bytes, qint64 at, quint64 value);

// Field offsets of the records, for the tests that damage them.
namespace Local {
constexpr int Size = 30, Flags = 6, Method = 8, Crc = 14, CompressedSize = 18, UncompressedSize = 22,
              NameLength = 26, ExtraLength = 28;
}
namespace Central {
constexpr int Size = 46, Flags = 8, Method = 10, Crc = 16, CompressedSize = 20, UncompressedSize = 24,
              NameLength = 28, ExtraLength = 30, CommentLength = 32, LocalHeaderOffset = 42;
}
namespace End {
constexpr int Size = 22, DiskNumber = 4, DirectoryDisk = 6, DiskEntries = 8, EntryCount = 10,
              DirectorySize = 12, DirectoryOffset = 16, CommentLength = 20;
}
namespace Zip64End {
constexpr int Size = 56, DiskEntries = 24, EntryCount = 32, DirectorySize = 40, DirectoryOffset = 48;
}
namespace Zip64Locator {
constexpr int Size = 20, EndRecordOffset = 8;
}

// One entry of a hand-made archive.
struct Entry {
    QByteArray name;
    QByteArray data;            // as stored in the archive: compressed for method 8
    quint16 method = 0;
    quint16 flags = 0;
    quint32 crc = 0;
    quint64 uncompressedSize = 0;
    bool zip64 = false;         // sizes and offset only in a zip64 extra field
    QByteArray extraBefore;     // extra-field bytes put before the zip64 record
    QByteArray extraAfter;      // and after it
};

Entry storedEntry(const QByteArray &name, const QByteArray &content);
Entry deflatedEntry(const QByteArray &name, const QByteArray &content, bool fixedCodes = false);

struct Archive {
    QByteArray bytes;
    QList<qint64> localHeaders;
    QList<qint64> centralHeaders;
    qint64 directory = -1;
    qint64 zip64EndRecord = -1;  // -1 when the archive has none
    qint64 zip64Locator = -1;
    qint64 endRecord = -1;
};

// Writes the entries, their central directory and the end record; with
// `zip64End` also the zip64 end record and its locator, the plain end record
// then pointing to them with 0xFFFF and 0xFFFFFFFF.
Archive buildZip(const QList<Entry> &entries, bool zip64End = false, const QByteArray &comment = {});

// Everything a caller sees when it streams a source to its end.
struct Outcome {
    bool opened = false;
    bool readFailed = false;
    int failure = -1;
    QString errorString;
    qint64 size = -1;
    QByteArray data;
    int reads = 0;              // successful read calls
};

Outcome stream(ImageSource &source, qint64 chunk);

// For the tests that compress a payload with the real tools: a folder whose
// disk.img holds it, and shell lines run in that folder.
class PayloadFolder
{
protected:
    bool createPayload(qint64 size, quint32 seed);
    // Empty on success, else what went wrong with the output.
    QString shell(const QString &line) const;
    QString path(const char *name) const;

    QTemporaryDir m_dir;
    QByteArray m_payload;
};

} // namespace testarchives
