#include "updaterdescription.h"

#include <QCoreApplication>
#include <QFile>

using namespace Qt::StringLiterals;

namespace {

// A step's keyword in upgrades.txt, and the fields that follow it: N a table name, L a line, T a
// statement; fields beyond those are labels. A step without a T field may run a fixed statement.
struct StepSyntax
{
    QLatin1StringView keyword;
    UpgradeStep::Kind kind;
    const char *fields;
    int progressSteps;
    const char *text = "";
};

// The variable fill shows its savepoint, its work and the release; the index handed over to a
// backup is dropped outside of the steps.
const StepSyntax stepSyntax[] = {
    {"sql"_L1, UpgradeStep::Kind::Sql, "LT", 1},
    {"rename"_L1, UpgradeStep::Kind::Rename, "NN", 1},
    {"copy"_L1, UpgradeStep::Kind::Copy, "NNNNLT", 1},
    {"copy-rows"_L1, UpgradeStep::Kind::CopyRows, "NNLT", 1},
    {"drop"_L1, UpgradeStep::Kind::Drop, "NNLT", 1},
    {"savepoint"_L1, UpgradeStep::Kind::Sql, "L", 1, "SAVEPOINT block"},
    {"release"_L1, UpgradeStep::Kind::Sql, "L", 1, "RELEASE block"},
    {"stamp"_L1, UpgradeStep::Kind::Stamp, "LL", 2},
    {"fill-variables"_L1, UpgradeStep::Kind::FillVariables, "", 3},
    {"drop-backup-index"_L1, UpgradeStep::Kind::DropBackupIndex, "N", 0},
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

std::optional<UpgradeStep> parsedStep(const QString &keyword, const QStringList &fields)
{
    for (const StepSyntax &syntax : stepSyntax) {
        if (syntax.keyword != keyword)
            continue;
        UpgradeStep step;
        step.kind = syntax.kind;
        step.progressSteps = syntax.progressSteps;
        step.text = QString::fromLatin1(syntax.text);
        qsizetype i = 0;
        for (const char *field = syntax.fields; *field && i < fields.size(); ++field, ++i) {
            if (*field == 'N')
                step.names << fields.at(i);
            else if (*field == 'T')
                step.text = fields.at(i);
            else
                (step.line ? step.secondLine : step.line) = fields.at(i).toInt();
        }
        step.labels = fields.mid(i);
        return step;
    }
    return std::nullopt;
}

// Adds one line of upgrades.txt to the files read so far.
void addLine(QList<UpdaterDescription> &files, const QString &line)
{
    QStringList fields;
    for (const QString &field : line.split(u'\t'))
        fields << unescaped(field);
    const QString item = fields.takeFirst();
    if (item == "file"_L1) {
        files.append(UpdaterDescription {fields.value(0)});
        files.last().label = fields.value(1).toLatin1();
        return;
    }
    UpdaterDescription &file = files.last();
    if (item == "block"_L1) {
        const qint32 version = fields.value(0).toInt();
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
    } else if (const std::optional<UpgradeStep> step = parsedStep(item, fields)) {
        file.sections.last().steps.append(*step);
    } else {
        qFatal("upgrades.txt: unknown item %s", qUtf8Printable(item));
    }
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

QStringList UpdaterDescription::stampStatements() const
{
    return {u"delete from version"_s, u"insert into version values(%1)"_s.arg(*currentVersion)};
}

QString UpdaterDescription::targetText() const
{
    return currentVersion ? QString::number(*currentVersion) : u"unchanged"_s;
}

QStringList UpdaterDescription::pendingBlocks(qint32 storedVersion) const
{
    QStringList names;
    for (const UpgradeSection &section : sections) {
        if (section.version && section.isNeededAt(storedVersion)
            && !names.contains(section.blockName))
            names << section.blockName;
    }
    return names;
}

int UpdaterDescription::stepCount(qint32 storedVersion) const
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

QStringList UpdaterDescription::statementsWithoutBlocks(qint32 storedVersion) const
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

const QList<UpdaterDescription> &updaters()
{
    static const QList<UpdaterDescription> files = [] {
        Q_INIT_RESOURCE(upgrades);
        QFile file(u":/upgrades.txt"_s);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("upgrades.txt is missing from the program");
        QList<UpdaterDescription> read;
        for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
            if (!line.isEmpty() && !line.startsWith(u'#'))
                addLine(read, line);
        }
        return read;
    }();
    return files;
}
