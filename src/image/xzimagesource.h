#pragma once

#include "image/imagesource.h"

#include <QByteArray>
#include <QFile>

#include <memory>

// A disk image compressed with xz: one stream, or several concatenated, with
// stream padding between them. open() reads the image size from the stream
// indexes at the end of the file without decoding anything; read() decodes
// strictly forwards through one 1 MiB input buffer, on all cores when the
// file has several blocks (as "xz -T0" writes it). The streams' own checks
// are verified as the blocks end, so the last bytes are only handed out once
// the last check has passed.
class XzImageSource : public ImageSource
{
public:
    explicit XzImageSource(const QString &path);
    ~XzImageSource() override;

    bool open() override;
    qint64 size() const override;
    // Returns at most 1 GiB per call, whatever the caller asks.
    qint64 read(char *data, qint64 length) override;
    QString errorString() const override;
    Failure failure() const override;

    // Decoding needs the window plus a little; a larger window is refused.
    static constexpr quint64 MaxWindow = quint64(1) << 30;

private:
    struct Decoder;

    bool readIndexes(quint64 &blockCount);
    bool looksTruncated();
    bool startDecoder(quint64 blockCount);
    qint64 decodeInto(char *data, qint64 length);
    bool finish();
    bool fillInput();
    bool failCode(int code);
    bool fail(Failure kind, const QString &text);

    QFile m_file;
    Failure m_failure = Failure::Unreadable;
    QString m_errorString;
    qint64 m_size = 0;
    qint64 m_delivered = 0;
    bool m_inputEnded = false;
    QByteArray m_input;
    std::unique_ptr<Decoder> m_decoder;
};
