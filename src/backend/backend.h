#pragma once

#include "backend/catalogselection.h"
#include "backend/diskchoice.h"
#include "backend/imagecheck.h"
#include "backend/writerun.h"
#include "core/writeplan.h"
#include "write/writejob.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantList>

// The one object through which the QML pages drive the program: the wizard
// steps and the state of the write, over the parts that hold the catalog and
// the selection, the disk choice, and the running write with its progress.
// Lives on the GUI thread.
class Backend : public QObject
{
    Q_OBJECT
    // FINAL: the QML compiler turns bindings into C++ only for properties that
    // no derived type can shadow.
    Q_PROPERTY(QString appVersion READ appVersion CONSTANT FINAL)
    Q_PROPERTY(CatalogState catalogState READ catalogState NOTIFY catalogChanged FINAL)
    Q_PROPERTY(QString catalogError READ catalogError NOTIFY catalogChanged FINAL)
    Q_PROPERTY(QString minTessaroVersion READ minTessaroVersion NOTIFY catalogChanged FINAL)
    Q_PROPERTY(QVariantList products READ products NOTIFY catalogChanged FINAL)
    Q_PROPERTY(int catalogFailures READ catalogFailures NOTIFY catalogChanged FINAL)
    Q_PROPERTY(Step step READ step NOTIFY stepChanged FINAL)
    Q_PROPERTY(QString productId READ productId NOTIFY productChanged FINAL)
    Q_PROPERTY(QString productName READ productName NOTIFY productChanged FINAL)
    Q_PROPERTY(QVariantList devices READ devices NOTIFY productChanged FINAL)
    Q_PROPERTY(QString deviceId READ deviceId NOTIFY deviceChanged FINAL)
    Q_PROPERTY(QString deviceName READ deviceName NOTIFY deviceChanged FINAL)
    Q_PROPERTY(QVariantList images READ images NOTIFY deviceChanged FINAL)
    Q_PROPERTY(QString imageId READ imageId NOTIFY imageChanged FINAL)
    Q_PROPERTY(QUrl imageUrl READ imageUrl WRITE setImageUrl NOTIFY imageChanged FINAL)
    Q_PROPERTY(QString imageName READ imageName NOTIFY imageChanged FINAL)
    Q_PROPERTY(QString imageFilePatterns READ imageFilePatterns CONSTANT FINAL)
    Q_PROPERTY(QUrl imageFolder READ imageFolder NOTIFY imageChanged FINAL)
    Q_PROPERTY(bool imageReady READ imageReady NOTIFY imageCheckChanged FINAL)
    Q_PROPERTY(bool imageChecking READ imageChecking NOTIFY imageCheckChanged FINAL)
    Q_PROPERTY(QString imageRefusal READ imageRefusal NOTIFY imageCheckChanged FINAL)
    Q_PROPERTY(QString setupRefusal READ setupRefusal NOTIFY imageCheckChanged FINAL)
    Q_PROPERTY(bool writeWithoutSetup READ writeWithoutSetup WRITE setWriteWithoutSetup NOTIFY imageCheckChanged FINAL)
    Q_PROPERTY(QString imageDescription READ imageDescription NOTIFY imageCheckChanged FINAL)
    Q_PROPERTY(QString imageSizeText READ imageSizeText NOTIFY imageCheckChanged FINAL)
    Q_PROPERTY(QVariantList disks READ disks NOTIFY disksChanged FINAL)
    Q_PROPERTY(QString diskId READ diskId NOTIFY diskChanged FINAL)
    Q_PROPERTY(QString diskName READ diskName NOTIFY diskChanged FINAL)
    Q_PROPERTY(QString diskSize READ diskSize NOTIFY diskChanged FINAL)
    Q_PROPERTY(bool canWrite READ canWrite NOTIFY diskChanged FINAL)
    Q_PROPERTY(bool verify READ verify WRITE setVerify NOTIFY verifyChanged FINAL)
    Q_PROPERTY(QString setupProductName READ setupProductName NOTIFY bootFilesChanged FINAL)
    Q_PROPERTY(QString writeName READ writeName NOTIFY stateChanged FINAL)
    Q_PROPERTY(State state READ state NOTIFY stateChanged FINAL)
    Q_PROPERTY(bool cancelling READ cancelling NOTIFY stateChanged FINAL)
    Q_PROPERTY(QString phaseLabel READ phaseLabel NOTIFY progressChanged FINAL)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged FINAL)
    Q_PROPERTY(QString speedText READ speedText NOTIFY progressChanged FINAL)
    Q_PROPERTY(QString timeLeftText READ timeLeftText NOTIFY progressChanged FINAL)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY stateChanged FINAL)
    Q_PROPERTY(bool canRetry READ canRetry NOTIFY stateChanged FINAL)
    Q_PROPERTY(bool downloadFailed READ downloadFailed NOTIFY stateChanged FINAL)
    Q_PROPERTY(QString writtenDisk READ writtenDisk NOTIFY stateChanged FINAL)
    Q_PROPERTY(QString writeDuration READ writeDuration NOTIFY stateChanged FINAL)
    Q_PROPERTY(bool verified READ verified NOTIFY stateChanged FINAL)
    Q_PROPERTY(QString imageSha256 READ imageSha256 NOTIFY stateChanged FINAL)
    Q_PROPERTY(bool canEject READ canEject NOTIFY ejectChanged FINAL)
    Q_PROPERTY(bool ejecting READ ejecting NOTIFY ejectChanged FINAL)
    Q_PROPERTY(QString ejectMessage READ ejectMessage NOTIFY ejectChanged FINAL)

