#include "backend/backend.h"

#include "disks/filediskmonitor.h"
#include "image/imagecache.h"
#include "image/imagedownload.h"
#include "image/remoteimage.h"
#include "image/zipimagesource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QThread>
#include <QVersionNumber>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace {

// A catalog transfer during which no data moves for this long is abandoned.
constexpr int CatalogTransferTimeout = 20000;

QString formatSize(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

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

// Also true for two names of one file (hard links).
bool isSameFile(const QString &a, const QString &b)
{
    if (resolvedPath(a) == resolvedPath(b))
        return true;
    std::error_code error;
    return std::filesystem::equivalent(std::filesystem::path(a.toStdU16String()),
                                       std::filesystem::path(b.toStdU16String()), error);
}

bool isInside(const QString &path, const QString &folder)
{
    return path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

} // namespace

Backend::Backend(const QString &manifest, const QString &targetFile, QObject *parent)
    : QObject(parent)
    , m_manifestUrl(QUrl::fromUserInput(manifest, QDir::currentPath(), QUrl::AssumeLocalFile))
    , m_targetFile(targetFile)
{
    if (targetFile.isEmpty())
        m_monitor = createDiskMonitor();
    else
        m_monitor = std::make_unique<FileDiskMonitor>(targetFile);

    connect(this, &Backend::productChanged, this, &Backend::bootFilesChanged);
    connect(this, &Backend::imageChanged, this, &Backend::bootFilesChanged);
    connect(this, &Backend::imageChanged, this, &Backend::updateImageSize);
    connect(m_monitor.get(), &DiskMonitor::disksChanged, this, &Backend::updateDisks);

    reloadCatalog();
}

Backend::~Backend()
{
    // The one place that blocks the GUI thread on the worker: a write still
    // running at exit is cancelled and waited for before anything it uses goes.
    if (m_thread) {
        m_job->cancel();
        m_thread->wait();
        delete m_thread;
        delete m_job;
    }
}

QString Backend::appVersion() const
{
    return Version;
}

// ---- Catalog ---------------------------------------------------------------

QString Backend::minTessaroVersion() const
{
    return m_catalog.minTessaroVersion().toString();
}

QVariantList Backend::products() const
{
    QVariantList list;
    if (m_catalogState != CatalogState::Ready)
        return list;
    for (const CatalogProduct &product : m_catalog.products()) {
        // A relative icon path names a file beside the catalog document.
        const QUrl icon = product.icon.isEmpty() ? QUrl() : m_manifestUrl.resolved(QUrl(product.icon));
        list.append(QVariantMap{
                {QStringLiteral("id"), product.id},
                {QStringLiteral("name"), product.name},
                {QStringLiteral("icon"), icon},
        });
    }
    return list;
}

QString Backend::productName() const
{
    const CatalogProduct *product = m_catalog.product(m_productId);
    return product ? product->name : QString();
}

QVariantList Backend::devices() const
{
    QVariantList list;
    for (const CatalogDevice &device : m_catalog.devicesFor(m_productId))
        list.append(QVariantMap{{QStringLiteral("id"), device.id}, {QStringLiteral("name"), device.name}});
    return list;
}

QString Backend::deviceName() const
{
    for (const CatalogDevice &device : m_catalog.devicesFor(m_productId)) {
        if (device.id == m_deviceId)
            return device.name;
    }
    return {};
}

QVariantList Backend::images() const
{
    QVariantList list;
    for (const CatalogImage &image : m_catalog.imagesFor(m_productId, m_deviceId)) {
        list.append(QVariantMap{
                {QStringLiteral("id"), image.id},
                {QStringLiteral("name"), image.name},
                {QStringLiteral("description"), image.description},
                {QStringLiteral("version"), image.version},
                {QStringLiteral("size"), formatSize(image.size)},
                {QStringLiteral("extractSize"), image.extractSize > 0 ? formatSize(image.extractSize) : QString()},
        });
    }
    return list;
}

QString Backend::setupProductName() const
{
    return bootFiles().isEmpty() ? QString() : productName();
}

QMap<QString, QByteArray> Backend::bootFiles() const
{
    if (m_imageUrl.isLocalFile())
        return m_catalog.localBootFiles(m_productId);
    return m_catalog.bootFilesFor(m_productId, m_imageId);
}

void Backend::reloadCatalog()
{
    if (m_catalogReply) {
        // A superseded request must never be applied: cut it off before aborting,
        // since abort() itself emits finished().
        m_catalogReply->disconnect(this);
        m_catalogReply->abort();
        m_catalogReply->deleteLater();
        m_catalogReply = nullptr;
    }

    m_catalogState = CatalogState::Loading;
    m_catalogError.clear();
    emit catalogChanged();

    if (m_manifestUrl.isLocalFile()) {
        QFile file(m_manifestUrl.toLocalFile());
        if (file.open(QIODevice::ReadOnly))
            applyManifest(file.readAll());
        else
            failCatalog(tr("The image catalog is not reachable: %1").arg(file.errorString()));
        return;
    }

    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setTransferTimeout(CatalogTransferTimeout);
    }
    QNetworkRequest request(m_manifestUrl);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    m_catalogReply = m_network->get(request);
    connect(m_catalogReply, &QNetworkReply::finished, this, &Backend::onCatalogReplyFinished);
}

