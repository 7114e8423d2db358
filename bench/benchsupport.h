#pragma once

// What the benchmarks share: the bytes a card's files are made of, and the
// measures of time, CPU and memory they report.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class ImageSource;
class QElapsedTimer;
class QTemporaryDir;

// Takes "NAME VALUE" out of a benchmark's arguments: VALUE, empty when NAME
// ends them; a null string without NAME.
QString takeOption(QStringList &arguments, const QString &name);
// Takes "--rounds N" out of a benchmark's arguments: N, at least 1; 1
// without it.
int takeRounds(QStringList &arguments);

// The folder a benchmark works in: folder, made if need be, or else a new
// temporary folder named after the benchmark, which *temporary then holds
// (and removes when it goes). Says which and how much disk is free there;
// empty, said on standard error, when that is less than neededBytes.
QString workFolder(const QString &folder, const QString &benchmark, qint64 neededBytes,
                   std::unique_ptr<QTemporaryDir> *temporary);

// Runs a tool to its end in folder, its errors shown; its output goes to
// outputFile (by default nowhere). False, said on standard error, when it
// does not start or does not exit with 0.
bool run(const QString &program, const QStringList &arguments, const QString &folder,
         const QString &outputFile = QStringLiteral("/dev/null"));

// Reads an image source to its end in 4 MiB reads, as the write job does:
// the bytes, or -1 with the failure said on standard error.
qint64 readToEnd(ImageSource &source);

// System-log lines; they compress about as well as a card's text files.
QByteArray logText(qint64 size, int seed);
// Shared libraries and executables of this system, repeated where they are
// fewer: machine code and tables compress about as well as an operating
// system's files.
QByteArray binaryBytes(qint64 size);

// The realistic 1 GiB card at path, made in folder: an MBR and FAT32 over
// the whole disk (mkfs.fat), filled through mtools with about 250 MiB of log
// text, 250 MiB of executables and libraries and 120 MiB of random files;
// the rest is free space of zeros.
bool buildCard(const QString &folder, const QString &image);

double seconds(const QElapsedTimer &timer);
double megabytesPerSecond(qint64 bytes, double seconds);
// The text as one word of a bash command.
QString shellQuote(const QString &text);
// CPU seconds, user and system, of RUSAGE_SELF or RUSAGE_CHILDREN.
double cpuSeconds(int who);
// The peak resident memory of this process so far; -1 when unknown.
qint64 peakMemoryKiB();
// The load averages as /proc/loadavg gives them.
QString loadAverage();
// Writes to `bytes` of fresh memory and gives it back, just before a timed
// run that fills the page cache. A virtual machine whose balloon reports free
// memory to its host (virtio-balloon free page reporting, as here) hands such
// pages back; the first write to one then costs a fault in the host, many
// times the copy into it, and whichever run comes first after a pause pays
// for all of them. A machine of its own has no such cost: warmed, every run
// gets pages the kernel has just had in use.
void warmFreeMemory(qint64 bytes);
