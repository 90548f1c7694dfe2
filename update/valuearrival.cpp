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
           u"or %6 is ltrim(ltrim(cast(%2 as text), '-'), '0')) end)"_s.arg(
               o, n, spellsNumber(n), spellsNumber(o), significantDigits(trimmed),
               integerDigits(trimmed));
}

} // namespace ValueArrival