void Backend::onCatalogReplyFinished()
{
    QNetworkReply *reply = m_catalogReply;
    m_catalogReply = nullptr;
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        failCatalog(tr("The image catalog is not reachable: %1").arg(reply->errorString()));
        return;
    }
    applyManifest(reply->readAll());
}

void Backend::applyManifest(const QByteArray &data)
{
    m_catalog = Catalog::parse(data, QVersionNumber::fromString(Version));
    for (const QString &message : m_catalog.validationErrors())
        qWarning("Manifest entry ignored: %s", qUtf8Printable(message));

    if (!m_catalog.isValid()) {
        failCatalog(tr("The image catalog is not valid: %1").arg(m_catalog.error()));
        return;
    }
    m_catalogState = m_catalog.requiresNewerTessaro() ? CatalogState::UpdateRequired : CatalogState::Ready;
    emit catalogChanged();
    if (m_catalogState == CatalogState::Ready && m_state != State::Writing)
        pruneCache();
    updateSelection(m_productId, m_deviceId, m_imageId, true);
}

void Backend::failCatalog(const QString &message)
{
    qWarning("Cannot load manifest %s: %s", qUtf8Printable(m_manifestUrl.toDisplayString()), qUtf8Printable(message));
    m_catalog = Catalog();
    m_catalogState = CatalogState::Unavailable;
    m_catalogError = message;
    emit catalogChanged();
    updateSelection(m_productId, m_deviceId, m_imageId, true);
}

void Backend::updateSelection(const QString &product, const QString &device, const QString &image, bool force)
{
    const auto hasId = [](const auto &list, const QString &id) {
        return std::any_of(list.cbegin(), list.cend(), [&id](const auto &entry) { return entry.id == id; });
    };

    const QString newProduct =
            m_catalogState == CatalogState::Ready && hasId(m_catalog.products(), product) ? product : QString();
    const QString newDevice = hasId(m_catalog.devicesFor(newProduct), device) ? device : QString();
    const QString newImage = hasId(m_catalog.imagesFor(newProduct, newDevice), image) ? image : QString();

    const bool productChange = force || newProduct != m_productId;
    const bool deviceChange = force || productChange || newDevice != m_deviceId;
    const bool imageChange = newImage != m_imageId;

    m_productId = newProduct;
    m_deviceId = newDevice;
    m_imageId = newImage;

    if (productChange)
        emit productChanged();
    if (deviceChange)
        emit deviceChanged();
    if (imageChange)
        emit imageChanged();
}

void Backend::selectProduct(const QString &id)
{
    updateSelection(id, m_deviceId, m_imageId, false);
    setStep(Step::DeviceStep);
}

void Backend::selectDevice(const QString &id)
{
    updateSelection(m_productId, id, m_imageId, false);
    setStep(Step::ImageStep);
}

void Backend::selectImage(const QString &id)
{
    const bool hadFile = !m_imageUrl.isEmpty();
    // Choosing a catalog build forgets the local file.
    m_imageUrl.clear();
    updateSelection(m_productId, m_deviceId, id, false);
    if (hadFile)
        emit imageChanged();
}

