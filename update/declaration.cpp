#include "declaration.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <set>

using namespace Qt::StringLiterals;

namespace {

// An item's keyword in upgrades.txt and the fields that follow it, one letter each: N a name or
// other text, V a version, L a line, T a statement, C a column, X a label. The fields in brackets
// are given all or none, and the field before a + may come again. A step has a kind; a savepoint
// or release runs its keyword on the block's savepoint.
struct ItemSyntax
{
    QLatin1StringView keyword;
    const char *fields;
    std::optional<UpgradeStep::Kind> kind = {};
    int progressSteps = 0;
    bool onSavepoint = false;
};

// The variable fill shows its savepoint, its work and the release; the index handed over to a
// backup is dropped outside of the steps.
const ItemSyntax itemSyntax[] = {
    {"file"_L1, "NN"},
    {"block"_L1, "VN"},
    {"every"_L1, ""},
    {"table"_L1, "NC+"},
    {"index"_L1, "NNN+"},
    {"trigger"_L1, "NN"},
    {"view"_L1, "N"},
    {"count"_L1, "NN[N]"},
    {"sql"_L1, "LT[X+]", UpgradeStep::Kind::Sql, 1},
    {"rename"_L1, "NN", UpgradeStep::Kind::Rename, 1},
    {"copy"_L1, "NNNN[LT]", UpgradeStep::Kind::Copy, 1},
    {"copy-rows"_L1, "NNLT", UpgradeStep::Kind::CopyRows, 1},
    {"drop"_L1, "NNLT", UpgradeStep::Kind::Drop, 1},
    {"savepoint"_L1, "L", UpgradeStep::Kind::Sql, 1, true},
    {"release"_L1, "L", UpgradeStep::Kind::Sql, 1, true},
    {"stamp"_L1, "LL", UpgradeStep::Kind::Stamp, 2},
    {"fill-variables"_L1, "LLLLLLLL", UpgradeStep::Kind::FillVariables, 3},
    {"drop-backup-index"_L1, "NN", UpgradeStep::Kind::DropBackupIndex, 0},
};

// A label written into profile.db. Older translation files were made while the program held
// its texts in the GBK code page, so they know a label only by its GBK bytes.
struct LabelText
{
    const char *text;
    const char *gbkText;
};

const LabelText labelTexts[] = {
    {QT_TRANSLATE_NOOP("UpdateProfile", "梯度1"), "\xcc\xdd\xb6\xc8\x31"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "梯度2"), "\xcc\xdd\xb6\xc8\x32"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "梯度3"), "\xcc\xdd\xb6\xc8\x33"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "梯度4"), "\xcc\xdd\xb6\xc8\x34"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "样本类型"), "\xd1\xf9\xb1\xbe\xc0\xe0\xd0\xcd"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "初始量[ul]"), "\xb3\xf5\xca\xbc\xc1\xbf[ul]"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "报警限[ul]"), "\xb1\xa8\xbe\xaf\xcf\xde[ul]"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "中断限[ul]"), "\xd6\xd0\xb6\xcf\xcf\xde[ul]"},
    {QT_TRANSLATE_NOOP("UpdateProfile", "住院号"), "\xd7\xa1\xd4\xba\xba\xc5"},
};

// The installed translation of the label, looked up by its text and then by its GBK bytes;
// the text itself when there is none. Quotes are doubled for the SQL text literal it goes into.
QString translated(const QString &label)
{
    QString text = label;
    for (const LabelText &known : labelTexts) {
        if (label != QString::fromUtf8(known.text))
            continue;
        text = QCoreApplication::translate("UpdateProfile", known.text);
        const QString fromGbk = QCoreApplication::translate("UpdateProfile", known.gbkText);
        if (text == label && fromGbk != QString::fromUtf8(known.gbkText))
            text = fromGbk;
    }
    return text.replace(u'\'', u"''"_s);
}

QString unescaped(const QString &field)
{
    QString text;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field.at(i) != u'\\' || i + 1 == field.size()) {
            text += field.at(i);
            continue;
        }
        const QChar next = field.at(++i);
        text += next == u'n' ? u'\n' : next == u't' ? u'\t' : next;
    }
    return text;
}

