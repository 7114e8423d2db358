#pragma once

#include <QObject>
#include <QString>

class Backend : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString appVersion READ appVersion CONSTANT)

public:
    enum class Step { ProductStep = 0, DeviceStep = 1, ImageStep = 2, DiskStep = 3 };
    Q_ENUM(Step)

    Backend(const QString &manifest, const QString &targetFile, QObject *parent = nullptr);
    static inline const QString Version = QStringLiteral("0.1.0");

    QString appVersion() const;
};
