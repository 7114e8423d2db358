#include "support/cardimage.h"

#include "support/programrun.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

namespace MbrEntry {
constexpr int First = 446;
constexpr int Type = 4;
constexpr int StartLba = 8;     // 32 bit
constexpr int SectorCount = 12; // 32 bit
}

QProcessEnvironment toolEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // mtools would refuse geometries that do not match a floppy or a disk
    // it knows; a partition inside an image file is neither.
    environment.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
    environment.insert(QStringLiteral("MTOOLSRC"), QStringLiteral("/dev/null"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return environment;
}

// Copies length bytes at offset of source into a new file at target, keeping
// holes as holes: a 2 GiB partition of mostly unwritten clusters copies in
// milliseconds.
bool copySparse(const QString &source, qint64 offset, qint64 length, const QString &target, QString *error)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(source, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        *error = QStringLiteral("cannot create %1: %2").arg(target, QString::fromLocal8Bit(strerror(errno)));
        ::close(in);
        return false;
    }
    bool ok = ::ftruncate(out, length) == 0;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 position = offset;
    const qint64 end = offset + length;
    while (ok && position < end) {
        const off_t data = ::lseek(in, position, SEEK_DATA);
        if (data < 0 || data >= end)
            break; // only holes left
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0 || hole > end)
            hole = end;
        for (qint64 at = data; ok && at < hole;) {
            const qint64 chunk = qMin<qint64>(buffer.size(), hole - at);
            const ssize_t got = ::pread(in, buffer.data(), size_t(chunk), at);
            ok = got > 0 && ::pwrite(out, buffer.constData(), size_t(got), at - offset) == got;
            at += got;
        }
        position = hole;
    }
    if (!ok)
        *error = QStringLiteral("cannot copy the partition: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    ::close(out);
    ::close(in);
    return ok;
}

} // namespace

CardImage::CardImage(const QString &path, qint64 partitionOffset, qint64 partitionBytes)
    : m_path(path)
    , m_partitionOffset(partitionOffset)
    , m_partitionBytes(partitionBytes)
{
}

bool CardImage::fail(const QString &text)
{
    m_errorString = text;
    return false;
}

bool CardImage::run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    ProgramOptions options;
    options.environment = toolEnvironment();
    options.timeoutMs = 60000;
    const ProgramRun run = runProgram(program, arguments, options);
    *output = run.output;
    // A file shown by mtype must not mix with warnings; a failure shows both.
    if (!run.succeeded())
        *output += run.errors + (run.exitCode == -1 ? "\n" + run.problem.toLocal8Bit() : QByteArray());
    return run.succeeded();
}

QByteArray CardImage::mbrSector(quint8 type, quint32 startLba, quint32 sectorCount)
{
    QByteArray sector(512, '\0');
    char *entry = sector.data() + MbrEntry::First;
    entry[MbrEntry::Type] = char(type);
    qToLittleEndian<quint32>(startLba, entry + MbrEntry::StartLba);
    qToLittleEndian<quint32>(sectorCount, entry + MbrEntry::SectorCount);
    sector[510] = char(0x55);
    sector[511] = char(0xAA);
    return sector;
}