// Reads the fields that follow an item's keyword into step, which only the items that are steps
// keep; what is wrong with them, if anything.
QString readFields(const ItemSyntax &syntax, const QStringList &fields, UpgradeStep &step)
{
    const QLatin1StringView pattern(syntax.fields);
    const QString kinds = QString(pattern).remove(u'[').remove(u']').remove(u'+');
    const qsizetype required = pattern.contains(u'[') ? pattern.indexOf(u'[') : kinds.size();
    const bool repeats = pattern.contains(u'+');
    const qsizetype count = fields.size();
    if (count != required && count != kinds.size() && !(repeats && count > kinds.size())) {
        const QString taken = repeats  ? u"%1 or more"_s.arg(required)
            : required == kinds.size() ? QString::number(required)
                                       : u"%1 or %2"_s.arg(required).arg(kinds.size());
        return u"%1 takes %2 fields, not %3"_s.arg(syntax.keyword, taken, QString::number(count));
    }
    step.kind = syntax.kind.value_or(UpgradeStep::Kind::Sql);
    step.progressSteps = syntax.progressSteps;
    if (syntax.onSavepoint)
        step.text = blockSavepoint(syntax.keyword.toString().toUpper());
    const QLatin1StringView kindNames[]
        = {"name"_L1, "version"_L1, "line"_L1, "statement"_L1, "column"_L1, "label"_L1};
    static const QRegularExpression column(
        QRegularExpression::anchoredPattern(u"[^ ]+( [^ ]+){0,2}"_s));
    for (qsizetype i = 0; i < count; ++i) {
        const QChar kind = kinds.at(qMin(i, kinds.size() - 1));
        const QLatin1StringView kindName = kindNames[u"NVLTCX"_s.indexOf(kind)];
        const QString &field = fields.at(i);
        if (field.isEmpty())
            return u"empty %1"_s.arg(kindName);
        const int number = field.toInt();
        if ((kind == u'V' || kind == u'L') && (number <= 0 || QString::number(number) != field))
            return u"the %1 '%2' is not a positive decimal integer"_s.arg(kindName, field);
        if (kind == u'C' && !column.match(field).hasMatch())
            return u"the column '%1' is not 1 to 3 words separated by a space"_s.arg(field);
        const auto isField
            = [&field](const LabelText &known) { return field == QString::fromUtf8(known.text); };
        if (kind == u'X' && std::none_of(std::begin(labelTexts), std::end(labelTexts), isField))
            return u"unknown label '%1'"_s.arg(field);
        if (kind == u'N')
            step.names << field;
        else if (kind == u'L')
            step.lines << number;
        else if (kind == u'T')
            step.text = field;
        else if (kind == u'X')
            step.labels << field;
    }
    return {};
}

// What is wrong with the places of a step's statement, if anything: its labels take the places
// %1 to %n, one each.
QString placeError(const UpgradeStep &step)
{
    static const QRegularExpression place(u"%(\\d+)"_s);
    std::set<int> places;
    for (const QRegularExpressionMatch &match : place.globalMatch(step.text))
        places.insert(match.captured(1).toInt());
    const qsizetype labels = step.labels.size();
    if (qsizetype(places.size()) == labels
        && (!labels || (*places.begin() == 1 && *places.rbegin() == labels)))
        return {};
    QStringList shown;
    for (int number : places)
        shown << u"%"_s + QString::number(number);
    return u"labels: %1, places in the statement: %2"_s.arg(
        QString::number(labels), shown.isEmpty() ? u"none"_s : shown.join(u' '));
}

// What is wrong with a block that comes after the sections of file, if anything: a block brings
// the file to a version above those before it, or comes back with the version and name it had.
QString blockError(const FileDeclaration &file, qint32 version, const QString &name)
{
    for (const UpgradeSection &section : file.sections) {
        if (!section.version || (*section.version != version && section.blockName != name))
            continue;
        if (*section.version == version && section.blockName == name)
            return {};
        return u"block %1 '%2' does not match the earlier block %3 '%4'"_s.arg(
            QString::number(version), name, QString::number(*section.version), section.blockName);
    }
    if (version < file.currentVersion.value_or(0))
        return u"block %1 '%2' comes after block %3"_s.arg(QString::number(version), name,
                                                           QString::number(*file.currentVersion));
    return {};
}

