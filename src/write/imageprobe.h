#pragma once

#include "image/imagesource.h"

#include <QString>

// What an image tells about itself before it is written: whether its source
// opens, how large the image is, and whether a card that holds it has the
// FAT partition that boot files are written to. The source is read from its
// first byte up to the first partition's boot sector, never past ReadLimit.
class ImageProbe
{
public:
    enum class BootPartition {
        Unknown, // not told: the source failed, or the boot sector lies past ReadLimit
        Usable,
        Missing, // bootProblem says why, in the file system's words
    };

    // Deeper than image tools start a first partition (1, 4 or 8 MiB).
    static constexpr qint64 ReadLimit = 64 * 1024 * 1024;

    // Opens the unopened source and reads its first sectors. Runs on any
    // thread; the source is used up.
    static ImageProbe run(ImageSource &source);

    bool opened = false;
    ImageSource::Failure failure = ImageSource::Failure::Unreadable; // when not opened
    QString errorString;                                             // when not opened
    qint64 size = 0;
    BootPartition bootPartition = BootPartition::Unknown;
    QString bootProblem;
};
