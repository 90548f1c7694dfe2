#include "valuearrival.h"

using namespace Qt::StringLiterals;

namespace ValueArrival {

namespace {

// A text that SQLite reads as a number: compared with its own numeric reading, the text is
// given numeric affinity, which converts it only when the whole of it is a number.
QString spellsNumber(const QString &text)
{
    return u"+%1 = cast(%1 as numeric)"_s.arg(text);
}

// The significant digits of a number's text, trimmed of blanks: those of the part before its
// exponent, without sign, point, leading and trailing zeros.
QString significantDigits(const QString &trimmed)
{
    const QString exponent = u"instr(lower(%1), 'e')"_s.arg(trimmed);
    return u"length(trim(replace(ltrim(substr(%1, 1, iif(%2, %2 - 1, length(%1))), '+-'), '.', "
           u"''), '0'))"_s.arg(trimmed, exponent);
}

// The digits of a text, trimmed of blanks, that spells an integer, without sign and leading
// zeros; null for any other number's text.
QString integerDigits(const QString &trimmed)
{
    return u"iif(%1 glob '*[.eE]*', null, ltrim(ltrim(%1, '+-'), '0'))"_s.arg(trimmed);
}

} // namespace

Affinity affinity(const QString &declaredType)
{
    const QString type = declaredType.toUpper();
    if (type.contains(u"INT"_s))
        return Affinity::Integer;
    if (type.contains(u"CHAR"_s) || type.contains(u"CLOB"_s) || type.contains(u"TEXT"_s))
        return Affinity::Text;
    if (type.contains(u"BLOB"_s) || type.trimmed().isEmpty())
        return Affinity::Blob;
    if (type.contains(u"REAL"_s) || type.contains(u"FLOA"_s) || type.contains(u"DOUB"_s))
        return Affinity::Real;
    return Affinity::Numeric;
}

QString arrived(const QString &oldValue, const QString &newValue)
{
    const QString o = u"(%1)"_s.arg(oldValue);
    const QString n = u"(%1)"_s.arg(newValue);
    const QString trimmed = u"trim(%1, char(32, 9, 10, 11, 12, 13))"_s.arg(o);
    return u"(case when %1 isnull then 1 when %2 isnull then 0 "
           u"when typeof(%1) = typeof(%2) then +%1 = +%2 collate binary "
           u"when 'blob' in (typeof(%1), typeof(%2)) then 0 "
           u"when typeof(%2) <> 'text' and typeof(%1) <> 'text' then +%1 = +%2 "
           u"when typeof(%2) = 'text' then %3 and cast(%2 as numeric) = +%1 "
           u"else %4 and cast(%1 as numeric) = +%2 and (%5 <= 15 "
           u"or %6 = ltrim(ltrim(cast(%2 as text), '-'), '0')) end)"_s.arg(
               o, n, spellsNumber(n), spellsNumber(o), significantDigits(trimmed),
               integerDigits(trimmed));
}

QString storedAs(const QString &value, Affinity affinity)
{
    const QString v = u"(%1)"_s.arg(value);
    switch (affinity) {
    case Affinity::Text:
        return u"iif(typeof(%1) in ('integer', 'real'), cast(%1 as text), %1)"_s.arg(v);
    case Affinity::Real:
        return u"iif(typeof(%1) = 'integer' or (typeof(%1) = 'text' and %2), cast(%1 as real), %1)"_s
            .arg(v, spellsNumber(v));
    case Affinity::Integer:
    case Affinity::Numeric:
        return u"iif(typeof(%1) = 'text' and %2, cast(%1 as numeric), %1)"_s.arg(v,
                                                                                 spellsNumber(v));
    case Affinity::Blob:
        break;
    }
    return v;
}

} // namespace ValueArrival