bool CardImage::create(const QString &path, const Options &options)
{
    m_path = path;
    m_partitionOffset = options.partitionLba * 512;
    m_partitionBytes = options.partitionBytes;
    if (m_partitionBytes == 0) {
        // A little above the fewest clusters of the type (4085 for FAT16,
        // 65525 for FAT32), plus room for the FATs, the root directory and
        // mkfs.fat's alignment of the data region.
        const qint64 clusters = options.fatBits == 32 ? 66000 : 4300;
        m_partitionBytes = clusters * options.clusterBytes + 2 * 1024 * 1024;
    }
    // Whole 4096-byte sectors, so that a 4096-byte-sector device can hold it.
    m_partitionBytes -= m_partitionBytes % 4096;

    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return fail(QStringLiteral("cannot create %1: %2").arg(path, file.errorString()));
    const quint8 type = options.partitionType != 0 ? options.partitionType : (options.fatBits == 32 ? 0x0C : 0x0E);
    const QByteArray mbr = mbrSector(type, quint32(options.partitionLba), quint32(m_partitionBytes / 512));
    if (file.write(mbr) != mbr.size() || !file.resize(m_partitionOffset + m_partitionBytes))
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    file.close();

    QStringList arguments{
        QStringLiteral("-F"), QString::number(options.fatBits),
        QStringLiteral("-S"), QString::number(options.sectorBytes),
        QStringLiteral("-s"), QString::number(options.clusterBytes / options.sectorBytes),
        QStringLiteral("-f"), QString::number(options.fatCount),
        QStringLiteral("-h"), QString::number(m_partitionOffset / options.sectorBytes),
        // mkfs.fat counts the offset in the file system's own sectors.
        QStringLiteral("--offset=%1").arg(m_partitionOffset / options.sectorBytes),
        QStringLiteral("--invariant"),
    };
    if (!options.label.isEmpty())
        arguments << QStringLiteral("-n") << options.label;
    if (options.rootEntries > 0)
        arguments << QStringLiteral("-r") << QString::number(options.rootEntries);
    arguments << path << QString::number(m_partitionBytes / 1024);
    QByteArray output;
    if (!run(QStringLiteral("mkfs.fat"), arguments, &output))
        return fail(QStringLiteral("mkfs.fat %1 failed:\n%2").arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(output)));
    return true;
}

// fsck.fat has no offset option: it checks a copy of the partition. Whether
// fsck.fat found the volume clean goes to *clean.
bool CardImage::fsckCopy(const QStringList &options, QByteArray *output, bool *clean)
{
    QTemporaryFile copy(m_path + QStringLiteral(".partition-XXXXXX"));
    if (!copy.open())
        return fail(QStringLiteral("cannot create a partition copy: %1").arg(copy.errorString()));
    copy.close();
    QString error;
    if (!copySparse(m_path, m_partitionOffset, m_partitionBytes, copy.fileName(), &error))
        return fail(error);
    *clean = run(QStringLiteral("fsck.fat"), options + QStringList{copy.fileName()}, output);
    return true;
}

bool CardImage::fsck()
{
    QByteArray output;
    bool clean = false;
    if (!fsckCopy({QStringLiteral("-n")}, &output, &clean))
        return false;
    if (!clean)
        return fail(QStringLiteral("fsck.fat -n reports errors:\n%1").arg(QString::fromLocal8Bit(output)));
    return true;
}

bool CardImage::readLayout()
{
    QByteArray output;
    bool clean = false;
    // A damaged volume makes fsck.fat exit with 1; the layout is still printed.
    if (!fsckCopy({QStringLiteral("-n"), QStringLiteral("-v")}, &output, &clean))
        return false;
    const QString text = QString::fromLocal8Bit(output);
    auto number = [&text](const QString &pattern, qint64 *value) {
        const QRegularExpressionMatch match = QRegularExpression(pattern).match(text);
        if (match.hasMatch())
            *value = match.captured(1).toLongLong();
        return match.hasMatch();
    };
    Layout layout;
    qint64 value = 0;
    bool ok = number(QStringLiteral("(\\d+) bytes per cluster"), &layout.clusterBytes)
            && number(QStringLiteral("First FAT starts at byte (\\d+)"), &layout.fatOffset)
            && number(QStringLiteral("(\\d+) bytes per FAT"), &layout.fatBytes)
            && number(QStringLiteral("Data area starts at byte (\\d+)"), &layout.dataOffset);
    ok = ok && number(QStringLiteral("(\\d+) FATs?,"), &value);
    layout.fatCount = int(value);
    ok = ok && number(QStringLiteral("FATs?, (\\d+) bit entries"), &value);
    layout.fatBits = int(value);
    ok = ok && number(QStringLiteral("(\\d+) data clusters"), &value);
    layout.clusters = quint32(value);
    if (number(QStringLiteral("Root directory starts at byte (\\d+)"), &layout.rootOffset)) {
        layout.rootOffset += m_partitionOffset;
        number(QStringLiteral("(\\d+) root directory entries"), &value);
        layout.rootEntries = int(value);
    } else if (number(QStringLiteral("Root directory start at cluster (\\d+)"), &value)) {
        layout.rootCluster = quint32(value);
    } else {
        ok = false;
    }
    if (!ok)
        return fail(QStringLiteral("cannot read the layout from fsck.fat -v:\n%1").arg(text));
    layout.fatOffset += m_partitionOffset;
    layout.dataOffset += m_partitionOffset;
    m_layout = layout;
    return true;
}

