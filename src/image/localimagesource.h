#pragma once

#include "image/imagesource.h"

#include <QFile>

// A plain image file whose bytes are the image. Every failure it has is
// Unreadable.
class LocalImageSource : public ImageSource
{
public:
    explicit LocalImageSource(const QString &path);

    bool open() override;
    qint64 size() const override;
    qint64 read(char *data, qint64 length) override;
    QString errorString() const override;

private:
    QFile m_file;
};