void Backend::updateImageSize()
{
    qint64 size = 0;
    if (m_imageUrl.isLocalFile()) {
        const std::unique_ptr<ImageSource> source = createLocalImageSource(m_imageUrl.toLocalFile());
        if (source->open())
            size = source->size();
    } else {
        for (const CatalogImage &image : m_catalog.imagesFor(m_productId, m_deviceId)) {
            if (image.id == m_imageId) {
                size = image.extractSize;
                break;
            }
        }
    }
    if (size == m_imageSize)
        return;
    m_imageSize = size;
    updateDisks();
}

void Backend::pruneCache() const
{
    QList<QByteArray> keep;
    for (const CatalogProduct &product : m_catalog.products()) {
        for (const CatalogImage &image : product.images)
            keep.append(QByteArray::fromHex(image.sha256.toLatin1()));
    }
    ImageCache(ImageCache::defaultDir()).prune(keep);
}

// ---- Local image and navigation ----------------------------------------------

void Backend::setImageUrl(const QUrl &url)
{
    if (url == m_imageUrl)
        return;
    m_imageUrl = url;
    // A chosen local file replaces a chosen catalog image.
    if (url.isValid())
        m_imageId.clear();
    emit imageChanged();
}

QString Backend::imageName() const
{
    if (!m_imageUrl.isLocalFile())
        return {};
    return QFileInfo(m_imageUrl.toLocalFile()).fileName();
}

bool Backend::imageReady() const
{
    return m_imageUrl.isLocalFile() || !m_imageId.isEmpty();
}

void Backend::setVerify(bool verify)
{
    if (verify == m_verify)
        return;
    m_verify = verify;
    emit verifyChanged();
}

void Backend::chooseDisk()
{
    if (imageReady())
        setStep(Step::DiskStep);
}

void Backend::useLocalFileOnly()
{
    setStep(Step::ImageStep);
}

void Backend::back()
{
    switch (m_step) {
    case Step::DiskStep:
        setStep(Step::ImageStep);
        break;
    case Step::ImageStep:
        setStep(m_productId.isEmpty() ? Step::ProductStep : Step::DeviceStep);
        break;
    case Step::DeviceStep:
        setStep(Step::ProductStep);
        break;
    case Step::ProductStep:
        break;
    }
}

void Backend::reset()
{
    switch (m_state) {
    case State::Writing:
    case State::Idle:
        return;
    case State::Done:
        if (!m_diskId.isEmpty()) {
            m_diskId.clear();
            emit diskChanged();
        }
        break;
    case State::Failed:
    case State::Cancelled:
        break;
    }
    setState(State::Idle);
}

void Backend::setStep(Step step)
{
    if (step == m_step)
        return;
    m_step = step;
    emit stepChanged();
}

void Backend::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged();
}

// ---- Disks ---------------------------------------------------------------------

QVariantList Backend::disks() const
{
    QVariantList list;
    for (const Disk &disk : m_monitor->disks()) {
        const bool enabled = m_imageSize <= 0 || disk.size >= m_imageSize;
        list.append(QVariantMap{
                {QStringLiteral("id"), disk.id},
                {QStringLiteral("device"), disk.device},
                {QStringLiteral("model"), disk.model},
                {QStringLiteral("size"), formatSize(disk.size)},
                {QStringLiteral("enabled"), enabled},
                {QStringLiteral("reason"),
                 enabled ? QString() : tr("Too small: the image needs %1").arg(formatSize(m_imageSize))},
        });
    }
    return list;
}

std::optional<Disk> Backend::findDisk(const QString &id) const
{
    for (const Disk &disk : m_monitor->disks()) {
        if (disk.id == id)
            return disk;
    }
    return std::nullopt;
}

std::optional<Disk> Backend::selectedDisk() const
{
    if (m_diskId.isEmpty())
        return std::nullopt;
    return findDisk(m_diskId);
}

QString Backend::diskName() const
{
    const std::optional<Disk> disk = selectedDisk();
    if (!disk)
        return {};
    if (disk->model.isEmpty())
        return disk->device;
    return QStringLiteral("%1 (%2)").arg(disk->model, disk->device);
}

