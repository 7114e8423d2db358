#pragma once

#include "win32standin.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// A scriptable model of a Windows machine behind the Win32 calls of
// win32standin.h: volumes with GUID paths, mount points and extents; disks
// with their storage descriptor, geometry and disk interface; the Windows
// folder and the program's folder; the program's elevation; volume locks held by other programs;
// a sector-strict byte store per disk, which refuses writes while a volume
// of the disk is mounted; sleeps that only count; and errors or the removal
// of a disk injected into chosen calls.
// It models what the disk code relies on and nothing more. The calls may
// come from any thread; a test installs a whole machine at once.
class WinMachine
{
public:
    struct Volume
    {
        QString name;       // \\?\Volume{...} without the trailing backslash
        QStringList paths;  // mount points, each ending in a backslash: "E:\", "C:\Cards\"
        QList<int> extents; // disk number of each extent, in order
        bool extentsReadable = true;
        // Lock attempts refused because another program holds the volume
        // open, or one of the two below.
        int heldFor = 0;
    };
    static constexpr int HeldUntilDismounted = -1;
    static constexpr int HeldForever = -2;

    struct Disk
    {
        int number = 0;
        QByteArray descriptor; // STORAGE_DEVICE_DESCRIPTOR as the device returns it; empty: the query fails
        qint64 size = 0;       // 0: the geometry query fails, as in a reader without a card
        int bytesPerSector = 512;
        bool hasInterface = true;
        DWORD deviceType = FILE_DEVICE_DISK;
        bool writeProtected = false;
        bool present = true; // false: the disk is gone and its open handles fail
    };

    // Every call named `call` (a device-control call by the name of its
    // code), from its `from`-th on, fails with `error`; a CreateFileW fault
    // with a path counts only the opens of that path. A fault may also remove
    // a disk just before the call runs, and then needs no error.
    struct Fault
    {
        Fault() = default;
        Fault(const QString &call, DWORD error, int from = 1, const QString &path = QString(), int removesDisk = -1)
            : call(call), error(error), from(from), path(path), removesDisk(removesDisk)
        {
        }

        QString call;
        DWORD error = 0;
        int from = 1;
        QString path;
        int removesDisk = -1;
    };
    // As a fault's error: ReadFile or WriteFile succeeds but moves no byte.
    static constexpr DWORD NothingTransferred = 0xffffffff;

    struct State
    {
        QList<Volume> volumes;
        QList<Disk> disks;
        QString windowsFolder = QStringLiteral("C:\\Windows");
        // Where the running program lies on this machine; stands for the
        // test's own folder.
        QString programFolder = QStringLiteral("C:\\Program Files\\Tessaro");
        // The running program has an administrator's elevated rights.
        bool elevated = true;
        QList<Fault> faults;

        // This machine with one more fault.
        State withFault(const Fault &fault) const
        {
            State state = *this;
            state.faults << fault;
            return state;
        }
    };

    // Replaces the whole machine; call counts start again, hooks are
    // removed, handles stay.
    static void install(const State &state);
    static int calls(const QString &call);
    static int openHandles();
    // Disk `number`'s bytes, as long as its size; zeros where nothing was written.
    static QByteArray bytes(int number);
    static void setBytes(int number, const QByteArray &bytes);
    // Whether the volume volumeName(index) is locked by an open handle.
    static bool isLocked(int index);
    // Milliseconds that Sleep() was asked for since install().
    static qint64 slept();
    // Runs at the start of every call named `call`, outside the machine's
    // lock, on the calling thread, until the next install().
    static void setHook(const QString &call, std::function<void()> hook);

    // A descriptor with the vendor, product and serial texts after the fixed
    // fields; a null vendor or serial gets the offset 0.
    static QByteArray descriptor(const QByteArray &vendor, const QByteArray &product, int busType,
                                 bool removableMedia, const QByteArray &serial = QByteArray());
    static Disk disk(int number, int busType, bool removableMedia, qint64 size,
                     const QByteArray &vendor = "Generic", const QByteArray &product = "Card Reader",
                     const QByteArray &serial = QByteArray());
    // The volume with the GUID path volumeName(index).
    static Volume volume(int index, const QStringList &paths, const QList<int> &extents);
    // Windows on C:, alone on a fixed SATA disk 0; the program in its folder there.
    static State desktop();
    // A 32 GB card as Windows reports its size.
    static constexpr qint64 CardSize = 31'914'983'424;
    // The desktop with a card in a reader as disk 2, its one volume on E:.
    static State desktopWithCard(int busType, qint64 size, const QByteArray &vendor = "Generic",
                                 const QByteArray &product = "Card Reader", const QByteArray &serial = QByteArray());
    static QString volumeName(int index);
    static QString interfacePath(int number);
};
