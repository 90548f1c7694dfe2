#pragma once

#include <QString>

// When a value of an old table has arrived in the table rebuilt from it, as SQL over the two
// values. A value has arrived when the new row holds the same value, or one of another storage
// class that stands for the same thing: a number held as text that reads back as that number
// (12 as '12', 12.75 as '12.75'), a text held as a number that it spells, an integer as that
// integer or a decimal of at most 15 significant digits as the nearest real ('12.30' as 12.3).
// A null has nothing to lose; anything else held as null, a blob held as anything else, a
// text with more digits held as a real, a real whose text reads back as another number have
// not arrived.
namespace ValueArrival {

// An SQL condition, true when the value of the expression oldValue arrived as that of newValue.
QString arrived(const QString &oldValue, const QString &newValue);

} // namespace ValueArrival