QString Backend::diskSize() const
{
    const std::optional<Disk> disk = selectedDisk();
    return disk ? formatSize(disk->size) : QString();
}

bool Backend::canWrite() const
{
    return imageReady() && !m_diskId.isEmpty() && findDisk(m_diskId).has_value();
}

void Backend::selectDisk(const QString &id)
{
    const std::optional<Disk> disk = findDisk(id);
    if (!disk)
        return;
    if (m_imageSize > 0 && disk->size < m_imageSize)
        return;
    if (id == m_diskId)
        return;
    m_diskId = id;
    emit diskChanged();
}

void Backend::updateDisks()
{
    if (!m_diskId.isEmpty()) {
        const std::optional<Disk> disk = findDisk(m_diskId);
        if (!disk || (m_imageSize > 0 && disk->size < m_imageSize))
            m_diskId.clear();
    }
    emit disksChanged();
    emit diskChanged();
}

// ---- Write -----------------------------------------------------------------------

QString Backend::phaseLabel() const
{
    switch (m_phase) {
    case WriteJob::Phase::Downloading:
        return tr("Downloading");
    case WriteJob::Phase::Writing:
        return tr("Writing");
    case WriteJob::Phase::Verifying:
        return tr("Verifying");
    case WriteJob::Phase::Finalizing:
        return tr("Finalizing: setting up %1").arg(productName());
    }
    return {};
}

double Backend::progress() const
{
    return m_bytesTotal > 0 ? double(m_bytesDone) / double(m_bytesTotal) : 0.0;
}

QString Backend::speedText() const
{
    if (m_speed <= 0 || m_phase == WriteJob::Phase::Finalizing)
        return {};
    return tr("%1/s").arg(formatSize(qint64(m_speed)));
}

QString Backend::timeLeftText() const
{
    if (m_speed <= 0 || m_phase == WriteJob::Phase::Finalizing)
        return {};
    double seconds = double(m_bytesTotal - m_bytesDone) / m_speed;
    // While writing with verification on, the read-back of the whole image follows.
    if (m_phase == WriteJob::Phase::Writing && m_verify)
        seconds += double(m_bytesTotal) / m_speed;
    if (seconds < 60)
        return tr("less than a minute left");
    return tr("about %1 min left").arg(qint64(std::ceil(seconds / 60)));
}

void Backend::startWrite()
{
    if (m_state == State::Writing)
        return;
    if (!imageReady() || m_diskId.isEmpty())
        return;
    const std::optional<Disk> disk = findDisk(m_diskId);
    if (!disk)
        return;
    QString refusal = m_imageUrl.isLocalFile() ? QString() : catalogEntryRefusal();
    if (refusal.isEmpty())
        refusal = fileTargetRefusal();
    if (!refusal.isEmpty()) {
        refuseWrite(refusal);
        return;
    }
    std::unique_ptr<BlockDevice> device = m_monitor->createDevice(*disk);
    if (!device)
        return;

    const bool localFile = m_imageUrl.isLocalFile();
    WriteJob *job = nullptr;
    if (localFile) {
        job = new WriteJob(createLocalImageSource(m_imageUrl.toLocalFile()), std::move(device));
        m_writeName = imageName();
    } else {
        job = createCatalogJob(std::move(device));
        if (!job)
            return;
    }
    const QMap<QString, QByteArray> files = bootFiles();
    job->setVerify(m_verify);
    job->setBootFiles(files);
    m_jobHasBootFiles = !files.isEmpty();
    connect(job, &WriteJob::progress, this, &Backend::onProgress);

    m_job = job;
    m_thread = QThread::create([job] { job->run(); });
    connect(m_thread, &QThread::finished, this, &Backend::onJobFinished);

    m_speed = 0;
    m_phase = localFile ? WriteJob::Phase::Writing : WriteJob::Phase::Downloading;
    m_bytesDone = 0;
    m_bytesTotal = 0;
    m_speedSampleBytes = 0;
    restartSpeedTimer();
    emit progressChanged();

    m_cancelling = false;
    m_errorMessage.clear();
    setState(State::Writing);

    m_thread->start();
}

