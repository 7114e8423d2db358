#pragma once

#include <QString>

#include <memory>

// A decoder of raw deflate data (no zlib or gzip wrapper), fed in pieces. It
// runs through ISA-L where the build has it, about twice as fast as zlib on
// disk images, and through zlib otherwise; the output is the same.
class RawInflate
{
public:
    RawInflate();
    ~RawInflate();

    // false when the library cannot set up a stream.
    bool init();
    // The next compressed bytes, at most 4 GiB - 1; they must stay in place
    // until inputLeft() is 0.
    void setInput(const char *data, qint64 length);
    qint64 inputLeft() const;
    // Decodes into `output`, at most `length` bytes (up to 4 GiB - 1), until
    // the output is full, the input is used up or the stream ends. Returns
    // the count written, or -1 for corrupt data (see errorString()). A call
    // that writes nothing without input left needs more input.
    qint64 inflate(char *output, qint64 length);
    // The end of the deflate stream has been decoded and all of its output
    // handed out.
    bool finished() const;
    // The library's reason for the last -1, or a fixed text when it has none.
    QString errorString() const;

    // "ISA-L" or "zlib", for benchmarks and test logs.
    static const char *implementation();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
