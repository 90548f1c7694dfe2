#include "testutil.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTranslator>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Statement failure lines shortened to "<file label> <line>"; other warnings as they are.
QStringList locations(const QStringList &warnings)
{
    static const QRegularExpression failure(u"^\\.\\\\(\\w+) \\( (\\d+) \\):  "_s);
    QStringList result;
    for (const QString &warning : warnings) {
        const QRegularExpressionMatch match = failure.match(warning);
        result << (match.hasMatch() ? match.captured(1) + u' ' + match.captured(2) : warning);
    }
    return result;
}

// The create statements of the tables and the trigger that the updates bring, as they run.
const QString userTable
    = u"create table user(\n\tid integer primary key,\n\tname text unique COLLATE NOCASE,\n\tpassword text,\n\tlevel integer default 0,\n\thide integer default 0 )"_s;
const QString curveInfoTable
    = u"-- curve debug info, since v1\ncreate table curveInfo (\n\tcurveId integer references curve,\n\tname text not null,\n\tvalue,\n\tunique (curveId, name) on conflict replace\n\t)"_s;
const QString currentCurveTable
    = u"-- currentCurve\ncreate table currentCurve (\n\tid integer primary key,\n\tname text unique on conflict replace,\n\tcurveId integer references curve\n\t)"_s;
const QString deleteCurveTrigger
    = u"create trigger deleteCurve after delete on curve\nbegin\n\tdelete from curvePoint    where    curvePoint.curveId = old.id;\n\tdelete from curveVariable where curveVariable.curveId = old.id;\n\tdelete from curveReagent  where  curveReagent.curveId = old.id;\n\tdelete from curveInfo     where     curveInfo.curveId = old.id;\n\tdelete from currentCurve  where  currentCurve.curveId = old.id;\nend"_s;

// The tables of the analyser application that profile.db holds at the given version.
QStringList profileSchema(int version)
{
    QStringList statements = {
        u"create table curve(id integer primary key, name text)"_s,
        u"create table curvePoint(curveId integer, x real, y real)"_s,
        u"create table curveVariable(curveId integer, name text, value)"_s,
        u"create table curveReagent(curveId integer, reagentId integer)"_s,
        u"create table assayCalibration(name text, funX text, funY text, assayTemplateId)"_s,
        u"create table assayItem(name text, precision integer)"_s,
        u"create table profile(name text primary key, value)"_s,
        u"create table reagent(id integer primary key, type integer, name text unique, "
        u"initVolume integer, alarmLimit integer, vialType integer)"_s,
        u"create table variable(id integer primary key, assayTemplateId, name text, value)"_s,
    };
    if (version < 1) {
        statements << u"create table user(id integer primary key, name text, password text, "
                      u"level integer)"_s;
        return statements;
    }
    statements
        << userTable << curveInfoTable
        << u"create trigger deleteCurve after delete on curve \nbegin \n\tdelete from curvePoint    where    curvePoint.curveId = old.id;\n\tdelete from curveVariable where curveVariable.curveId = old.id;\n\tdelete from curveReagent  where  curveReagent.curveId = old.id;\n\tdelete from curveInfo     where     curveInfo.curveId = old.id;\nend"_s
        << u"create table version(version integer)"_s
        << u"insert into version values(%1)"_s.arg(version);
    if (version >= 2)
        statements << u"alter table curve add column instrUuid text"_s
                   << u"create unique index curve_index on curve(name, instrUuid)"_s;
    if (version >= 3)
        statements << u"alter table assayCalibration add column method integer"_s
                   << u"alter table assayCalibration add column dispX text"_s
                   << u"alter table assayCalibration add column dispY text"_s
                   << u"alter table curve add column c real"_s
                   << u"alter table curve add column d real"_s
                   << u"alter table curve add column e real"_s
                   << u"alter table curve add column valid integer"_s;
    if (version >= 4)
        statements << u"alter table curve add column lotsNum text"_s << currentCurveTable
                   << u"drop index curve_index"_s << u"drop trigger if exists deleteCurve"_s
                   << deleteCurveTrigger;
    return statements;
}

// The text that SQLite keeps of a create statement: without its leading comment, and with the
// opening keywords in capitals.
QString storedText(const QString &statement)
{
    static const QRegularExpression head(u"^(?:--[^\n]*\n)?create (table|trigger) "_s);
    QString text = statement;
    const QRegularExpressionMatch match = head.match(text);
    return text.replace(0, match.capturedLength(),
                        u"CREATE "_s + match.captured(1).toUpper() + u' ');
}