quint32 CardImage::fatEntry(quint32 cluster, int copy) const
{
    const int width = m_layout.fatBits / 8;
    const QByteArray bytes = read(m_layout.fatOffset + copy * m_layout.fatBytes + qint64(cluster) * width, width);
    if (bytes.size() != width)
        return 0xFFFFFFFF;
    return width == 4 ? qFromLittleEndian<quint32>(bytes.constData()) & 0x0FFFFFFF
                      : qFromLittleEndian<quint16>(bytes.constData());
}

qint64 CardImage::clusterOffset(quint32 cluster) const
{
    return m_layout.dataOffset + (qint64(cluster) - 2) * m_layout.clusterBytes;
}

QString CardImage::drive() const
{
    return QStringLiteral("%1@@%2").arg(m_path).arg(m_partitionOffset);
}

bool CardImage::runMtools(const QString &program, const QStringList &arguments, QByteArray *output)
{
    if (run(program, QStringList{QStringLiteral("-i"), drive()} + arguments, output))
        return true;
    return fail(QStringLiteral("%1 %2 failed:\n%3")
                        .arg(program, arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(*output)));
}

std::optional<QByteArray> CardImage::mtype(const QString &name)
{
    QByteArray output;
    if (!runMtools(QStringLiteral("mtype"), {QStringLiteral("::") + name}, &output))
        return std::nullopt;
    return output;
}

bool CardImage::holds(const QMap<QString, QByteArray> &files)
{
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const std::optional<QByteArray> shown = mtype(file.key());
        if (!shown)
            return false;
        if (*shown != file.value())
            return fail(QStringLiteral("%1 holds %2 bytes \"%3\", not %4 bytes \"%5\"")
                                .arg(file.key())
                                .arg(shown->size())
                                .arg(QString::fromLatin1(shown->left(40).toPercentEncoding(" ")))
                                .arg(file.value().size())
                                .arg(QString::fromLatin1(file.value().left(40).toPercentEncoding(" "))));
    }
    return true;
}

std::optional<QStringList> CardImage::mdir()
{
    QByteArray output;
    if (!runMtools(QStringLiteral("mdir"), {QStringLiteral("-b"), QStringLiteral("::")}, &output))
        return std::nullopt;
    QStringList names;
    const QList<QByteArray> lines = output.split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("::/"))
            names << QString::fromLatin1(line.mid(3));
    }
    return names;
}

bool CardImage::mcopy(const QString &name, const QByteArray &data)
{
    QTemporaryFile source;
    if (!source.open() || source.write(data) != data.size() || !source.flush())
        return fail(QStringLiteral("cannot write a file for mcopy: %1").arg(source.errorString()));
    QByteArray output;
    return runMtools(QStringLiteral("mcopy"),
                     {QStringLiteral("-D"), QStringLiteral("o"), source.fileName(), QStringLiteral("::") + name},
                     &output);
}

bool CardImage::mmd(const QString &name)
{
    QByteArray output;
    return runMtools(QStringLiteral("mmd"), {QStringLiteral("::") + name}, &output);
}

bool CardImage::mdel(const QString &name)
{
    QByteArray output;
    return runMtools(QStringLiteral("mdel"), {QStringLiteral("::") + name}, &output);
}

QByteArray CardImage::read(qint64 offset, qint64 length) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    return file.read(length);
}

bool CardImage::patch(qint64 offset, const QByteArray &bytes)
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(offset) || file.write(bytes) != bytes.size())
        return fail(QStringLiteral("cannot patch %1: %2").arg(m_path, file.errorString()));
    return true;
}
