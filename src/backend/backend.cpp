#include "backend/backend.h"

#include "core/appinfo.h"
#include "core/datasize.h"
#include "core/writemessages.h"
#include "core/writeplan.h"
#include "backend/localimagefiles.h"
#include "disks/filediskmonitor.h"

namespace {

std::unique_ptr<DiskMonitor> monitorFor(const QString &targetFile)
{
    if (targetFile.isEmpty())
        return createDiskMonitor();
    return std::make_unique<FileDiskMonitor>(targetFile);
}

// The failures that another attempt at the same write may mend: the network
// or the card comes back, the lock switch is moved, a damaged download is
// fetched again.
bool isRetryable(WriteJob::Error error)
{
    using Error = WriteJob::Error;
    switch (error) {
    case Error::NetworkError:
    case Error::DownloadChecksumMismatch:
    case Error::CacheFull:
    case Error::CacheIoError:
    case Error::ChecksumMismatch:
    case Error::TargetRemoved:
    case Error::TargetWriteProtected:
        return true;
    default:
        return false;
    }
}

bool isDownloadFailure(WriteJob::Error error)
{
    using Error = WriteJob::Error;
    return error == Error::NetworkError || error == Error::DownloadChecksumMismatch || error == Error::CacheFull
            || error == Error::CacheIoError;
}

} // namespace

Backend::Backend(const QString &manifest, const QString &targetFile, QObject *parent)
    : QObject(parent)
    , m_targetFile(targetFile)
    , m_selection(new CatalogSelection(manifest, this))
    , m_disks(new DiskChoice(monitorFor(targetFile), this))
    , m_run(new WriteRun(this))
    , m_check(new ImageCheck(this))
{
    connect(m_selection, &CatalogSelection::catalogChanged, this, &Backend::catalogChanged);
    connect(m_selection, &CatalogSelection::productChanged, this, &Backend::productChanged);
    connect(m_selection, &CatalogSelection::deviceChanged, this, &Backend::deviceChanged);
    connect(m_selection, &CatalogSelection::imageChanged, this, &Backend::imageChanged);
    connect(m_disks, &DiskChoice::disksChanged, this, &Backend::disksChanged);
    connect(m_disks, &DiskChoice::diskChanged, this, &Backend::diskChanged);
    connect(m_run, &WriteRun::progressChanged, this, &Backend::progressChanged);
    connect(m_run, &WriteRun::finished, this, &Backend::onWriteFinished);

    connect(m_disks, &DiskChoice::disksChanged, this, &Backend::ejectChanged);
    connect(m_disks, &DiskChoice::powerOffFinished, this, &Backend::onPowerOffFinished);

    connect(this, &Backend::productChanged, this, &Backend::bootFilesChanged);
    connect(this, &Backend::imageChanged, this, &Backend::bootFilesChanged);
    // A new image is read at once for what it tells before writing; a new
    // product needs its own choice about the set-up.
    connect(m_selection, &CatalogSelection::imageChanged, this, &Backend::checkImage);
    connect(m_selection, &CatalogSelection::imageChanged, this, &Backend::forgetWithoutSetup);
    connect(m_selection, &CatalogSelection::productChanged, this, &Backend::forgetWithoutSetup);
    connect(this, &Backend::imageChanged, this, &Backend::imageCheckChanged);
    connect(this, &Backend::productChanged, this, &Backend::imageCheckChanged);
    connect(m_check, &ImageCheck::changed, this, &Backend::imageCheckChanged);
    connect(this, &Backend::imageCheckChanged, this, &Backend::updateImageSize);
    updateImageSize();


    reloadCatalog();
}

Backend::~Backend()
{
    // A write still running is cancelled and waited for before the disk
    // monitor and the catalog it was made from go.
    delete m_run;
}

QString Backend::appVersion() const
{
    return AppInfo::Version;
}

// ---- Catalog and selection -------------------------------------------------

// QML reads the selection's state as a CatalogState.
static_assert(int(Backend::CatalogState::Loading) == int(CatalogSelection::State::Loading)
              && int(Backend::CatalogState::Ready) == int(CatalogSelection::State::Ready)
              && int(Backend::CatalogState::Unavailable) == int(CatalogSelection::State::Unavailable)
              && int(Backend::CatalogState::UpdateRequired) == int(CatalogSelection::State::UpdateRequired));

