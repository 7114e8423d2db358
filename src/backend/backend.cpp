#include "backend/backend.h"

#include "core/appinfo.h"
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

} // namespace

Backend::Backend(const QString &manifest, const QString &targetFile, QObject *parent)
    : QObject(parent)
    , m_targetFile(targetFile)
    , m_selection(new CatalogSelection(manifest, this))
    , m_disks(new DiskChoice(monitorFor(targetFile), this))
    , m_run(new WriteRun(this))
{
    connect(m_selection, &CatalogSelection::catalogChanged, this, &Backend::catalogChanged);
    connect(m_selection, &CatalogSelection::productChanged, this, &Backend::productChanged);
    connect(m_selection, &CatalogSelection::deviceChanged, this, &Backend::deviceChanged);
    connect(m_selection, &CatalogSelection::imageChanged, this, &Backend::imageChanged);
    connect(m_disks, &DiskChoice::disksChanged, this, &Backend::disksChanged);
    connect(m_disks, &DiskChoice::diskChanged, this, &Backend::diskChanged);
    connect(m_run, &WriteRun::progressChanged, this, &Backend::progressChanged);
    connect(m_run, &WriteRun::finished, this, &Backend::onWriteFinished);

    connect(this, &Backend::productChanged, this, &Backend::bootFilesChanged);
    connect(this, &Backend::imageChanged, this, &Backend::bootFilesChanged);
    connect(this, &Backend::imageChanged, this, [this] { m_disks->setImageSize(m_selection->imageSize()); });

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
    return m_selection->images();
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

bool Backend::imageReady() const
{
    return m_selection->imageReady();
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
    return m_selection->bootFiles().isEmpty() ? QString() : productName();
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

    const QUrl imageUrl = m_selection->imageUrl();
    const bool localFile = imageUrl.isLocalFile();
    const std::optional<WritePlan> plan = localFile
            ? WritePlan::forLocalFile(imageUrl.toLocalFile(), m_selection->bootFiles())
            : WritePlan::forBuild(m_selection->catalog(), m_selection->manifestUrl(), productId(), deviceId(),
                                  imageId());
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
    m_writeHasBootFiles = !plan->bootFiles().isEmpty();
    m_run->start(plan->createJob(std::move(device), m_verify),
                 localFile ? WriteJob::Phase::Writing : WriteJob::Phase::Downloading);

    m_cancelling = false;
    m_errorMessage.clear();
    setState(State::Writing);
}

// A write refused before anything was opened ends at once, as a failed one.
void Backend::refuseWrite(const QString &message)
{
    m_errorMessage = message;
    m_cancelling = false;
    setState(State::Failed);
}

void Backend::onWriteFinished(WriteJob::Error error, const QString &detail)
{
    m_errorMessage = WriteMessages::forOutcome(error, detail, m_run->meter().phase(), m_writeHasBootFiles,
                                               m_run->cardTouched());
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

void Backend::cancel()
{
    if (m_state != State::Writing || m_cancelling)
        return;
    m_cancelling = true;
    m_run->cancel();
    emit stateChanged();
}
