#pragma once

#include "write/writejob.h"

#include <QMetaEnum>
#include <QStringList>

#include <functional>

// Progress reports of a write job as text ("Writing 4194304/9000000"), so
// that tests compare whole sequences at once.
namespace ProgressText {

inline QString report(WriteJob::Phase phase, qint64 done, qint64 total)
{
    return QStringLiteral("%1 %2/%3")
            .arg(QLatin1String(QMetaEnum::fromType<WriteJob::Phase>().valueToKey(int(phase))))
            .arg(done)
            .arg(total);
}

// The reports of a byte phase over an image: 0, then one per chunk.
inline QStringList byteReports(WriteJob::Phase phase, qint64 size)
{
    QStringList reports{report(phase, 0, size)};
    for (qint64 done = 0; done < size;) {
        done = qMin(done + WriteJob::ChunkSize, size);
        reports << report(phase, done, size);
    }
    return reports;
}

inline QStringList fileReports(int count)
{
    QStringList reports;
    for (int done = 0; done <= count; ++done)
        reports << report(WriteJob::Phase::Finalizing, done, count);
    return reports;
}

} // namespace ProgressText

// Every progress report of a job run on the test's thread, and a hook that
// runs inside the signal, where a test cancels or changes files on cue.
class ProgressRecorder
{
public:
    explicit ProgressRecorder(WriteJob &job)
    {
        QObject::connect(
                &job, &WriteJob::progress, &job,
                [this](WriteJob::Phase phase, qint64 done, qint64 total) {
                    reports << ProgressText::report(phase, done, total);
                    if (onReport)
                        onReport(phase, done, total);
                },
                Qt::DirectConnection);
    }

    QStringList reports;
    std::function<void(WriteJob::Phase, qint64, qint64)> onReport;
};