Backend::CatalogState Backend::catalogState() const
{
    return static_cast<CatalogState>(m_selection->state());
}

QString Backend::catalogError() const
{
    return m_selection->error();
}

QString Backend::minTessaroVersion() const
{
    return m_selection->catalog().minTessaroVersion().toString();
}

QVariantList Backend::products() const
{
    return m_selection->products();
}

int Backend::catalogFailures() const
{
    return m_selection->failures();
}

QString Backend::productId() const
{
    return m_selection->productId();
}

QString Backend::productName() const
{
    return m_selection->productName();
}

QVariantList Backend::devices() const
{
    return m_selection->devices();
}

QString Backend::deviceId() const
{
    return m_selection->deviceId();
}

QString Backend::deviceName() const
{
    return m_selection->deviceName();
}

QVariantList Backend::images() const
{
    // A build whose catalog entry cannot be right is listed, disabled, with
    // the reason.
    QVariantList list = m_selection->images();
    for (QVariant &entry : list) {
        QVariantMap image = entry.toMap();
        const std::optional<WritePlan> plan =
                WritePlan::forBuild(m_selection->catalog(), m_selection->manifestUrl(), productId(), deviceId(),
                                    image.value(QStringLiteral("id")).toString());
        const QString refusal = plan ? plan->refusal() : QString();
        image.insert(QStringLiteral("enabled"), refusal.isEmpty());
        image.insert(QStringLiteral("reason"), refusal);
        entry = image;
    }
    return list;
}

QString Backend::imageId() const
{
    return m_selection->imageId();
}

QUrl Backend::imageUrl() const
{
    return m_selection->imageUrl();
}

void Backend::setImageUrl(const QUrl &url)
{
    if (url.isLocalFile())
        m_lastImageFile = url;
    m_selection->setImageUrl(url);
}

QString Backend::imageName() const
{
    return m_selection->imageName();
}

std::optional<WritePlan> Backend::chosenPlan() const
{
    const QUrl imageUrl = m_selection->imageUrl();
    if (imageUrl.isLocalFile())
        return WritePlan::forLocalFile(imageUrl.toLocalFile(), m_selection->bootFiles());
    if (imageId().isEmpty())
        return std::nullopt;
    return WritePlan::forBuild(m_selection->catalog(), m_selection->manifestUrl(), productId(), deviceId(),
                               imageId());
}

const ImageProbe *Backend::probe() const
{
    if (m_check->path().isEmpty() || m_check->running())
        return nullptr;
    return &m_check->result();
}

void Backend::checkImage()
{
    // A build is read from its archive once that is in the cache; before,
    // the job reads it after the download, before the card is opened.
    const std::optional<WritePlan> plan = chosenPlan();
    if (!plan || !plan->refusal().isEmpty() || !plan->imageAvailable()) {
        m_check->clear();
        return;
    }
    m_check->start(plan->imagePath(), plan->createSource());
}

void Backend::updateImageSize()
{
    qint64 size = m_selection->imageSize();
    const ImageProbe *result = probe();
    if (size <= 0 && result && result->opened)
        size = result->size;
    m_disks->setImageSize(size);
    // A file that cannot stand in for the card is shown, disabled, with the
    // reason; whether it has room depends on the image.
    if (!m_targetFile.isEmpty() && size != m_targetCheckedFor) {
        m_targetCheckedFor = size;
        QString refusal = WritePlan::cacheTargetRefusal(m_targetFile);
        if (refusal.isEmpty())
            refusal = WritePlan::targetFileRefusal(m_targetFile, size);
        m_disks->refuse(m_targetFile, refusal);
    }
}

bool Backend::imageReady() const
{
    if (!m_selection->imageReady() || !imageRefusal().isEmpty())
        return false;
    return m_writeWithoutSetup || setupRefusal().isEmpty();
}

bool Backend::imageChecking() const
{
    return m_check->running();
}

QString Backend::imageRefusal() const
{
    const std::optional<WritePlan> plan = chosenPlan();
    if (!plan)
        return {};
    if (QString refusal = plan->refusal(); !refusal.isEmpty())
        return refusal;
    // A target that is no card at all is refused on the disk page; one that
    // is this very image, here.
    if (!m_targetFile.isEmpty() && WritePlan::cacheTargetRefusal(m_targetFile).isEmpty()) {
        if (QString refusal = plan->targetRefusal(m_targetFile); !refusal.isEmpty())
            return refusal;
    }
    // A build's archive is downloaded again when it is found damaged; a
    // local file is what it is.
    const ImageProbe *result = probe();
    if (plan->downloads() || !result)
        return {};
    return WriteMessages::imageRefusal(*result, plan->imageFormat());
}