// Adds one line of upgrades.txt to the files read so far; what is wrong with it, if anything.
QString addLine(QList<FileDeclaration> &files, const QString &line)
{
    if (line.endsWith(u'\t'))
        return u"a trailing tab"_s;
    QStringList fields;
    for (const QString &field : line.split(u'\t'))
        fields << unescaped(field);
    const QString item = fields.takeFirst();
    const auto isItem = [&item](const ItemSyntax &syntax) { return syntax.keyword == item; };
    const auto syntax = std::find_if(std::begin(itemSyntax), std::end(itemSyntax), isItem);
    if (syntax == std::end(itemSyntax))
        return u"unknown item '%1'"_s.arg(item);
    UpgradeStep step;
    if (const QString error = readFields(*syntax, fields, step); !error.isEmpty())
        return error;
    if (item == "file"_L1) {
        files.append(FileDeclaration {fields.value(0)});
        files.last().label = fields.value(1).toLatin1();
        return {};
    }
    if (files.isEmpty())
        return u"%1 comes before any file"_s.arg(item);
    FileDeclaration &file = files.last();
    if (item == "block"_L1) {
        const qint32 version = fields.value(0).toInt();
        if (const QString error = blockError(file, version, fields.value(1)); !error.isEmpty())
            return error;
        file.sections.append(UpgradeSection {version, fields.value(1)});
        file.currentVersion = qMax(version, file.currentVersion.value_or(0));
    } else if (item == "every"_L1) {
        file.sections.append(UpgradeSection());
    } else if (item == "table"_L1) {
        TableLayout table {fields.takeFirst()};
        for (const QString &column : std::as_const(fields)) {
            const QStringList parts = column.split(u' ');
            table.columns.append({parts.value(0), parts.value(1), parts.value(2)});
        }
        file.layout.tables.append(table);
    } else if (item == "index"_L1) {
        file.layout.indexes.append({fields.value(0), fields.value(1), fields.mid(2)});
    } else if (item == "trigger"_L1) {
        file.layout.triggers.append({fields.value(0), fields.value(1)});
    } else if (item == "view"_L1) {
        file.layout.views.append(fields.value(0));
    } else if (item == "count"_L1) {
        file.rowCounts.append({fields.value(0), fields.value(1), fields.value(2)});
    } else if (file.sections.isEmpty()) {
        return u"%1 comes before any block or every"_s.arg(item);
    } else {
        if (const QString error = placeError(step); !error.isEmpty())
            return error;
        file.sections.last().steps.append(step);
    }
    return {};
}

} // namespace

QString UpgradeStep::statement() const
{
    // One label after the other, as each takes the lowest place left.
    QString result = text;
    for (const QString &label : labels)
        result = result.arg(translated(label));
    return result;
}

QString blockSavepoint(const QString &command)
{
    return command + u" block"_s;
}

QStringList FileDeclaration::stampStatements() const
{
    return {u"delete from version"_s, u"insert into version values(%1)"_s.arg(*currentVersion)};
}

QString FileDeclaration::targetText() const
{
    return currentVersion ? QString::number(*currentVersion) : u"unchanged"_s;
}

QStringList FileDeclaration::pendingBlocks(qint32 storedVersion) const
{
    QStringList names;
    for (const UpgradeSection &section : sections) {
        if (section.version && section.isNeededAt(storedVersion)
            && !names.contains(section.blockName))
            names << section.blockName;
    }
    return names;
}

int FileDeclaration::stepCount(qint32 storedVersion) const
{
    int steps = 1;
    for (const UpgradeSection &section : sections) {
        if (!section.isNeededAt(storedVersion))
            continue;
        for (const UpgradeStep &step : section.steps)
            steps += step.progressSteps;
    }
    return steps;
}

QStringList FileDeclaration::statementsWithoutBlocks(qint32 storedVersion) const
{
    if (isNewerThanProgram(storedVersion))
        return {};
    QStringList statements;
    for (const UpgradeSection &section : sections) {
        if (section.version)
            continue;
        for (const UpgradeStep &step : section.steps) {
            if (step.kind == UpgradeStep::Kind::Stamp)
                statements << stampStatements();
            else if (step.kind == UpgradeStep::Kind::FillVariables)
                statements << variableFillStatements();
            else
                statements << step.statement();
        }
    }
    return statements;
}

Declaration readDeclaration(const QString &text)
{
    Declaration declaration;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (const QString error = addLine(declaration.files, line); !error.isEmpty())
            return {{}, u"upgrades.txt:%1: %2"_s.arg(QString::number(i + 1), error)};
    }
    return declaration;
}

const QList<FileDeclaration> &declaredFiles()
{
    static const QList<FileDeclaration> files = [] {
        Q_INIT_RESOURCE(upgrades);
        QFile file(u":/upgrades.txt"_s);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("upgrades.txt is missing from the program");
        const Declaration declaration = readDeclaration(QString::fromUtf8(file.readAll()));
        if (!declaration.error.isEmpty())
            qFatal("%s", qUtf8Printable(declaration.error));
        return declaration.files;
    }();
    return files;
}
