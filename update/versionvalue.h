#pragma once

#include <QString>
#include <QVariant>

#include <optional>

// The stored version that a value of a version table stands for: integers as they are, clamped
// to 32 bits; integral reals and integer texts (blanks around them allowed, as SQLite's own
// conversion allows) as that number. Anything else stands for no version, and problem says
// what the value is, e.g. "the real 1.5, which is not a whole number".
struct VersionValue
{
    std::optional<qint32> version;
    QString problem;
    // The number as stored, for showing: 1099511627776 stays that though its version is clamped.
    QString shown;
};

VersionValue versionFromValue(const QVariant &value);