QString Backend::setupRefusal() const
{
    const ImageProbe *result = probe();
    if (m_selection->bootFiles().isEmpty() || !result || result->bootPartition != ImageProbe::BootPartition::Missing)
        return {};
    return WriteMessages::setupRefusal(productName(), result->bootProblem);
}

void Backend::setWriteWithoutSetup(bool without)
{
    if (without == m_writeWithoutSetup)
        return;
    m_writeWithoutSetup = without;
    emit imageCheckChanged();
    emit bootFilesChanged();
}

void Backend::forgetWithoutSetup()
{
    setWriteWithoutSetup(false);
}

QString Backend::imageDescription() const
{
    if (m_selection->imageUrl().isLocalFile())
        return imageName();
    const CatalogImage *image = m_selection->image();
    if (!image)
        return {};
    return QStringLiteral("%1 · %2 · %3 %4").arg(productName(), deviceName(), image->name, image->version);
}

QString Backend::imageSizeText() const
{
    if (m_disks->imageSize() > 0)
        return formatDataSize(m_disks->imageSize());
    const CatalogImage *image = m_selection->image();
    if (!m_selection->imageUrl().isLocalFile() && image && image->size > 0)
        return tr("%1 download").arg(formatDataSize(image->size));
    return {};
}

QString Backend::imageFilePatterns() const
{
    return LocalImageFiles::patterns().join(QLatin1Char(' '));
}

QUrl Backend::imageFolder() const
{
    return LocalImageFiles::folderFor(m_lastImageFile);
}

bool Backend::isImageFile(const QUrl &url) const
{
    return LocalImageFiles::isImageFile(url);
}

bool Backend::dropImageFile(const QUrl &url)
{
    if (m_state != State::Idle || (m_step != Step::ProductStep && m_step != Step::ImageStep) || !isImageFile(url))
        return false;
    setImageUrl(url);
    setStep(Step::ImageStep);
    return true;
}

QString Backend::setupProductName() const
{
    return m_writeWithoutSetup || m_selection->bootFiles().isEmpty() ? QString() : productName();
}

void Backend::reloadCatalog()
{
    m_selection->reload();
}

void Backend::selectProduct(const QString &id)
{
    m_selection->selectProduct(id);
    setStep(Step::DeviceStep);
}

void Backend::selectDevice(const QString &id)
{
    m_selection->selectDevice(id);
    setStep(Step::ImageStep);
}

void Backend::selectImage(const QString &id)
{
    // A build refused for its catalog entry cannot be chosen.
    const std::optional<WritePlan> plan =
            WritePlan::forBuild(m_selection->catalog(), m_selection->manifestUrl(), productId(), deviceId(), id);
    if (plan && !plan->refusal().isEmpty())
        return;
    m_selection->selectImage(id);
}

// ---- Disks -------------------------------------------------------------------

QVariantList Backend::disks() const
{
    return m_disks->disks();
}

QString Backend::diskId() const
{
    return m_disks->diskId();
}

QString Backend::diskName() const
{
    return m_disks->diskName();
}

QString Backend::diskSize() const
{
    return m_disks->diskSize();
}

bool Backend::canWrite() const
{
    return imageReady() && m_disks->chosenDisk().has_value();
}

void Backend::selectDisk(const QString &id)
{
    m_disks->choose(id);
}

// ---- Navigation ----------------------------------------------------------------

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
        setStep(productId().isEmpty() ? Step::ProductStep : Step::DeviceStep);
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
    m_ejecting = false;
    m_ejectMessage.clear();
    switch (m_state) {
    case State::Writing:
    case State::Idle:
        return;
    case State::Done:
        m_disks->clear();
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
    m_selection->setCacheInUse(state == State::Writing);
    emit stateChanged();
    emit ejectChanged();
}

// ---- Write -----------------------------------------------------------------------

QString Backend::phaseLabel() const
{
    return m_run->meter().phaseLabel(productName());
}

double Backend::progress() const
{
    return m_run->meter().fraction();
}

