#pragma once

// Bytes the benchmarks build their card images from, so that each kind of
// content compresses as it would on a real card.

#include <QByteArray>
#include <QtGlobal>

class QRandomGenerator;

// Bytes that do not compress: compressed or encrypted data.
QByteArray randomBlock(qint64 size, QRandomGenerator &random);

// Lines of a kernel log, different for each seed.
QByteArray textBlock(qint64 size, int seed);

// Shared libraries of this system, concatenated: machine code and tables
// compress about as well as an operating system's root file system.
QByteArray libraryBytes(qint64 size);
