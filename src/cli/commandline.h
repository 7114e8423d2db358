#pragma once

#include <QString>
#include <QStringList>

// What the user asked tessaro-cli to do, read from its arguments.
struct CommandLine
{
    enum class Command { None, Help, Version, Disks, Catalog, Write };

    Command command = Command::None;
    QString manifest;
    QString productId;
    QString deviceId;
    QString imageId;
    QString imageFile;
    QStringList disks;
    QStringList targetFiles;
    bool verify = true;
    bool yes = false;
    bool json = false;

    // On a usage error: Command::None and *error says what is wrong.
    static CommandLine parse(const QStringList &arguments, QString *error);
    static QString helpText();

    bool writesBuild() const { return !imageId.isEmpty(); }
};
