#include "backend/backend.h"

#include "disks/filediskmonitor.h"

#include <QFileInfo>
#include <QLocale>

namespace {

QString formatSize(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace

Backend::Backend(const QString &manifest, const QString &targetFile, QObject *parent)
    : QObject(parent)
{
    Q_UNUSED(manifest);
    if (targetFile.isEmpty())
        m_monitor = createDiskMonitor();
    else
        m_monitor = std::make_unique<FileDiskMonitor>(targetFile);

    connect(this, &Backend::productChanged, this, &Backend::bootFilesChanged);
    connect(this, &Backend::imageChanged, this, &Backend::bootFilesChanged);
    connect(this, &Backend::imageChanged, this, &Backend::updateImageSize);
    connect(m_monitor.get(), &DiskMonitor::disksChanged, this, &Backend::updateDisks);
}

Backend::~Backend() = default;

QString Backend::appVersion() const
{
    return Version;
}

// ---- Catalog ---------------------------------------------------------------

QString Backend::minTessaroVersion() const
{
    return {};
}

QVariantList Backend::products() const
{
    return {};
}

QString Backend::productName() const
{
    return {};
}

QVariantList Backend::devices() const
{
    return {};
}

QString Backend::deviceName() const
{
    return {};
}

QVariantList Backend::images() const
{
    return {};
}

QString Backend::setupProductName() const
{
    return {};
}

void Backend::reloadCatalog()
{
}

void Backend::selectProduct(const QString &)
{
    setStep(Step::DeviceStep);
}

void Backend::selectDevice(const QString &)
{
    setStep(Step::ImageStep);
}

void Backend::selectImage(const QString &)
{
}

void Backend::updateImageSize()
{
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
    return {};
}

double Backend::progress() const
{
    return m_bytesTotal > 0 ? double(m_bytesDone) / double(m_bytesTotal) : 0.0;
}

QString Backend::speedText() const
{
    return {};
}

QString Backend::timeLeftText() const
{
    return {};
}

void Backend::startWrite()
{
}

void Backend::cancel()
{
}
