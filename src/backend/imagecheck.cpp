#include "backend/imagecheck.h"

#include <QThread>

ImageCheck::ImageCheck(QObject *parent)
    : QObject(parent)
{
}

ImageCheck::~ImageCheck()
{
    for (QThread *thread : std::as_const(m_threads)) {
        thread->wait();
        delete thread;
    }
}

void ImageCheck::start(const QString &path, std::unique_ptr<ImageSource> source)
{
    if (path == m_path)
        return;
    m_path = path;
    m_running = true;
    m_result = ImageProbe();
    const quint64 generation = ++m_generation;
    // Shared, so that the thread's function may be copied.
    std::shared_ptr<ImageSource> shared(std::move(source));
    QThread *thread = QThread::create([this, generation, shared] {
        const ImageProbe result = ImageProbe::run(*shared);
        QMetaObject::invokeMethod(this, [this, generation, result] { deliver(generation, result); },
                                  Qt::QueuedConnection);
    });
    connect(thread, &QThread::finished, this, [this, thread] {
        m_threads.removeOne(thread);
        thread->deleteLater();
    });
    m_threads.append(thread);
    thread->start();
    emit changed();
}

void ImageCheck::clear()
{
    if (m_path.isEmpty() && !m_running)
        return;
    m_path.clear();
    m_running = false;
    m_result = ImageProbe();
    ++m_generation;
    emit changed();
}

void ImageCheck::deliver(quint64 generation, const ImageProbe &result)
{
    if (generation != m_generation)
        return;
    m_running = false;
    m_result = result;
    emit changed();
}