const QStringList sampleRows = {
    u"insert into user(id, name, password, level) values(1, 'admin', 'x', 9)"_s,
    u"insert into user(id, name, password, level) values(4, 'lab', null, 1)"_s,
    u"insert into curve(id, name) values(1, 'PT'), (2, 'PT'), (3, 'APTT')"_s,
    u"insert into assayCalibration(name, funX, funY) values('PT', 'Linear', 'Linear')"_s,
    u"insert into assayCalibration(name, funX, funY) values('PT 演算 FIB', 'Linear', 'Linear')"_s,
    u"insert into assayItem values('OD', 3)"_s,
};

// Writes a translation file of the context "UpdateProfile" from "<label>=<translation>" entries,
// compiled by lrelease. "gbk" instead stands for the shipped file that an older version of the
// program made, which knows the nine labels only by their GBK bytes and translates them to
// English.
bool writeTranslation(const QString &path, const QStringList &entries)
{
    if (entries == QStringList {u"gbk"_s})
        return QFile::copy(QStringLiteral(SOURCE_DIR "/tests/fuzz/seeds/dbupdate_gbk.qm"), path);
    QString messages;
    for (const QString &entry : entries) {
        messages += u"<message><source>%1</source><translation>%2</translation></message>\n"_s.arg(
            entry.section(u'=', 0, 0).toHtmlEscaped(), entry.section(u'=', 1).toHtmlEscaped());
    }
    QFile source(path + u".ts"_s);
    if (!source.open(QIODevice::WriteOnly)
        || source.write(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                        u"<TS version=\"2.1\" language=\"en\"><context><name>UpdateProfile</name>\n"
                        u"%1</context></TS>\n"_s.arg(messages)
                            .toUtf8())
            < 0)
        return false;
    source.close();
    return QProcess::execute(QStringLiteral(LRELEASE_EXECUTABLE),
                             {u"-silent"_s, source.fileName(), u"-qm"_s, path})
        == 0;
}

QString profileValue(const QString &key)
{
    return TestUtil::column(u"profile.db"_s,
                            u"select value from profile where name = '%1'"_s.arg(key))
        .value(0);
}

// The statements of a sample database script; a trigger's body stays with its create.
QStringList sampleScript(const QString &name)
{
    const QString script = QString::fromUtf8(
        TestUtil::readFile(QStringLiteral(SOURCE_DIR "/samples/") + name + u".sql"_s));
    QStringList statements;
    QString statement;
    for (const QString &line : script.split(u'\n')) {
        if (line.startsWith(u"--"_s) || line.isEmpty())
            continue;
        statement += line + u'\n';
        const bool inTrigger = statement.startsWith(u"create trigger"_s) && line != u"end;"_s;
        if (line.endsWith(u';') && !inTrigger) {
            statements << statement.trimmed().chopped(1);
            statement.clear();
        }
    }
    return statements;
}

const QString chineseDilution = u"梯度1;1/5;1/10;1/20;1/30,梯度2;1/5;1/10;1/20;1/30;1/40,"
                                u"梯度3;1/1;1/2;1/4;1/8,梯度4;1/1;3/4;1/2;1/4"_s;

const QStringList backfillRows = {
    u"insert into assayCalibration(name, assayTemplateId) values('PT', 1), ('APTT', 2)"_s,
    u"insert into curve(id, name) values(1, 'PT'), (2, 'APTT'), (3, 'Other')"_s,
    u"insert into curveVariable values(1, 'a', 1.5), (1, 'b', 'text'), (1, 'c', x'00ff'), "
    u"(1, 'd', 7), (1, 'n', null), (2, 'a', 2.5), (3, 'z', 9)"_s,
    u"insert into variable values(1, 1, 'a', null), (2, 1, 'b', null), (3, 1, 'c', null), "
    u"(4, 1, 'd', null), (5, 2, 'a', null), (6, 1, 'z', null), (7, 1, 'a', null), "
    u"(8, 1, 'n', null), (9, '1', 'a', null)"_s,
};

// Text is shown by its bytes, which must arrive exactly as stored.
const QString variableValues
    = u"select ifnull(id, 'null') || ':' || typeof(value) || ':' || "
      u"quote(iif(typeof(value) = 'text', cast(value as blob), value)) from variable order by id"_s;

} // namespace