// The parser takes digests as they stand; one that cannot be a digest would
// let the whole archive be downloaded, or the whole card be written, before
// the write fails, and again on every retry.
QString Backend::catalogEntryRefusal() const
{
    const std::optional<CatalogImage> image = selectedImage();
    if (!image)
        return {};
    static const QRegularExpression digest(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!digest.match(image->sha256).hasMatch())
        return tr("The catalog entry of this image is faulty: its %1 is not a SHA-256 digest.")
                .arg(QStringLiteral("sha256"));
    if (!image->extractSha256.isEmpty() && !digest.match(image->extractSha256).hasMatch())
        return tr("The catalog entry of this image is faulty: its %1 is not a SHA-256 digest.")
                .arg(QStringLiteral("extractSha256"));
    // A catalog from a server must not make the computer open its own files,
    // and a file address with a host is another computer's share (on Windows
    // opening it sends the user's network credentials there).
    const QUrl url = m_manifestUrl.resolved(QUrl(image->url));
    const QString scheme = url.scheme();
    const bool allowed = scheme == QLatin1String("http") || scheme == QLatin1String("https")
            || (scheme == QLatin1String("file") && m_manifestUrl.isLocalFile() && url.host().isEmpty());
    if (!allowed)
        return tr("The catalog entry of this image is faulty: its address %1 is not allowed.")
                .arg(url.toDisplayString());
    return {};
}

std::optional<CatalogImage> Backend::selectedImage() const
{
    for (const CatalogImage &image : m_catalog.imagesFor(m_productId, m_deviceId)) {
        if (image.id == m_imageId)
            return image;
    }
    return std::nullopt;
}

// A file target is emptied before the image is read: it must not be the image
// itself, nor anything in the download cache the write reads from.
QString Backend::fileTargetRefusal() const
{
    if (m_targetFile.isEmpty())
        return {};
    const QString target = resolvedPath(m_targetFile);
    if (m_imageUrl.isLocalFile() && isSameFile(m_targetFile, m_imageUrl.toLocalFile()))
        return tr("Cannot write to %1: it is the image being written.").arg(m_targetFile);
    const QString cacheDir = ImageCache::defaultDir();
    if (isInside(target, resolvedPath(cacheDir)))
        return tr("Cannot write to %1: it is inside the download cache folder %2.").arg(m_targetFile, cacheDir);
    return {};
}

// A write refused before anything was opened ends at once, as a failed one.
void Backend::refuseWrite(const QString &message)
{
    m_errorMessage = message;
    m_cancelling = false;
    setState(State::Failed);
}

WriteJob *Backend::createCatalogJob(std::unique_ptr<BlockDevice> device)
{
    const std::optional<CatalogImage> image = selectedImage();
    if (!image)
        return nullptr;

    RemoteImage remote;
    // A relative url names a file beside the catalog document.
    remote.url = m_manifestUrl.resolved(QUrl(image->url));
    remote.size = image->size;
    remote.sha256 = QByteArray::fromHex(image->sha256.toLatin1());

    const ImageCache cache(ImageCache::defaultDir());
    auto *job = new WriteJob(std::make_unique<ZipImageSource>(cache.pathFor(remote.sha256)), std::move(device));
    job->setDownload(std::make_unique<ImageDownload>(cache, remote));
    // Both digest texts were checked before: an empty one means no check.
    job->setExpectedSha256(QByteArray::fromHex(image->extractSha256.toLatin1()));
    m_writeName = QStringLiteral("%1 %2 (%3)").arg(productName(), image->name, image->version);
    return job;
}

void Backend::restartSpeedTimer()
{
    m_speedTimer.start();
    m_speedTimerSkew = 0;
}

qint64 Backend::speedElapsed() const
{
    return m_speedTimer.elapsed() + m_speedTimerSkew;
}

void Backend::onProgress(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal)
{
    if (phase != m_phase) {
        // Every phase starts without a speed: its rate is its own.
        m_phase = phase;
        m_speed = 0;
        m_speedSampleBytes = bytesDone;
        restartSpeedTimer();
    } else if (const qint64 elapsed = speedElapsed(); elapsed > 999) {
        const double rate = double(bytesDone - m_speedSampleBytes) * 1000.0 / double(elapsed);
        m_speed = m_speed > 0 ? 0.3 * rate + 0.7 * m_speed : rate;
        m_speedSampleBytes = bytesDone;
        restartSpeedTimer();
    }
    m_bytesDone = bytesDone;
    m_bytesTotal = bytesTotal;
    emit progressChanged();
}

