#include "progressobserver.h"

#include <QList>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

QString statementStepText(const QString &statement)
{
    const auto statementPattern
        = [](const QString &pattern) { return QRegularExpression(u"(?is)"_s + pattern); };
    // The first pattern that matches a statement names its step, in which %1 and %2 stand for the
    // pattern's captures; each starts after the leading comment lines.
    static const QList<std::pair<QRegularExpression, QString>> patterns = {
        {statementPattern(u"^alter table (\\w+) rename to (\\w+)"_s), u"renaming %1 -> %2"_s},
        {statementPattern(u"^alter table (\\w+) add (?:column )?(\\w+)"_s),
         u"adding column %2 to %1"_s},
        {statementPattern(u"^create (?:unique )?(index|table|trigger|view) (?:if not exists )?"
                          u"(\\w+)"_s),
         u"creating %1 %2"_s},
        {statementPattern(u"^drop (index|table|trigger|view) (?:if exists )?(\\w+)"_s),
         u"dropping %1 %2"_s},
        {statementPattern(u"^(?:insert|replace)(?: or \\w+)? into (\\w+)\\b.*\\bselect\\b.*"
                          u"\\bfrom (\\w+)"_s),
         u"copying %2 -> %1"_s},
        {statementPattern(u"^(?:insert|replace)(?: or \\w+)? into (\\w+)"_s), u"writing %1"_s},
        {statementPattern(u"^delete from (\\w+)"_s), u"deleting from %1"_s},
        {statementPattern(u"^update (\\w+)"_s), u"updating %1"_s},
        {statementPattern(u"^savepoint\\b"_s), u"setting a savepoint"_s},
        {statementPattern(u"^release\\b"_s), u"releasing the savepoint"_s},
        {statementPattern(u"^commit\\b"_s), u"saving the changes"_s},
    };
    static const QRegularExpression leadingComments(u"^(?:\\s*--[^\\n]*\\n)*\\s*"_s);
    const QString body = statement.mid(leadingComments.match(statement).capturedLength());
    for (const auto &[pattern, stepText] : patterns) {
        if (const QRegularExpressionMatch match = pattern.match(body); match.hasMatch())
            return QString(stepText)
                .replace(u"%1"_s, match.captured(1))
                .replace(u"%2"_s, match.captured(2));
    }
    return u"running a statement"_s;
}
