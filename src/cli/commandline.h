#pragma once

#include <QString>
#include <QStringList>

// What the user asked tessaro-cli to do, read from its arguments.
struct CommandLine
{
    enum class Command { None, Help, Version, Disks, Catalog, Write, Verify, CacheList, CacheClean };

    Command command = Command::None;
    // With Help: the command whose help was asked for ("write", "cache"), or
    // empty for the program's.
    QString helpTopic;
    QString manifest;
    QString productId;
    QString deviceId;
    QString imageId;
    QString imageFile;
    QStringList disks;
    QStringList targetFiles;
    QStringList models; // --watch: globs on the models of the disks to write
    bool watch = false;
    bool verify = true;
    bool yes = false;
    bool json = false;
    bool partial = false; // cache clean: the partial downloads only
    bool all = false;     // cache clean: every file

    // On a usage error: Command::None and *error says what is wrong; json
    // tells whether the error is to be a JSON record.
    static CommandLine parse(const QStringList &arguments, QString *error);
    // The help of command, or of the program when it is empty.
    static QString helpText(const QString &command = QString());

    bool writesBuild() const { return !imageId.isEmpty(); }
};
