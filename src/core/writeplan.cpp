#include "core/writeplan.h"

#include "core/datasize.h"
#include "core/writemessages.h"
#include "disks/alignedbuffer.h"
#include "image/imagecache.h"
#include "image/imagedownload.h"
#include "image/imagesources.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>

#include <filesystem>

namespace {

// The absolute path that path names once symbolic links are followed, also for
// a file (and folders) that do not exist yet: the part that exists is resolved,
// the rest kept as written.
QString resolvedPath(const QString &path, int links = 0)
{
    const QFileInfo info(path);
    // A dangling link is written through: what counts is where it points.
    if (info.isSymLink() && !info.exists() && links < 16)
        return resolvedPath(info.absoluteDir().absoluteFilePath(info.symLinkTarget()), links + 1);
    QString existing = QDir::cleanPath(info.absoluteFilePath());
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            return QDir::cleanPath(existing + rest);
        rest.prepend(existing.mid(slash));
        existing = slash == 0 ? QStringLiteral("/") : existing.left(slash);
    }
    return QDir::cleanPath(QFileInfo(existing).canonicalFilePath() + rest);
}

// A disk or a volume: a block device (followed through links), or a name in
// Windows' device namespace (\\.\PhysicalDrive0, \\.\E:, \\?\Volume{...});
// "\\?\C:\..." and "\\?\UNC\..." are only long file names.
bool isDisk(const QString &path)
{
    std::error_code error;
    if (std::filesystem::is_block_file(std::filesystem::path(path.toStdU16String()), error))
        return true;
    static const QRegularExpression deviceName(QStringLiteral("^[\\\\/]{2}([.][\\\\/]|[?][\\\\/](?![A-Za-z]:|UNC[\\\\/]))"),
                                               QRegularExpression::CaseInsensitiveOption);
    return deviceName.match(path).hasMatch();
}

