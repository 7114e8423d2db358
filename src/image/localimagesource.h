#pragma once

#include "image/imagesource.h"

#include <QFile>

// A plain image file whose bytes are the image. A file whose first bytes (or,
// for LZMA-alone, whose name) are those of a compressed file or an archive is
// refused as Unsupported rather than written as it is, and so is an empty
// file; every other failure is Unreadable.
class LocalImageSource : public ImageSource
{
public:
    explicit LocalImageSource(const QString &path);

    bool open() override;
    qint64 size() const override;
    qint64 read(char *data, qint64 length) override;
    QString errorString() const override;
    Failure failure() const override;

private:
    bool fail(Failure kind, const QString &text);

    QFile m_file;
    Failure m_failure = Failure::Unreadable;
    QString m_errorString;
};
