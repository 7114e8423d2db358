#include "cli/confirmation.h"

#include <QSet>

bool namesConfirmed(const QString &typed, const QStringList &names)
{
    const QStringList typedWords = typed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QStringList nameWords = names.join(QLatin1Char(' ')).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return QSet<QString>(typedWords.cbegin(), typedWords.cend()) == QSet<QString>(nameWords.cbegin(), nameWords.cend())
            && typedWords.size() == nameWords.size();
}
