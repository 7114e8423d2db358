#pragma once

#include "disks/blockdevice.h"
#include "image/imagesource.h"
#include "write/writejob.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

// Checks one card against an image, later than its write: the card must hold
// the image from its first byte, and where the write then put the product's
// boot files, exactly what putting them there makes of the image. The first
// image-size bytes of the card and the image are read side by side; sectors
// that differ are kept (a bounded number) and the boot files are written
// again, in memory, over the image's view of the card, which must then equal
// the card but for the dates the FAT writer stamps. Configured on the calling
// thread, then run() once, on a thread of its own.
class CardCheck : public QObject
{
    Q_OBJECT

public:
    CardCheck(std::unique_ptr<ImageSource> source, std::unique_ptr<BlockDevice> device,
              const QMap<QString, QByteArray> &bootFiles, QObject *parent = nullptr);
    ~CardCheck() override;

    void run();
    // Safe from any thread at any time; the check stops at its next chunk.
    void cancel();

    // None when the card matches; VerifyMismatch when it does not, with the
    // detail naming the first byte that differs; otherwise the write job's
    // error for the source or device failure, or Cancelled.
    WriteJob::Error error() const { return m_error; }
    QString errorDetail() const { return m_errorDetail; }
    // The SHA-256 (raw) of the card's first image-size bytes, once read whole.
    QByteArray cardSha256() const { return m_cardSha256; }

signals:
    void progress(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal);

private:
    bool compare();
    bool matchesBootFiles();
    bool fail(WriteJob::Error error, const QString &detail = QString());
    bool failSource();
    bool failTarget(WriteJob::Error fallback);
    bool differsAt(qint64 offset);

    std::unique_ptr<ImageSource> m_source;
    std::unique_ptr<BlockDevice> m_device;
    QMap<QString, QByteArray> m_bootFiles;
    qint64 m_imageSize = 0;
    // The image's bytes of each card sector that differs, by offset, and the
    // first byte (of the card) that differs in it.
    QMap<qint64, QByteArray> m_imageSectors;
    QMap<qint64, qint64> m_firstDifferences;
    std::atomic<bool> m_cancelled{false};
    WriteJob::Error m_error = WriteJob::Error::None;
    QString m_errorDetail;
    QByteArray m_cardSha256;
};
