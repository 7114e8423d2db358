#include "backend/backend.h"

#include "core/catalogloader.h"
#include "core/writemessages.h"
#include "core/writeplan.h"
#include "disks/filediskmonitor.h"
#include "image/imagecache.h"
#include "image/zipimagesource.h"

#include <QFileInfo>
#include <QLocale>
#include <QThread>

#include <algorithm>

namespace {

QString formatSize(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace

Backend::Backend(const QString &manifest, const QString &targetFile, QObject *parent)
    : QObject(parent)
    , m_manifestUrl(CatalogLoader::locationFor(manifest))
    , m_loader(new CatalogLoader(this))
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
    connect(m_loader, &CatalogLoader::loaded, this, &Backend::applyCatalog);
    connect(m_loader, &CatalogLoader::failed, this, &Backend::failCatalog);

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
    m_catalogState = CatalogState::Loading;
    m_catalogError.clear();
    emit catalogChanged();
    // A catalog file is read, and applied, before load() returns.
    m_loader->load(m_manifestUrl);
}

void Backend::applyCatalog(const Catalog &catalog)
{
    m_catalog = catalog;
    for (const QString &message : m_catalog.validationErrors())
        qWarning("Manifest entry ignored: %s", qUtf8Printable(message));

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
    return m_meter.phaseLabel(productName());
}

double Backend::progress() const
{
    return m_meter.fraction();
}

QString Backend::speedText() const
{
    return m_meter.speedText();
}

QString Backend::timeLeftText() const
{
    return m_meter.timeLeftText(m_verify);
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

    const bool localFile = m_imageUrl.isLocalFile();
    const std::optional<WritePlan> plan = localFile
            ? WritePlan::forLocalFile(m_imageUrl.toLocalFile(), bootFiles())
            : WritePlan::forBuild(m_catalog, m_manifestUrl, m_productId, m_deviceId, m_imageId);
    if (plan) {
        QString refusal = plan->refusal();
        if (refusal.isEmpty() && !m_targetFile.isEmpty())
            refusal = plan->targetRefusal(m_targetFile);
        if (!refusal.isEmpty()) {
            refuseWrite(refusal);
            return;
        }
    }
    std::unique_ptr<BlockDevice> device = m_monitor->createDevice(*disk);
    if (!device || !plan)
        return; // a build gone from the catalog: the device is made, and dropped

    WriteJob *job = plan->createJob(std::move(device), m_verify).release();
    m_writeName = plan->name();
    m_jobHasBootFiles = !plan->bootFiles().isEmpty();
    connect(job, &WriteJob::progress, this, &Backend::onProgress);

    m_job = job;
    m_thread = QThread::create([job] { job->run(); });
    connect(m_thread, &QThread::finished, this, &Backend::onJobFinished);

    m_meter.start(localFile ? WriteJob::Phase::Writing : WriteJob::Phase::Downloading);
    emit progressChanged();

    m_cancelling = false;
    m_errorMessage.clear();
    setState(State::Writing);

    m_thread->start();
}

// A write refused before anything was opened ends at once, as a failed one.
void Backend::refuseWrite(const QString &message)
{
    m_errorMessage = message;
    m_cancelling = false;
    setState(State::Failed);
}

void Backend::onProgress(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal)
{
    m_meter.report(phase, bytesDone, bytesTotal);
    emit progressChanged();
}

void Backend::onJobFinished()
{
    const WriteJob::Error error = m_job->error();
    m_errorMessage = WriteMessages::forOutcome(error, m_job->errorDetail(), m_meter.phase(), m_jobHasBootFiles);

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
    return WriteMessages::forError(error, detail);
}

void Backend::cancel()
{
    if (m_state != State::Writing || m_cancelling)
        return;
    m_cancelling = true;
    m_job->cancel();
    emit stateChanged();
}