bool isInside(const QString &path, const QString &folder)
{
    return path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

bool isDigest(const QString &text)
{
    static const QRegularExpression digest(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return digest.match(text).hasMatch();
}

} // namespace

std::optional<WritePlan> WritePlan::forBuild(const Catalog &catalog, const QUrl &catalogUrl,
                                             const QString &productId, const QString &deviceId,
                                             const QString &imageId)
{
    const CatalogProduct *product = catalog.product(productId);
    if (!product)
        return std::nullopt;
    for (const CatalogImage &image : catalog.imagesFor(productId, deviceId)) {
        if (image.id != imageId)
            continue;
        WritePlan plan;
        plan.m_cacheDir = ImageCache::defaultDir();
        // A relative url names a file beside the catalog document.
        plan.m_remote.url = catalogUrl.resolved(QUrl(image.url));
        plan.m_remote.size = image.size;
        plan.m_remote.sha256 = QByteArray::fromHex(image.sha256.toLatin1());
        plan.m_sha256 = image.sha256;
        plan.m_extractSha256 = image.extractSha256;
        plan.m_extractSize = image.extractSize;
        plan.m_catalogIsFile = catalogUrl.isLocalFile();
        plan.m_bootFiles = catalog.bootFilesFor(productId, imageId);
        plan.m_name = QStringLiteral("%1 %2 (%3)").arg(product->name, image.name, image.version);
        return plan;
    }
    return std::nullopt;
}

WritePlan WritePlan::forLocalFile(const QString &path, const QMap<QString, QByteArray> &bootFiles)
{
    WritePlan plan;
    plan.m_localFile = path;
    plan.m_cacheDir = ImageCache::defaultDir();
    plan.m_bootFiles = bootFiles;
    plan.m_name = QFileInfo(path).fileName();
    return plan;
}

QString WritePlan::refusal() const
{
    if (!downloads())
        return {};
    // The parser takes digests as they stand; one that cannot be a digest
    // would let the whole archive be downloaded, or the whole card be
    // written, before the write failed, and again on every retry.
    if (!isDigest(m_sha256))
        return WriteMessages::faultyDigest(QStringLiteral("sha256"));
    if (!m_extractSha256.isEmpty() && !isDigest(m_extractSha256))
        return WriteMessages::faultyDigest(QStringLiteral("extractSha256"));
    // A catalog from a server must not make the computer open its own files,
    // and a file address with a host is another computer's share (on Windows
    // opening it sends the user's network credentials there).
    const QUrl &url = m_remote.url;
    const QString scheme = url.scheme();
    const bool allowed = scheme == QLatin1String("http") || scheme == QLatin1String("https")
            || (scheme == QLatin1String("file") && m_catalogIsFile && url.host().isEmpty());
    if (!allowed)
        return WriteMessages::addressNotAllowed(url.toDisplayString());
    return {};
}

QString WritePlan::targetRefusal(const QString &targetFile) const
{
    // A file target passes none of the disk rules: a disk is chosen as one.
    if (isDisk(targetFile))
        return WriteMessages::targetIsDisk(targetFile);
    if (!m_localFile.isEmpty() && isSameFile(targetFile, m_localFile))
        return WriteMessages::targetIsImage(targetFile);
    return cacheTargetRefusal(targetFile);
}

QString WritePlan::cacheTargetRefusal(const QString &targetFile)
{
    const QString cacheDir = ImageCache::defaultDir();
    if (isInside(resolvedPath(targetFile), resolvedPath(cacheDir)))
        return WriteMessages::targetInCache(targetFile, cacheDir);
    return {};
}

qint64 WritePlan::imageSize() const
{
    if (downloads() && m_extractSize > 0)
        return m_extractSize;
    if (downloads() && !QFileInfo(ImageCache(m_cacheDir).pathFor(m_remote.sha256)).isFile())
        return 0;
    const std::unique_ptr<ImageSource> source = createSource();
    return source->open() ? source->size() : 0;
}

QString WritePlan::targetFileRefusal(const QString &targetFile, qint64 imageSize)
{
    const QFileInfo target(resolvedPath(targetFile));
    if (target.isDir())
        return WriteMessages::targetIsFolder(targetFile);
    const QString folder = target.absolutePath();
    if (!target.exists() && !QFileInfo(folder).isDir())
        return WriteMessages::targetFolderMissing(targetFile, folder);

    // A device node is left to the write: opening one may wait (a pipe) or
    // hold what it holds.
    const bool existed = target.exists();
    if (existed && !target.isFile())
        return {};
    // Asked of the file itself, as permissions alone do not tell (root on a
    // read-only file system): opened without emptying it, or made and removed.
    QFile probe(target.filePath());
    if (!probe.open(existed ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly | QIODevice::NewOnly))
        return WriteMessages::targetNotWritable(targetFile, probe.errorString());
    probe.close();
    if (!existed)
        probe.remove();

    // The file grows on its file system, with the room it takes now, as it is
    // emptied first.
    if (imageSize <= 0)
        return {};
    const QStorageInfo storage(folder);
    if (!storage.isValid() || !storage.isReady())
        return {};
    const qint64 room = storage.bytesAvailable() + (existed ? target.size() : 0);
    if (room < AlignedBuffer::roundUp(imageSize, 512))
        return WriteMessages::targetFileTooSmall(targetFile, formatDataSize(imageSize), formatDataSize(room));
    return {};
}

QString WritePlan::diskRefusal(const Disk &disk, qint64 imageSize)
{
    if (imageSize <= 0 || disk.size >= imageSize)
        return {};
    return WriteMessages::diskTooSmall(disk.device, formatDataSize(imageSize), formatDataSize(disk.size));
}

bool WritePlan::isSameFile(const QString &a, const QString &b)
{
    if (resolvedPath(a) == resolvedPath(b))
        return true;
    std::error_code error;
    return std::filesystem::equivalent(std::filesystem::path(a.toStdU16String()),
                                       std::filesystem::path(b.toStdU16String()), error);
}

std::unique_ptr<ImageDownload> WritePlan::createDownload() const
{
    return std::make_unique<ImageDownload>(ImageCache(m_cacheDir), m_remote);
}

ImageFormat WritePlan::imageFormat() const
{
    return downloads() ? ImageFormat::Zip : localImageFormat(m_localFile);
}

bool WritePlan::imageAvailable() const
{
    return !downloads() || QFileInfo::exists(imagePath());
}

QString WritePlan::imagePath() const
{
    return downloads() ? ImageCache(m_cacheDir).pathFor(m_remote.sha256) : m_localFile;
}

std::unique_ptr<ImageSource> WritePlan::createSource() const
{
    if (downloads())
        return std::make_unique<ZipImageSource>(imagePath());
    return createLocalImageSource(m_localFile);
}

std::unique_ptr<WriteJob> WritePlan::createJob(std::unique_ptr<BlockDevice> device, bool verify) const
{
    auto job = std::make_unique<WriteJob>(createSource(), std::move(device));
    if (downloads())
        job->setDownload(createDownload());
    configure(*job, verify);
    return job;
}

std::unique_ptr<WriteJob> WritePlan::createJob(std::shared_ptr<ImageFeed> feed, int reader,
                                               std::unique_ptr<BlockDevice> device, bool verify) const
{
    auto job = std::make_unique<WriteJob>(std::move(feed), reader, std::move(device));
    configure(*job, verify);
    return job;
}

void WritePlan::configure(WriteJob &job, bool verify) const
{
    // Both digest texts were checked by refusal(): an empty one means no check.
    if (downloads())
        job.setExpectedSha256(QByteArray::fromHex(m_extractSha256.toLatin1()));
    job.setVerify(verify);
    job.setBootFiles(m_bootFiles);
    if (!m_bootFiles.isEmpty())
        job.setBootPartitionCheck(createSource());
}

QString WritePlan::outcomeMessage(WriteJob::Error error, const QString &detail, WriteJob::Phase phase,
                                  bool cardTouched) const
{
    return WriteMessages::forOutcome(error, detail, phase, !m_bootFiles.isEmpty(), imageFormat(), cardTouched);
}