QString Backend::speedText() const
{
    return m_run->meter().speedText();
}

QString Backend::timeLeftText() const
{
    return m_run->meter().timeLeftText(m_verify);
}

void Backend::startWrite()
{
    if (m_state == State::Writing)
        return;
    if (!imageReady())
        return;
    const std::optional<Disk> disk = m_disks->chosenDisk();
    if (!disk)
        return;

    std::optional<WritePlan> plan = chosenPlan();
    if (plan && m_writeWithoutSetup)
        plan->setBootFiles({});
    if (plan) {
        QString refusal = plan->refusal();
        if (refusal.isEmpty() && !m_targetFile.isEmpty())
            refusal = plan->targetRefusal(m_targetFile);
        if (!refusal.isEmpty()) {
            refuseWrite(refusal);
            return;
        }
    }
    std::unique_ptr<BlockDevice> device = m_disks->monitor().createDevice(*disk);
    if (!device || !plan)
        return; // a build gone from the catalog: the device is made, and dropped

    m_writeName = plan->name();
    m_writePlan = plan;
    m_writtenDisk = disk;
    m_writtenDiskText = QStringLiteral("%1, %2").arg(m_disks->diskName(), m_disks->diskSize());
    m_writeVerified = m_verify;
    m_writtenSha256.clear();
    m_writeError = WriteJob::Error::None;
    m_ejecting = false;
    m_ejectMessage.clear();
    m_writeTimer.start();
    m_run->start(plan->createJob(std::move(device), m_verify),
                 plan->downloads() ? WriteJob::Phase::Downloading : WriteJob::Phase::Writing);

    m_cancelling = false;
    m_errorMessage.clear();
    setState(State::Writing);
}

// A write refused before anything was opened ends at once, as a failed one.
void Backend::refuseWrite(const QString &message)
{
    m_errorMessage = message;
    m_writeError = WriteJob::Error::None;
    m_cancelling = false;
    setState(State::Failed);
}

void Backend::onWriteFinished(WriteJob::Error error, const QString &detail)
{
    m_errorMessage = m_writePlan->outcomeMessage(error, detail, m_run->meter().phase(), m_run->cardTouched());
    m_writeError = error;
    m_writeMilliseconds = m_writeTimer.elapsed();
    m_writtenSha256 = m_run->writtenSha256();
    m_cancelling = false;
    // The archive of a build may be in the cache now, to be read for what
    // it tells.
    checkImage();
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

void Backend::cancel()
{
    if (m_state != State::Writing || m_cancelling)
        return;
    m_cancelling = true;
    m_run->cancel();
    emit stateChanged();
}

bool Backend::canRetry() const
{
    return m_state == State::Failed && isRetryable(m_writeError);
}

bool Backend::downloadFailed() const
{
    return m_state == State::Failed && isDownloadFailure(m_writeError);
}

void Backend::retry()
{
    if (!canRetry())
        return;
    setState(State::Idle);
    // A card pulled out and put back is chosen again, if it is the very one:
    // same place, model and size.
    if (m_disks->diskId().isEmpty() && m_writtenDisk && m_disks->isListed(*m_writtenDisk))
        m_disks->choose(m_writtenDisk->id);
    if (canWrite())
        emit confirmationRequested();
}

QString Backend::writtenDisk() const
{
    return m_writtenDiskText;
}

QString Backend::writeDuration() const
{
    const qint64 seconds = (m_writeMilliseconds + 500) / 1000;
    if (seconds < 60)
        return tr("%1 s").arg(seconds);
    return tr("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

bool Backend::canEject() const
{
    return m_state == State::Done && m_writtenDisk && !m_ejecting && m_disks->canPowerOff(*m_writtenDisk);
}

void Backend::eject()
{
    if (!canEject())
        return;
    m_ejecting = true;
    m_ejectMessage.clear();
    emit ejectChanged();
    m_disks->powerOff(*m_writtenDisk);
}

void Backend::onPowerOffFinished(const QString &diskId, const QString &error)
{
    if (!m_ejecting || !m_writtenDisk || diskId != m_writtenDisk->id)
        return;
    m_ejecting = false;
    m_ejectMessage = error.isEmpty() ? tr("The SD card was powered off: you can remove it.")
                                     : tr("Cannot power off the SD card: %1").arg(error);
    emit ejectChanged();
}
