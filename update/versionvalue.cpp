#include "versionvalue.h"

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

VersionValue clamped(qlonglong version, const QString &shown)
{
    return {qint32(qBound(qlonglong(std::numeric_limits<qint32>::min()), version,
                          qlonglong(std::numeric_limits<qint32>::max()))),
            QString(), shown};
}

VersionValue clamped(qlonglong version)
{
    return clamped(version, QString::number(version));
}

VersionValue refused(const QString &problem)
{
    return {std::nullopt, problem, QString()};
}

// The blanks SQLite skips around a number held as text.
bool isSqlBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\f' || c == u'\r' || c == u'\v';
}

QString withoutSqlBlanks(QString text)
{
    while (!text.isEmpty() && isSqlBlank(text.front()))
        text.remove(0, 1);
    while (!text.isEmpty() && isSqlBlank(text.back()))
        text.chop(1);
    return text;
}

} // namespace

VersionValue versionFromValue(const QVariant &value)
{
    if (value.isNull())
        return refused(u"null, which is not a version number"_s);
    switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
        return clamped(value.toLongLong());
    case QMetaType::Double: {
        const double real = value.toDouble();
        const QString shown = u"the real %1, which is not a whole number"_s.arg(real);
        if (!std::isfinite(real) || std::trunc(real) != real)
            return refused(shown);
        // Beyond the 64-bit range every version is clamped the same way.
        if (std::fabs(real) >= 9.2e18)
            return clamped(real < 0 ? std::numeric_limits<qlonglong>::min()
                                    : std::numeric_limits<qlonglong>::max(),
                           QString::number(real, 'g', 17));
        return clamped(qlonglong(real));
    }
    case QMetaType::QString: {
        const QString text = withoutSqlBlanks(value.toString());
        bool isInteger = false;
        const qlonglong version = text.toLongLong(&isInteger);
        if (isInteger && !text.front().isSpace() && !text.back().isSpace())
            return clamped(version);
        // A NUL would end the line wherever the text is written as a C string.
        return refused(u"the text '%1', which is not a whole number"_s.arg(
            value.toString().replace(QChar(u'\0'), u"\\x00"_s)));
    }
    default:
        return refused(u"a blob, which is not a version number"_s);
    }
}