public:
    enum class Step { ProductStep = 0, DeviceStep = 1, ImageStep = 2, DiskStep = 3 };
    Q_ENUM(Step)
    enum class State { Idle = 0, Writing = 1, Done = 2, Failed = 3, Cancelled = 4 };
    Q_ENUM(State)
    enum class CatalogState { Loading = 0, Ready = 1, Unavailable = 2, UpdateRequired = 3 };
    Q_ENUM(CatalogState)

    Backend(const QString &manifest, const QString &targetFile, QObject *parent = nullptr);
    ~Backend() override;

    QString appVersion() const;
    CatalogState catalogState() const;
    QString catalogError() const;
    QString minTessaroVersion() const;
    QVariantList products() const;
    // Loads that failed in a row; a Retry that fails again counts up.
    int catalogFailures() const;
    Step step() const { return m_step; }
    QString productId() const;
    QString productName() const;
    QVariantList devices() const;
    QString deviceId() const;
    QString deviceName() const;
    QVariantList images() const;
    QString imageId() const;
    QUrl imageUrl() const;
    void setImageUrl(const QUrl &url);
    QString imageName() const;
    // A chosen image that may be written: not refused, and with its product
    // set-up possible or explicitly left out.
    bool imageReady() const;
    // The names of the image files the file dialog lists first, as the
    // patterns of a name filter ("*.img *.zip …").
    QString imageFilePatterns() const;
    // Where the file dialog opens: the folder of the local file chosen last
    // in this run, else the user's Downloads folder, else the home folder.
    QUrl imageFolder() const;
    // The chosen image is being read for what it tells before writing.
    bool imageChecking() const;
    // Why the chosen image cannot be written at all; empty when it can.
    QString imageRefusal() const;
    // Why the chosen product cannot be set up on the chosen image; empty
    // when it can, or when there is nothing to set up.
    QString setupRefusal() const;
    // The user's choice to write the image as it is, without boot files;
    // forgotten whenever the image or the product changes.
    bool writeWithoutSetup() const { return m_writeWithoutSetup; }
    void setWriteWithoutSetup(bool without);
    // What the erase question names: product, device and build, or the file.
    QString imageDescription() const;
    // The image's size on the card, or else its download size; empty when
    // neither is known.
    QString imageSizeText() const;
    QVariantList disks() const;
    QString diskId() const;
    QString diskName() const;
    QString diskSize() const;
    bool canWrite() const;
    bool verify() const { return m_verify; }
    void setVerify(bool verify);
    QString setupProductName() const;
    QString writeName() const { return m_writeName; }
    State state() const { return m_state; }
    bool cancelling() const { return m_cancelling; }
    QString phaseLabel() const;
    double progress() const;
    QString speedText() const;
    QString timeLeftText() const;
    QString errorMessage() const { return m_errorMessage; }
    // After a failure that another attempt may mend.
    bool canRetry() const;
    // After a failure of the download, with the card untouched.
    bool downloadFailed() const;
    // The account of the last write: the disk, the time it took, whether it
    // was read back, and the SHA-256 of the image written.
    QString writtenDisk() const;
    QString writeDuration() const;
    bool verified() const { return m_writeVerified; }
    QString imageSha256() const { return QString::fromLatin1(m_writtenSha256.toHex()); }
    // Whether the card just written can be powered off for removal.
    bool canEject() const;
    bool ejecting() const { return m_ejecting; }
    QString ejectMessage() const { return m_ejectMessage; }

    Q_INVOKABLE void reloadCatalog();
    Q_INVOKABLE void selectProduct(const QString &id);
    Q_INVOKABLE void selectDevice(const QString &id);
    Q_INVOKABLE void selectImage(const QString &id);
    Q_INVOKABLE void chooseDisk();
    Q_INVOKABLE void selectDisk(const QString &id);
    Q_INVOKABLE void useLocalFileOnly();
    // Whether url is one local image file that can be dropped on the window.
    Q_INVOKABLE bool isImageFile(const QUrl &url) const;
    // An image file dropped on the product or image page becomes the local
    // file, shown on the image page; false when it is refused.
    Q_INVOKABLE bool dropImageFile(const QUrl &url);
    Q_INVOKABLE void back();
    Q_INVOKABLE void startWrite();
    Q_INVOKABLE void cancel();
    Q_INVOKABLE void reset();
    // Back to the erase question for the same image and disk, after a
    // failure that canRetry().
    Q_INVOKABLE void retry();
    Q_INVOKABLE void eject();

    // The parts, for a front end or a test that drives one directly (a
    // scripted disk monitor, a speed clock moved by hand).
    CatalogSelection &catalogSelection() { return *m_selection; }
    DiskChoice &diskChoice() { return *m_disks; }
    WriteRun &writeRun() { return *m_run; }