class TestUpdateProfile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir::setCurrent(m_dir->path()));
        m_capture.reset(new TestUtil::WarningCapture);
    }

    void cleanup()
    {
        m_capture.reset();
        for (QTranslator *translator : std::as_const(m_translators))
            QCoreApplication::removeTranslator(translator);
        qDeleteAll(m_translators);
        m_translators.clear();
    }

    void upgrade_data()
    {
        QTest::addColumn<QStringList>("fixture");
        QTest::addColumn<QStringList>("expectedLines");
        QTest::addColumn<QStringList>("expectedVersion");
        QTest::addColumn<bool>("settingsWritten");
        QTest::addColumn<bool>("calibrated");
        QTest::addColumn<QStringList>("currentCurves");

        const QStringList none;
        const QStringList four = {u"4"_s};
        // The later of two curves of one name becomes the current one.
        const QStringList current = {u"APTT3"_s, u"PT2"_s};
        QTest::newRow("no version table") << profileSchema(0) << QStringList {u"updateprofile 52"_s}
                                          << four << true << true << current;
        const QStringList versionTable = profileSchema(0)
            << u"create table version(version integer)"_s;
        const QStringList versionTableLines = {u"updateprofile 46"_s, u"updateprofile 52"_s};
        QTest::newRow("empty version table")
            << versionTable << versionTableLines << four << true << true << current;
        QTest::newRow("negative version")
            << versionTable + QStringList {u"insert into version values(-1)"_s} << versionTableLines
            << four << true << true << current;
        QTest::newRow("version 1") << profileSchema(1) << QStringList {u"updateprofile 52"_s}
                                   << four << true << true << current;
        QTest::newRow("version 1 with a column already added")
            << profileSchema(1) + QStringList {u"alter table curve add column instrUuid text"_s}
            << QStringList {u"updateprofile 51"_s, u"updateprofile 52"_s} << four << true << true
            << current;
        QTest::newRow("user levels held as text, which the new layout makes numbers")
            << profileSchema(0)
                + QStringList {u"drop table user"_s,
                               u"create table user(id, name, password, level text)"_s}
            << QStringList {u"updateprofile 52"_s} << four << true << true << current;
        QTest::newRow("version 2") << profileSchema(2) << none << four << false << true << current;
        QTest::newRow("version 3") << profileSchema(3) << none << four << false << false << current;
        QTest::newRow("version 4") << profileSchema(4) << none << four << false << false << none;
        QTest::newRow("version 5 is left as it is")
            << profileSchema(4) + QStringList {u"update version set version = 5"_s}
            << QStringList {u"profile.db has version 5, newer than this program's 4: its "
                            u"version was left as it is"_s}
            << QStringList {u"5"_s} << false << false << none;
    }

    void upgrade()
    {
        QFETCH(QStringList, fixture);
        QFETCH(QStringList, expectedLines);
        QFETCH(QStringList, expectedVersion);
        QFETCH(bool, settingsWritten);
        QFETCH(bool, calibrated);
        QFETCH(QStringList, currentCurves);
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, fixture + sampleRows), QString());
        const QByteArray before = TestUtil::readFile(u"profile.db"_s);

        TestUtil::StepRecorder steps;
        {
            TestUtil::UpdateOf updater(u"profile.db"_s);
            updater.setProgressObserver(&steps);
            QVERIFY(updater.run().succeeded());
        }
        QCOMPARE(steps.reported, steps.announced);
        QCOMPARE(locations(m_capture->warnings), expectedLines);

        const QString db = u"profile.db"_s;
        QCOMPARE(TestUtil::column(db, u"select version from version"_s), expectedVersion);
        // A file newer than this program keeps every byte.
        if (expectedVersion == QStringList {u"5"_s}) {
            QCOMPARE(TestUtil::readFile(db), before);
            return;
        }
        QCOMPARE(TestUtil::column(db, u"select name from pragma_table_info('curve')"_s),
                 QStringList({u"id"_s, u"name"_s, u"instrUuid"_s, u"c"_s, u"d"_s, u"e"_s,
                              u"valid"_s, u"lotsNum"_s}));
        QCOMPARE(TestUtil::column(db, u"select name from pragma_table_info('assayCalibration')"_s),
                 QStringList({u"name"_s, u"funX"_s, u"funY"_s, u"assayTemplateId"_s, u"method"_s,
                              u"dispX"_s, u"dispY"_s}));
        QCOMPARE(TestUtil::schemaText(db, u"curve_index"_s), QString());
        QCOMPARE(TestUtil::schemaText(db, u"deleteCurve"_s), storedText(deleteCurveTrigger));
        QCOMPARE(
            TestUtil::column(db, u"select id || name || password || level || hide from user"_s),
            QStringList({u"1adminx90"_s, u"<null>"_s}));
        QCOMPARE(profileValue(u"FIB/report/dilution"_s).isEmpty(), !settingsWritten);
        QCOMPARE(TestUtil::column(db,
                                  u"select method || funX || dispX || dispY from "
                                  u"assayCalibration where name = 'PT 演算 FIB'"_s),
                 QStringList(calibrated ? u"0LogLogLog"_s : u"<null>"_s));
        QCOMPARE(TestUtil::column(db, u"select precision from assayItem"_s), QStringList {u"-1"_s});
        QCOMPARE(TestUtil::column(db, u"select name || curveId from currentCurve order by name"_s),
                 currentCurves);
    }

    void schemaTexts()
    {
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, profileSchema(0)), QString());
        QVERIFY(TestUtil::UpdateOf(u"profile.db"_s).run().succeeded());
        const QString db = u"profile.db"_s;
        QCOMPARE(TestUtil::schemaText(db, u"user"_s), storedText(userTable));
        QCOMPARE(TestUtil::schemaText(db, u"curveInfo"_s), storedText(curveInfoTable));
        QCOMPARE(TestUtil::schemaText(db, u"version"_s),
                 storedText(u"create table version(version integer)"_s));
        QCOMPARE(TestUtil::schemaText(db, u"currentCurve"_s), storedText(currentCurveTable));
        QCOMPARE(TestUtil::schemaText(db, u"deleteCurve"_s), storedText(deleteCurveTrigger));
        QCOMPARE(TestUtil::schemaText(db, u"user_bak"_s), QString());
    }

    void missingUserTable()
    {
        QStringList fixture = profileSchema(0);
        fixture.removeLast();
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, fixture), QString());
        QVERIFY(TestUtil::UpdateOf(u"profile.db"_s).run().succeeded());
        QCOMPARE(locations(m_capture->warnings),
                 QStringList({u"updatebase 39"_s, u"updatebase 47"_s, u"updateprofile 25"_s,
                              u"updateprofile 52"_s}));
        QCOMPARE(TestUtil::schemaText(u"profile.db"_s, u"user"_s), storedText(userTable));
    }

    // Plain inserts keep a value already present, replace overwrites it.
    void settingsAlreadyPresent()
    {
        QCOMPARE(
            TestUtil::execAll(
                u"profile.db"_s,
                profileSchema(1)
                    + QStringList {u"insert into profile values('dilution', 'old'), "
                                   u"('schedule/test/PT', 1), ('analyst/FIB/odPercent', 0.9), "
                                   u"('XI/disable', 1), ('own', 'kept')"_s,
                                   u"insert into reagent(name, initVolume) values('Buffer', 1)"_s,
                                   u"insert into reagent(name, vialType) values('Latex', 9)"_s}),
            QString());
        QVERIFY(TestUtil::UpdateOf(u"profile.db"_s).run().succeeded());
        QCOMPARE(
            locations(m_capture->warnings),
            QStringList({u"updateprofile 52"_s, u"updateprofile 111"_s, u"updateprofile 177"_s}));
        QCOMPARE(profileValue(u"dilution"_s), u"old"_s);
        QCOMPARE(profileValue(u"schedule/test/PT"_s), u"27"_s);
        QCOMPARE(profileValue(u"analyst/FIB/odPercent"_s), u"0.9"_s);
        QCOMPARE(profileValue(u"XI/disable"_s), QString());
        QCOMPARE(profileValue(u"own"_s), u"kept"_s);
        QCOMPARE(profileValue(u"analyst/odThreshold"_s), u"4,0.2; 8,0.05; 10,0.01"_s);
        QCOMPARE(TestUtil::column(u"profile.db"_s, u"select count(*) from profile"_s),
                 QStringList {u"39"_s});
        QCOMPARE(TestUtil::column(
                     u"profile.db"_s,
                     u"select type || name || initVolume || alarmLimit || vialType "
                     u"from reagent where name in ('Buffer', 'Latex', 'DD ct') order by type"_s),
                 QStringList({u"0Latex20002003"_s, u"5DD ct10002001"_s}));
        QCOMPARE(TestUtil::column(u"profile.db"_s, u"select count(*) from reagent"_s),
                 QStringList {u"13"_s});
    }

    void labels_data()
    {
        QTest::addColumn<QList<QStringList>>("translations");
        QTest::addColumn<QString>("expectedDilution");
        QTest::addColumn<QString>("expectedSampleType");
        QTest::addColumn<QString>("expectedHospitalNo");

        QTest::newRow("no translation")
            << QList<QStringList>() << chineseDilution << u"样本类型"_s << u"住院号"_s;
        QTest::newRow("only one label translated")
            << QList<QStringList> {{u"梯度2=Two"_s}}
            << u"梯度1;1/5;1/10;1/20;1/30,Two;1/5;1/10;1/20;1/30;1/40,梯度3;1/1;1/2;1/4;1/8,梯度4;"
               u"1/1;3/4;1/2;1/4"_s
            << u"样本类型"_s << u"住院号"_s;
        QTest::newRow("later file wins")
            << QList<QStringList> {{u"住院号=First"_s, u"样本类型=Sample"_s}, {u"住院号=Second"_s}}
            << chineseDilution << u"Sample"_s << u"Second"_s;
        QTest::newRow("translation holding a later marker")
            << QList<QStringList> {{u"梯度1=A%3"_s}}
            << u"A梯度3;1/5;1/10;1/20;1/30,梯度2;1/5;1/10;1/20;1/30;1/40,梯度3;1/1;1/2;1/4;1/8,"
               u"梯度4;1/1;3/4;1/2;1/4"_s
            << u"样本类型"_s << u"住院号"_s;
        QTest::newRow("translation with a quote")
            << QList<QStringList> {{u"住院号=Patient's No."_s}} << chineseDilution << u"样本类型"_s
            << u"Patient's No."_s;
        const QString englishDilution
            = u"Gradient 1;1/5;1/10;1/20;1/30,Gradient 2;1/5;1/10;1/20;1/30;1/40,Gradient 3;1/1;"
              u"1/2;1/4;1/8,Gradient 4;1/1;3/4;1/2;1/4"_s;
        QTest::newRow("file keyed by GBK bytes")
            << QList<QStringList> {{u"gbk"_s}} << englishDilution << u"Sample type"_s
            << u"Inpatient No."_s;
        QTest::newRow("files keyed either way")
            << QList<QStringList> {{u"gbk"_s}, {u"住院号=No."_s}} << englishDilution
            << u"Sample type"_s << u"No."_s;
    }

    void labels()
    {
        QFETCH(QList<QStringList>, translations);
        QFETCH(QString, expectedDilution);
        QFETCH(QString, expectedSampleType);
        QFETCH(QString, expectedHospitalNo);
        for (const QStringList &entries : std::as_const(translations)) {
            const QString path = m_dir->filePath(u"t%1.qm"_s.arg(m_translators.size()));
            QVERIFY(writeTranslation(path, entries));
            m_translators << new QTranslator;
            QVERIFY(m_translators.last()->load(path));
            QVERIFY(QCoreApplication::installTranslator(m_translators.last()));
        }
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, profileSchema(0)), QString());

        QVERIFY(TestUtil::UpdateOf(u"profile.db"_s).run().succeeded());
        QCOMPARE(locations(m_capture->warnings), QStringList {u"updateprofile 52"_s});
        QCOMPARE(profileValue(u"dilution"_s), expectedDilution);
        QCOMPARE(profileValue(u"patient/sampleType"_s), expectedSampleType);
        QCOMPARE(profileValue(u"patient/hospitalNo"_s), expectedHospitalNo);
        // Only the older program's file translates every label.
        const bool everyLabel = translations.contains(QStringList {u"gbk"_s});
        QCOMPARE(profileValue(u"reagent/initVolume"_s),
                 everyLabel ? u"Initial volume[ul]"_s : u"初始量[ul]"_s);
    }

    void deletingCurveClearsItsRows()
    {
        const QStringList tables = {u"curvePoint"_s, u"curveVariable"_s, u"curveReagent"_s};
        QStringList fixture = profileSchema(0) + sampleRows;
        for (const QString &table : tables) {
            fixture << u"insert into %1(curveId) values(2)"_s.arg(table)
                    << u"insert into %1(curveId) values(3)"_s.arg(table);
        }
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, fixture), QString());
        QVERIFY(TestUtil::UpdateOf(u"profile.db"_s).run().succeeded());
        QCOMPARE(TestUtil::execAll(u"profile.db"_s,
                                   {u"insert into curveInfo values(2, 'x', 1)"_s,
                                    u"insert into curveInfo values(3, 'x', 1)"_s,
                                    u"delete from curve where id = 2"_s}),
                 QString());
        for (const QString &table : tables + QStringList {u"curveInfo"_s, u"currentCurve"_s}) {
            QCOMPARE(TestUtil::column(u"profile.db"_s,
                                      u"select group_concat(curveId) from %1"_s.arg(table)),
                     QStringList {u"3"_s});
        }
    }

    void backfill_data()
    {
        QTest::addColumn<QStringList>("change");
        QTest::addColumn<bool>("expectedResult");
        QTest::addColumn<QStringList>("expectedLines");
        QTest::addColumn<QStringList>("expectedValues");

        const QStringList unfilled = {u"1:null:NULL"_s, u"2:null:NULL"_s, u"3:null:NULL"_s,
                                      u"4:null:NULL"_s, u"5:null:NULL"_s, u"6:null:NULL"_s,
                                      u"7:null:NULL"_s, u"8:null:NULL"_s, u"9:null:NULL"_s};
        const QStringList filled = {u"1:real:1.5"_s,  u"2:text:X'74657874'"_s, u"3:blob:X'00FF'"_s,
                                    u"4:integer:7"_s, u"5:real:2.5"_s,         u"6:null:NULL"_s,
                                    u"7:real:1.5"_s,  u"8:null:NULL"_s,        u"9:null:NULL"_s};
        QTest::newRow("filled from curves of the same assay template")
            << QStringList() << true << QStringList() << filled;
        QStringList bytesKept = filled;
        bytesKept[1] = u"2:text:X'E4B8FF'"_s;
        QTest::newRow("names and values that are not valid UTF-8 kept byte for byte")
            << QStringList {u"update curveVariable set name = cast(x'C4FF' as text), "
                            u"value = cast(x'E4B8FF' as text) where name = 'b'"_s,
                            u"update variable set name = cast(x'C4FF' as text) where id = 2"_s}
            << true << QStringList() << bytesKept;
        QTest::newRow("several curves of an assay: every value keeps its bytes and storage class")
            << QStringList {u"insert into curve(id, name) values(4, 'PT')"_s,
                            u"insert into curveVariable values(4, 'a', 1.5), "
                            u"(1, 'u', cast(x'E4B8FF41' as text)), "
                            u"(1, 'nul', cast(x'610062' as text)), (4, 'digits', '0123')"_s,
                            u"insert into variable values(10, 1, 'u', null), "
                            u"(11, 1, 'nul', null), (12, 1, 'digits', null)"_s}
            << true << QStringList()
            << (QStringList(filled) << u"10:text:X'E4B8FF41'"_s << u"11:text:X'610062'"_s
                                    << u"12:text:X'30313233'"_s);
        QStringList byId = filled;
        byId[3] = u"4:real:1.5"_s;
        byId.insert(4, u"4:real:1.5"_s);
        byId.prepend(u"null:null:NULL"_s);
        QTest::newRow("untyped variable ids, some null or repeated: written by id as looked up")
            << QStringList {u"create table untyped(id, assayTemplateId, name text, value)"_s,
                            u"insert into untyped select * from variable"_s,
                            u"drop table variable"_s, u"alter table untyped rename to variable"_s,
                            u"insert into variable values(null, 1, 'a', null), (4, 1, 'a', null)"_s}
            << true << QStringList() << byId;
        QTest::newRow("two curves of a name, each with the variable, under indexes that order them")
            << QStringList {u"insert into curve(id, name) values(4, 'PT')"_s,
                            u"insert into curveVariable values(1, 'ISI', 1.05), (4, 'ISI', 8.88)"_s,
                            u"insert into variable values(10, 1, 'ISI', null)"_s,
                            u"create index cv_curve on curveVariable(curveId desc, name)"_s,
                            u"create index c_name on curve(name, id desc)"_s}
            << true << QStringList() << (QStringList(filled) << u"10:real:1.05"_s);
        QStringList valued = unfilled;
        valued[5] = u"6:integer:0"_s;
        QTest::newRow("a variable already valued")
            << QStringList {u"update variable set value = 0 where id = 6"_s} << true
            << QStringList() << valued;
        QTest::newRow("no variables")
            << QStringList {u"delete from variable"_s} << true << QStringList() << QStringList();
        const auto kept = [](const QString &error) {
            return u"Can't update profile.db: filling the assay variables failed (%1); its "
                   u"layout, version 4 and default settings were saved, the variables were left "
                   u"as they were"_s.arg(error);
        };
        QTest::newRow("no variable table")
            << QStringList {u"drop table variable"_s} << false
            << QStringList {u"updateprofile 227"_s, kept(u"no such table: variable"_s)}
            << QStringList();
        QTest::newRow("no curveVariable table")
            << QStringList {u"drop table curveVariable"_s} << false
            << QStringList {u"updateprofile 246"_s, kept(u"no such table: curveVariable"_s)}
            << unfilled;
        QTest::newRow("failure part-way")
            << QStringList {u"create trigger refuse before update on variable when new.id = 5 "
                            u"begin select raise(abort, 'refused'); end"_s}
            << false << QStringList {u"updateprofile 268"_s, kept(u"refused"_s)} << unfilled;
        QTest::newRow("newer file without a variable table: one warning, nothing run")
            << QStringList {u"drop table variable"_s, u"update version set version = 5"_s} << true
            << QStringList {u"profile.db has version 5, newer than this program's 4: its version "
                            u"was left as it is"_s}
            << QStringList();
    }

    // Stamp and defaults stay whatever the backfill gives; its own values are all or nothing.
    void backfill()
    {
        QFETCH(QStringList, change);
        QFETCH(bool, expectedResult);
        QFETCH(QStringList, expectedLines);
        QFETCH(QStringList, expectedValues);
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, profileSchema(3) + backfillRows + change),
                 QString());

        QCOMPARE(TestUtil::UpdateOf(u"profile.db"_s).run().succeeded(), expectedResult);
        QCOMPARE(locations(m_capture->warnings), expectedLines);
        QCOMPARE(TestUtil::column(u"profile.db"_s, variableValues), expectedValues);
        // A file newer than this program keeps its version and gets no version-4 block.
        const bool newer = change.contains(u"update version set version = 5"_s);
        QCOMPARE(TestUtil::column(u"profile.db"_s, u"select version from version"_s),
                 QStringList {newer ? u"5"_s : u"4"_s});
        QCOMPARE(TestUtil::column(u"profile.db"_s, u"select count(*) from currentCurve"_s),
                 newer ? QStringList() : QStringList {u"3"_s});
    }

    // The value is the first row that the lookup itself returns.
    void backfillSeveralCandidates()
    {
        const QStringList more = {u"insert into curve(id, name) values(4, 'PT')"_s,
                                  u"insert into curveVariable values(4, 'd', 8), (1, 'd', 6)"_s};
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, profileSchema(4) + backfillRows + more),
                 QString());
        QString first;
        {
            TestUtil::Database database(u"profile.db"_s);
            QSqlQuery lookup = database.query();
            QVERIFY(lookup.prepare(
                u"select curveVariable.value from curveVariable, curve, assayCalibration where curveVariable.name=:name and curveId=curve.id       and curve.name=assayCalibration.name       and assayCalibration.assayTemplateId=:assayTemplateId"_s));
            lookup.bindValue(u":name"_s, u"d"_s);
            lookup.bindValue(u":assayTemplateId"_s, 1);
            QVERIFY(lookup.exec() && lookup.next());
            first = lookup.value(0).toString();
        }
        QVERIFY(TestUtil::UpdateOf(u"profile.db"_s).run().succeeded());
        QCOMPARE(TestUtil::column(u"profile.db"_s, u"select value from variable where id = 4"_s),
                 QStringList {first});
    }

    void shippedEnglishTranslation()
    {
        QVERIFY(
            QFile::copy(QStringLiteral(TEST_BINARY_DIR "/../dbupdate_en.qm"), u"dbupdate_en.qm"_s));
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, profileSchema(0)), QString());

        const TestUtil::RunResult result
            = TestUtil::runDbupdate(QDir::currentPath(), {u"update.log"_s, u"dbupdate_en.qm"_s});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(profileValue(u"dilution"_s),
                 u"Gradient 1;1/5;1/10;1/20;1/30,Gradient 2;1/5;1/10;1/20;1/30;1/40,Gradient "
                 u"3;1/1;1/2;1/4;1/8,Gradient 4;1/1;3/4;1/2;1/4"_s);
        const QStringList keys
            = {u"patient/sampleType"_s, u"reagent/initVolume"_s, u"reagent/alarmLimit"_s,
               u"reagent/interruptLimit"_s, u"patient/hospitalNo"_s};
        QStringList values;
        for (const QString &key : keys)
            values << profileValue(key);
        QCOMPARE(values,
                 QStringList({u"Sample type"_s, u"Initial volume[ul]"_s, u"Alarm limit[ul]"_s,
                              u"Interrupt limit[ul]"_s, u"Inpatient No."_s}));
    }

    // The shipped first-generation sample set, upgraded by the real program.
    void completeFirstGenerationRun()
    {
        for (const QString &name : {u"profile"_s, u"data"_s, u"qc"_s, u"syslog"_s})
            QCOMPARE(TestUtil::execAll(name + u".db"_s, sampleScript(name)), QString());
        const QByteArray qcBefore = TestUtil::readFile(u"qc.db"_s);

        const TestUtil::RunResult result
            = TestUtil::runDbupdate(QDir::currentPath(), {u"update.log"_s});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(TestUtil::updaterLines(u"update.log"_s).filter(u".\\updateprofile"_s),
                 QStringList());
        for (const QString &written : {u"profile.db"_s, u"data.db"_s, u"syslog.db"_s}) {
            QCOMPARE(TestUtil::column(written, u"select version from version"_s),
                     QStringList {TestUtil::currentVersion(written)});
        }
        const QString db = u"profile.db"_s;
        QCOMPARE(TestUtil::column(db, u"select name from user order by id"_s),
                 QStringList({u"admin"_s, u"service"_s, u"李医生"_s}));
        QCOMPARE(TestUtil::column(db, u"select name || curveId from currentCurve order by name"_s),
                 QStringList({u"FIB2"_s, u"PT3"_s}));
        QCOMPARE(TestUtil::column(db, u"select typeof(value) from variable order by id"_s),
                 QStringList({u"real"_s, u"real"_s, u"null"_s}));
        QCOMPARE(profileValue(u"schedule/test/PT"_s), u"27"_s);
        QCOMPARE(profileValue(u"patient/hospitalNo"_s), u"住院号"_s);
        QCOMPARE(TestUtil::readFile(u"qc.db"_s), qcBefore);
    }

    void failureEndsRun_data()
    {
        QTest::addColumn<QStringList>("fixture");
        QTest::addColumn<QString>("expectedLine");
        QTest::addColumn<bool>("profileUnchanged");

        QTest::newRow("user copy fails")
            << profileSchema(0)
                + QStringList {u"insert into user values(1, 'Lab', '', 0)"_s,
                               u"insert into user values(2, 'LAB', '', 0)"_s}
            << u"Warning: .\\updatebase ( 69 ):  UNIQUE constraint failed: user.name"_s << true;
        QTest::newRow("backfill fails")
            << profileSchema(0)
                + QStringList {u"create index curve_index on curve(name)"_s,
                               u"drop table variable"_s}
            << u"Warning: .\\updateprofile ( 227 ):  no such table: variable"_s << false;
        QTest::newRow("version stamp that cannot be written")
            << profileSchema(0)
                + QStringList {u"create table version(version integer check(version < 4))"_s}
            << u"Warning: .\\updateprofile ( 98 ):  CHECK constraint failed: version < 4"_s << true;
    }

    void failureEndsRun()
    {
        QFETCH(QStringList, fixture);
        QFETCH(QString, expectedLine);
        QFETCH(bool, profileUnchanged);
        QCOMPARE(TestUtil::execAll(u"profile.db"_s, fixture), QString());
        QCOMPARE(TestUtil::execAll(u"data.db"_s, {u"create table patient(id integer)"_s}),
                 QString());
        const QByteArray profileBefore = TestUtil::readFile(u"profile.db"_s);
        const QByteArray dataBefore = TestUtil::readFile(u"data.db"_s);

        const TestUtil::RunResult result
            = TestUtil::runDbupdate(QDir::currentPath(), {u"update.log"_s});
        QCOMPARE(result.exitCode, 1);
        const QStringList lines = TestUtil::updaterLines(u"update.log"_s);
        QVERIFY2(lines.size() >= 2 && lines.at(lines.size() - 2).startsWith(expectedLine),
                 qPrintable(lines.join(u'\n')));
        QVERIFY2(lines.last().startsWith(u"Warning: Can't update profile.db: "_s),
                 qPrintable(lines.last()));
        QCOMPARE(TestUtil::readFile(u"profile.db"_s) == profileBefore, profileUnchanged);
        if (!profileUnchanged) {
            QCOMPARE(TestUtil::column(u"profile.db"_s, u"select version from version"_s),
                     QStringList {u"4"_s});
            QCOMPARE(profileValue(u"patient/hospitalNo"_s), u"住院号"_s);
        }
        QCOMPARE(TestUtil::readFile(u"data.db"_s), dataBefore);
        QVERIFY(!QFile::exists(u"qc.db"_s));
        QVERIFY(!QFile::exists(u"syslog.db"_s));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QScopedPointer<TestUtil::WarningCapture> m_capture;
    QList<QTranslator *> m_translators;
};

QTEST_GUILESS_MAIN(TestUpdateProfile)
#include "tst_updateprofile.moc"