void Backend::onJobFinished()
{
    const WriteJob::Error error = m_job->error();
    QString message;
    if (error == WriteJob::Error::Cancelled && m_phase == WriteJob::Phase::Downloading) {
        message = tr("Download cancelled: the SD card was not touched. The download will resume where it stopped.");
    } else if (error == WriteJob::Error::Cancelled
               && (m_phase == WriteJob::Phase::Finalizing
                   || (m_phase == WriteJob::Phase::Verifying && m_jobHasBootFiles))) {
        // Cancelled while verifying, the boot files were never written either: the
        // card would not start as the product.
        message = tr("Cancelled before setting the product: the SD card would not start with the right product. "
                     "Write it again before using it.");
    } else if (error == WriteJob::Error::Cancelled && m_phase == WriteJob::Phase::Verifying) {
        message = tr("Verification was cancelled: the SD card was written but not checked.");
    } else {
        message = messageFor(error, m_job->errorDetail());
    }
    m_errorMessage = message;

    m_thread->deleteLater();
    m_job->deleteLater();
    m_thread = nullptr;
    m_job = nullptr;

    m_cancelling = false;
    switch (error) {
    case WriteJob::Error::None:
        setState(State::Done);
        break;
    case WriteJob::Error::Cancelled:
        setState(State::Cancelled);
        break;
    default:
        setState(State::Failed);
        break;
    }
}

QString Backend::messageFor(WriteJob::Error error, const QString &detail)
{
    using Error = WriteJob::Error;
    switch (error) {
    case Error::None:
        return {};
    case Error::SourceUnreadable:
        return tr("Cannot read the image: %1").arg(detail);
    case Error::UnsupportedImage:
        return tr("Unsupported zip format: %1").arg(detail);
    case Error::CorruptImage:
        return tr("The image file is damaged and the SD card is not usable: %1").arg(detail);
    case Error::ChecksumMismatch:
        return tr("The image does not match the catalog (checksum mismatch): the SD card is not usable. "
                  "Download the image again.");
    case Error::NetworkError:
        return tr("Download failed: %1. Check the network connection and retry.").arg(detail);
    case Error::DownloadChecksumMismatch:
        return tr("The downloaded image is damaged (checksum mismatch) and was discarded; the SD card was not "
                  "touched. Retry to download it again.");
    case Error::CacheFull:
        return tr("Not enough free disk space to download the image: %1").arg(detail);
    case Error::CacheIoError:
        return tr("Cannot save the image in the cache folder: %1").arg(detail);
    case Error::TargetUnavailable:
        return tr("Cannot open the SD card: %1").arg(detail);
    case Error::TargetTooSmall:
        return tr("The SD card is smaller than the image.");
    case Error::TargetIoError:
        return tr("Error reading or writing the SD card, it may be faulty: %1").arg(detail);
    case Error::TargetWriteProtected:
        return tr("The SD card is write-protected: move the lock switch on the card or adapter and retry.");
    case Error::TargetRemoved:
        return tr("The SD card was removed during the operation: insert it again and retry.");
    case Error::TargetPermissionDenied:
        return tr("Permission denied to access the SD card: %1").arg(detail);
    case Error::VerifyMismatch:
        return tr("Verification failed: the data read back from the SD card differs from what was written. "
                  "The SD card is probably faulty: try another one.");
    case Error::BootFilesFailed:
        return tr("The image was written but the product could not be set on the SD card: %1. "
                  "The device would not start with the right product: write the SD card again.")
                .arg(detail);
    case Error::Cancelled:
        return tr("Writing was cancelled: the SD card is incomplete and will not boot. "
                  "Write it again before using it.");
    }
    return {};
}

void Backend::cancel()
{
    if (m_state != State::Writing || m_cancelling)
        return;
    m_cancelling = true;
    m_job->cancel();
    emit stateChanged();
}
