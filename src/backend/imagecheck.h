#pragma once

#include "image/imagesource.h"
#include "write/imageprobe.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QThread;

// The probe of the chosen image, run on a thread of its own so that a large
// archive or a slow file never stalls the window. Each start() supersedes the
// probe before it, whose result is then dropped. Lives on the GUI thread,
// where finished() is delivered.
class ImageCheck : public QObject
{
    Q_OBJECT

public:
    explicit ImageCheck(QObject *parent = nullptr);
    // Waits for the probes still running.
    ~ImageCheck() override;

    // Probes source, the image at path; nothing happens when that image is
    // the one already probed or being probed.
    void start(const QString &path, std::unique_ptr<ImageSource> source);
    // No image to probe.
    void clear();

    // The image probed or being probed; empty after clear().
    QString path() const { return m_path; }
    bool running() const { return m_running; }
    // The result for path(), once it is not running.
    const ImageProbe &result() const { return m_result; }

signals:
    // A probe has started, ended or been dropped.
    void changed();

private:
    void deliver(quint64 generation, const ImageProbe &result);

    QString m_path;
    bool m_running = false;
    ImageProbe m_result;
    quint64 m_generation = 0;
    QList<QThread *> m_threads; // owned, until each has finished
};
