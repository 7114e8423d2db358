#include "cardbuild.h"

#include "programrun.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

bool CardBuild::make(const QString &root, const QString &name, qint64 payloadBytes)
{
    const QDir builds(root + QStringLiteral("/builds"));
    if (!QDir().mkpath(builds.path()))
        return fail(QStringLiteral("cannot create %1").arg(builds.path()));
    const QString imagePath = builds.filePath(name + QStringLiteral(".img"));
    m_archivePath = builds.filePath(name + QStringLiteral(".zip"));

    CardImage::Options options;
    options.fatBits = 32;
    options.label = QStringLiteral("TESSARO");
    if (!m_image.create(imagePath, options))
        return fail(m_image.errorString());
    const QByteArray payload = randomBytes(payloadBytes, quint32(qChecksum(name.toUtf8())));
    if (!m_image.mcopy(QStringLiteral("KERNEL.BIN"), payload)
        || !m_image.mcopy(QStringLiteral("README.TXT"), "Card image " + name.toUtf8() + "\r\n"))
        return fail(m_image.errorString());

    QFile::remove(m_archivePath);
    const QString zipProblem =
            runTool(QStringLiteral("zip"), {QStringLiteral("-j"), QStringLiteral("-q"), m_archivePath, imagePath}, {});
    if (!zipProblem.isEmpty())
        return fail(zipProblem);

    const QString archiveSha256 = QString::fromLatin1(fileSha256(m_archivePath).toHex());
    const QString imageSha256 = QString::fromLatin1(fileSha256(imagePath).toHex());
    if (archiveSha256.isEmpty() || imageSha256.isEmpty())
        return fail(QStringLiteral("cannot read the build %1 back").arg(name));
    m_fields = QJsonObject{
            {QStringLiteral("url"), QStringLiteral("builds/%1.zip").arg(name)},
            {QStringLiteral("size"), QFileInfo(m_archivePath).size()},
            {QStringLiteral("sha256"), archiveSha256},
            {QStringLiteral("extractSize"), QFileInfo(imagePath).size()},
            {QStringLiteral("extractSha256"), imageSha256},
    };
    return true;
}

bool CardBuild::fail(const QString &text)
{
    m_errorString = text;
    return false;
}
