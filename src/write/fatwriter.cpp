#include "write/fatwriter.h"

namespace {

bool isLower(QChar c)
{
    return c >= QLatin1Char('a') && c <= QLatin1Char('z');
}

bool isShortNamePart(const QString &part, int maxLength)
{
    if (part.size() > maxLength)
        return false;
    static const QString punctuation = QStringLiteral("!#$%&'()-@^_`{}~");
    bool lower = false;
    bool upper = false;
    for (const QChar c : part) {
        if (isLower(c))
            lower = true;
        else if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            upper = true;
        else if (!(c >= QLatin1Char('0') && c <= QLatin1Char('9')) && !punctuation.contains(c))
            return false;
    }
    return !(lower && upper);
}

} // namespace

bool isFatShortName(const QString &name)
{
    if (name.isEmpty())
        return false;
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    const QString base = dot < 0 ? name : name.left(dot);
    const QString extension = dot < 0 ? QString() : name.mid(dot + 1);
    if (dot >= 0 && (base.isEmpty() || extension.isEmpty()))
        return false;
    return isShortNamePart(base, 8) && isShortNamePart(extension, 3);
}
