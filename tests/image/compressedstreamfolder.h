#pragma once

#include "image/testarchives.h"

#include <functional>
#include <memory>

namespace testarchives {

// The cases the sources of a compressed stream (xz, zstd) share. A row's
// `command` is a shell line, run in the payload folder, that writes the
// compressed image to its standard output; the source under test reads it
// back from a file.
class CompressedStreamFolder : protected PayloadFolder
{
protected:
    using OpenSource = std::function<std::unique_ptr<ImageSource>(const QString &path)>;

    // `fileName` carries the format's extension; `open` makes the source under test.
    CompressedStreamFolder(const char *fileName, OpenSource open);

    // Columns: command, and chunk (the bytes asked for by each read).
    static void addStreamColumns();
    // The row's file streams back to the payload, its size known on opening.
    void checkStreamsThePayload();

    // Columns: command; damage done to its output ("truncate" cuts it in
    // half, "flip" flips a bit in its middle, "append" adds a line of
    // garbage, "" leaves it whole); onOpen (open() fails rather than a read);
    // failure; message, where %1 stands for the size of the undamaged output.
    static void addFailureColumns();
    void checkFailure();

    // The output of `command`, changed by `damage`, streamed in 4 MiB reads.
    Outcome streamDamaged(const QString &command, const std::function<void(QByteArray &bytes)> &damage);
    static void compareFailure(const Outcome &outcome, bool onOpen, int failure, const QString &message);

private:
    QString m_fileName;
    OpenSource m_open;
};

} // namespace testarchives
