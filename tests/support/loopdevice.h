#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// A loop device over a file (a real block device for the disk tests),
// detached again when the object goes, whatever the test's outcome.
class LoopDevice
{
public:
    // Attached with losetup's extra options (--sector-size 4096, --read-only);
    // null where there is none to have (not root, no free loop device), with
    // a warning saying why.
    static std::unique_ptr<LoopDevice> attach(const QString &file, const QStringList &options = {});
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    QString device() const { return m_device; }

private:
    explicit LoopDevice(const QString &device);

    QString m_device;
};