signals:
    void catalogChanged();
    void stepChanged();
    void productChanged();
    void deviceChanged();
    void imageChanged();
    void disksChanged();
    void diskChanged();
    void verifyChanged();
    void bootFilesChanged();
    void stateChanged();
    void progressChanged();
    void imageCheckChanged();
    void ejectChanged();
    // The window is to ask the erase question again (a retry).
    void confirmationRequested();

private:
    void setStep(Step step);
    void setState(State state);
    void refuseWrite(const QString &message);
    void onWriteFinished(WriteJob::Error error, const QString &detail);
    void onPowerOffFinished(const QString &diskId, const QString &error);
    // The plan of the current choice, whether or not it may be written.
    std::optional<WritePlan> chosenPlan() const;
    // The probe of the chosen image, once it has ended.
    const ImageProbe *probe() const;
    void checkImage();
    void updateImageSize();
    void forgetWithoutSetup();

    Step m_step = Step::ProductStep;
    bool m_verify = true;
    QString m_writeName;
    State m_state = State::Idle;
    bool m_cancelling = false;
    QString m_errorMessage;
    bool m_writeWithoutSetup = false;
    std::optional<WritePlan> m_writePlan; // of the last write started
    WriteJob::Error m_writeError = WriteJob::Error::None;
    std::optional<Disk> m_writtenDisk;
    QString m_writtenDiskText;
    bool m_writeVerified = false;
    QElapsedTimer m_writeTimer;
    qint64 m_writeMilliseconds = 0;
    QByteArray m_writtenSha256;
    bool m_ejecting = false;
    QString m_ejectMessage;
    QString m_targetFile; // the file that stands in for a card, if any
    QUrl m_lastImageFile; // the local file chosen last, kept when a build replaces it
    qint64 m_targetCheckedFor = -1; // the image size it was last checked for

    CatalogSelection *m_selection = nullptr; // child
    DiskChoice *m_disks = nullptr; // child
    WriteRun *m_run = nullptr; // child
    ImageCheck *m_check = nullptr; // child

    friend class BackendTestAccess;
};
