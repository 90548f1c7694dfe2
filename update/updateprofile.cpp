#include "updateprofile.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

const char label[] = ".\\updateprofile";

// Each block's steps are those of its schema part and of its default settings.
const UpgradeBlock version1 = {1, u"version 1"_s, 8};
const UpgradeBlock version2 = {2, u"version 2"_s, 3 + 64};
const UpgradeBlock version3 = {3, u"version 3"_s, 7 + 14};
const UpgradeBlock version4 = {4, u"version 4"_s, 5 + 1};

const QString deleteVersions = u"delete from version"_s;
const QString insertVersion = u"insert into version values(4)"_s;
// The variables are filled only while none holds a value, one update each.
const QString countFilledVariables = u"select count(*) from variable where value notnull"_s;
const QString updateVariable = u"update variable set value=:value where id=:id"_s;

// A label written into profile.db. Older translation files were made while the program held
// its texts in the GBK code page, so they know a label only by its GBK bytes.
struct LabelText
{
    const char *text;
    const char *gbkText;
};

const LabelText gradient1 = {QT_TRANSLATE_NOOP("UpdateProfile", "梯度1"), "\xcc\xdd\xb6\xc8\x31"};
const LabelText gradient2 = {QT_TRANSLATE_NOOP("UpdateProfile", "梯度2"), "\xcc\xdd\xb6\xc8\x32"};
const LabelText gradient3 = {QT_TRANSLATE_NOOP("UpdateProfile", "梯度3"), "\xcc\xdd\xb6\xc8\x33"};
const LabelText gradient4 = {QT_TRANSLATE_NOOP("UpdateProfile", "梯度4"), "\xcc\xdd\xb6\xc8\x34"};
const LabelText sampleType
    = {QT_TRANSLATE_NOOP("UpdateProfile", "样本类型"), "\xd1\xf9\xb1\xbe\xc0\xe0\xd0\xcd"};
const LabelText initVolume
    = {QT_TRANSLATE_NOOP("UpdateProfile", "初始量[ul]"), "\xb3\xf5\xca\xbc\xc1\xbf[ul]"};
const LabelText alarmLimit
    = {QT_TRANSLATE_NOOP("UpdateProfile", "报警限[ul]"), "\xb1\xa8\xbe\xaf\xcf\xde[ul]"};
const LabelText interruptLimit
    = {QT_TRANSLATE_NOOP("UpdateProfile", "中断限[ul]"), "\xd6\xd0\xb6\xcf\xcf\xde[ul]"};
const LabelText hospitalNo
    = {QT_TRANSLATE_NOOP("UpdateProfile", "住院号"), "\xd7\xa1\xd4\xba\xba\xc5"};

// The installed translation of the label, looked up by its text and then by its GBK bytes;
// the text itself when there is none. Quotes are doubled for the SQL text literal it goes into.
QString translated(const LabelText &labelText)
{
    QString text = UpdateProfile::tr(labelText.text);
    if (text == QString::fromUtf8(labelText.text)) {
        const QString fromGbk = UpdateProfile::tr(labelText.gbkText);
        if (fromGbk != QString::fromUtf8(labelText.gbkText))
            text = fromGbk;
    }
    return text.replace(u'\'', u"''"_s);
}

// Tells apart the values that SQLite compares differently: null, 1, 1.0, '1' and x'31'.
QString valueKey(const QVariant &value)
{
    if (value.isNull())
        return u"null"_s;
    if (value.typeId() == QMetaType::QByteArray)
        return u"blob:"_s + QString::fromLatin1(value.toByteArray().toHex());
    return QString::number(value.typeId()) + u':' + value.toString();
}

} // namespace

const UpdaterDescription &UpdateProfile::description()
{
    // The version 4 block drops curve_index and creates no other, so none is promised.
    static const UpdaterDescription description = {
        u"profile.db"_s,
        currentVersion,
        {version1, version2, version3, version4},
        {{
             {u"user"_s,
              {{u"id"_s, u"integer"_s},
               {u"name"_s, u"text"_s, u"NOCASE"_s},
               {u"password"_s, u"text"_s},
               {u"level"_s, u"integer"_s},
               {u"hide"_s, u"integer"_s}}},
             {u"curveInfo"_s, {{u"curveId"_s, u"integer"_s}, {u"name"_s, u"text"_s}, {u"value"_s}}},
             {u"version"_s, {{u"version"_s, u"integer"_s}}},
             {u"curve"_s,
              {{u"instrUuid"_s, u"text"_s},
               {u"c"_s, u"real"_s},
               {u"d"_s, u"real"_s},
               {u"e"_s, u"real"_s},
               {u"valid"_s, u"integer"_s},
               {u"lotsNum"_s, u"text"_s}}},
             {u"assayCalibration"_s,
              {{u"method"_s, u"integer"_s}, {u"dispX"_s, u"text"_s}, {u"dispY"_s, u"text"_s}}},
             {u"currentCurve"_s,
              {{u"id"_s, u"integer"_s}, {u"name"_s, u"text"_s}, {u"curveId"_s, u"integer"_s}}},
         },
         {},
         {{u"deleteCurve"_s, u"curve"_s}},
         {}},
        {
            {u"user"_s, u"user"_s},
            {u"variable"_s, u"variable"_s, u"value notnull"_s},
            {u"currentCurve"_s, u"currentCurve"_s},
        },
        {deleteVersions, insertVersion},
        {countFilledVariables, updateVariable},
        // The stamp, the precision of OD, the variable backfill in its savepoint, the saving.
        2 + 1 + 3 + 1,
    };
    return description;
}

UpdateProfile::UpdateProfile(QObject *parent)
    : UpdateBase(description(), parent)
{
}

bool UpdateProfile::update()
{
    if (!upgradeSchema())
        return false;

    if (!stampVersion({deleteVersions, label, 97}, {insertVersion, label, 98}))
        return false;

    writeDefaults();
    return backfillVariables();
}

bool UpdateProfile::upgradeSchema()
{
    if (version1.isNeededAt(storedVersion())) {
        renameTable(u"user"_s, u"user_bak"_s);
        exec(
            u"create table user(\n\tid integer primary key,\n\tname text unique COLLATE NOCASE,\n\tpassword text,\n\tlevel integer default 0,\n\thide integer default 0 )"_s,
            label, 23);
        if (!rebuildTable(u"user"_s, u"user_bak"_s, {}, {u"drop table user_bak"_s, label, 25}))
            return false;
        exec(
            u"-- curve debug info, since v1\ncreate table curveInfo (\n\tcurveId integer references curve,\n\tname text not null,\n\tvalue,\n\tunique (curveId, name) on conflict replace\n\t)"_s,
            label, 34);
        exec(u"drop trigger if exists deleteCurve"_s, label, 36);
        exec(
            u"create trigger deleteCurve after delete on curve \nbegin \n\tdelete from curvePoint    where    curvePoint.curveId = old.id;\n\tdelete from curveVariable where curveVariable.curveId = old.id;\n\tdelete from curveReagent  where  curveReagent.curveId = old.id;\n\tdelete from curveInfo     where     curveInfo.curveId = old.id;\nend"_s,
            label, 43);
        exec(u"create table version(version integer)"_s, label, 46);
    }

    if (version2.isNeededAt(storedVersion())) {
        exec(u"alter table curve add column instrUuid text"_s, label, 51);
        exec(u"drop index curve_index"_s, label, 52);
        exec(u"create unique index curve_index on curve(name, instrUuid)"_s, label, 53);
    }

    if (version3.isNeededAt(storedVersion())) {
        exec(u"alter table assayCalibration add column method integer"_s, label, 58);
        exec(u"alter table assayCalibration add column dispX text"_s, label, 59);
        exec(u"alter table assayCalibration add column dispY text"_s, label, 60);
        exec(u"alter table curve add column c real"_s, label, 61);
        exec(u"alter table curve add column d real"_s, label, 62);
        exec(u"alter table curve add column e real"_s, label, 63);
        exec(u"alter table curve add column valid integer"_s, label, 64);
    }

    if (version4.isNeededAt(storedVersion())) {
        exec(u"alter table curve add column lotsNum text"_s, label, 69);
        exec(
            u"-- currentCurve\ncreate table currentCurve (\n\tid integer primary key,\n\tname text unique on conflict replace,\n\tcurveId integer references curve\n\t)"_s,
            label, 77);
        exec(u"drop index curve_index"_s, label, 78);
        exec(u"drop trigger if exists deleteCurve"_s, label, 81);
        exec(
            u"create trigger deleteCurve after delete on curve\nbegin\n\tdelete from curvePoint    where    curvePoint.curveId = old.id;\n\tdelete from curveVariable where curveVariable.curveId = old.id;\n\tdelete from curveReagent  where  curveReagent.curveId = old.id;\n\tdelete from curveInfo     where     curveInfo.curveId = old.id;\n\tdelete from currentCurve  where  currentCurve.curveId = old.id;\nend"_s,
            label, 89);
    }
    return true;
}

void UpdateProfile::writeDefaults()
{
    if (version2.isNeededAt(storedVersion())) {
        exec(u"insert into profile values('FIB/report/dilution', '1/10')"_s, label, 102);
        exec(
            u"insert into profile values('dilution', '%1;1/5;1/10;1/20;1/30,%2;1/5;1/10;1/20;1/30;1/40,%3;1/1;1/2;1/4;1/8,%4;1/1;3/4;1/2;1/4')"_s
                .arg(translated(gradient1))
                .arg(translated(gradient2))
                .arg(translated(gradient3))
                .arg(translated(gradient4)),
            label, 111);
        exec(u"insert into profile values('patient/sampleType',\t'%1')"_s.arg(
                 translated(sampleType)),
             label, 114);
        exec(u"delete from reagent where name = 'Buffer'"_s, label, 116);
        exec(u"delete from reagent where name = 'Latex'"_s, label, 117);
        exec(u"delete from reagent where name = 'Saline'"_s, label, 118);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(0, 'Latex',\t     2000, 200, 3)"_s,
            label, 119);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(0, 'FDP',           2000, 200, 3)"_s,
            label, 120);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Saline',\t     6500, 200, 6)"_s,
            label, 121);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(PT)',    6500, 200, 6)"_s,
            label, 122);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(APTT)',  6500, 200, 6)"_s,
            label, 123);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(FIB)',   6500, 200, 6)"_s,
            label, 124);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(TT)',    6500, 200, 6)"_s,
            label, 125);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(DD)',    6500, 200, 6)"_s,
            label, 126);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(EX)',    6500, 200, 6)"_s,
            label, 127);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(EN)',    6500, 200, 6)"_s,
            label, 128);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(FDP)',   6500, 200, 6)"_s,
            label, 129);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(5, 'DD ct',         1000, 200, 1)"_s,
            label, 130);
        exec(
            u"replace into reagent (type, name, initVolume, alarmLimit, vialType) values(5, 'FDP ct',        1000, 200, 1)"_s,
            label, 131);
        exec(u"replace into profile values('DD/mix/times',\t\t\t3)"_s, label, 133);
        exec(u"replace into profile values('DD/max_clot_time',\t\t120)"_s, label, 134);
        exec(u"replace into profile values('specialValue/DD/P',\t\t0.1)"_s, label, 135);
        exec(u"replace into profile values('DD/priority',\t\t\t10)"_s, label, 136);
        exec(u"replace into profile values('FDP/mix/times',\t\t\t3)"_s, label, 137);
        exec(u"replace into profile values('FDP/max_clot_time',\t\t120)"_s, label, 138);
        exec(u"replace into profile values('specialValue/FDP/P',\t\t0.1)"_s, label, 139);
        exec(u"delete from profile where name='DD/disable'"_s, label, 140);
        exec(u"delete from profile where name='II/disable'"_s, label, 141);
        exec(u"delete from profile where name='V/disable'"_s, label, 142);
        exec(u"delete from profile where name='VII/disable'"_s, label, 143);
        exec(u"delete from profile where name='X/disable'"_s, label, 144);
        exec(u"delete from profile where name='VIII/disable'"_s, label, 145);
        exec(u"delete from profile where name='IX/disable'"_s, label, 146);
        exec(u"delete from profile where name='XI/disable'"_s, label, 147);
        exec(u"delete from profile where name='XII/disable'"_s, label, 148);
        exec(u"delete from profile where name='FDP/disable'"_s, label, 149);
        exec(u"insert into profile values('reagent/initVolume',\t'%1')"_s.arg(
                 translated(initVolume)),
             label, 151);
        exec(u"insert into profile values('reagent/alarmLimit',\t'%1')"_s.arg(
                 translated(alarmLimit)),
             label, 152);
        exec(u"insert into profile values('reagent/interruptLimit','%1')"_s.arg(
                 translated(interruptLimit)),
             label, 153);
        exec(u"insert into profile values('patient/hospitalNo',\t'%1')"_s.arg(
                 translated(hospitalNo)),
             label, 154);
        exec(u"replace into profile values('schedule/sample',\t\t6)"_s, label, 156);
        exec(u"replace into profile values('schedule/reagent',\t\t6)"_s, label, 157);
        exec(u"replace into profile values('schedule/mix',\t\t\t2)"_s, label, 158);
        exec(u"replace into profile values('schedule/dilution',\t\t12)"_s, label, 159);
        exec(u"replace into profile values('schedule/dilution/1/10',\t12)"_s, label, 160);
        exec(u"replace into profile values('schedule/dilution/1/20',\t17)"_s, label, 161);
        exec(u"replace into profile values('schedule/dilution/1/40',\t22)"_s, label, 162);
        exec(u"replace into profile values('schedule/clean',\t\t\t15)"_s, label, 163);
        exec(u"replace into profile values('schedule/test/PT',\t\t27)"_s, label, 164);
        exec(
            u"replace into profile values('schedule/test/FIB/table', '0.2,25;0.1,35;0.05,45;0.025,65')"_s,
            label, 165);
        exec(u"replace into profile values('schedule/test/APTT',\t\t50)"_s, label, 166);
        exec(u"replace into profile values('schedule/test/TT',\t\t35)"_s, label, 167);
        exec(u"replace into profile values('schedule/test/II',\t\t30)"_s, label, 168);
        exec(u"replace into profile values('schedule/test/V',\t\t30)"_s, label, 169);
        exec(u"replace into profile values('schedule/test/VII',\t\t30)"_s, label, 170);
        exec(u"replace into profile values('schedule/test/X',\t\t30)"_s, label, 171);
        exec(u"replace into profile values('schedule/test/VIII',\t\t30)"_s, label, 172);
        exec(u"replace into profile values('schedule/test/IX',\t\t30)"_s, label, 173);
        exec(u"replace into profile values('schedule/test/XI',\t\t30)"_s, label, 174);
        exec(u"replace into profile values('schedule/test/XII',\t\t30)"_s, label, 175);
        exec(u"insert or abort into profile values('analyst/FIB/odPercent', \t\t0.5)"_s, label,
             177);
        exec(
            u"replace into profile values('analyst/FIB/odThreshold',\t'4,0.008; 6,0.004; 10,0.0025; 20,0.001; 40,0.0005')"_s,
            label, 178);
        exec(
            u"replace into profile values('analyst/APTT/odThreshold',\t'4,0.2; 10,0.05; 20,0.02')"_s,
            label, 179);
        exec(u"replace into profile values('analyst/odThreshold',\t    '4,0.2; 8,0.05; 10,0.01')"_s,
             label, 180);
    }

    if (version3.isNeededAt(storedVersion())) {
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='PT'"_s,
             label, 186);
        exec(
            u"update assayCalibration set method=0, funX='Log', funY='Log', dispX='Log', dispY='Log' where name='PT 演算 FIB' or name='PT calculate FIB'"_s,
            label, 187);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='FIB'"_s,
             label, 188);
        exec(
            u"update assayCalibration set method=4, funX='Log', funY='Linear', dispX='Log', dispY='Log' where name='DD'"_s,
            label, 189);
        exec(
            u"update assayCalibration set method=4, funX='Log', funY='Linear', dispX='Log', dispY='Log' where name='FDP'"_s,
            label, 190);
        exec(
            u"update assayCalibration set method=4, funX='Log', funY='Linear', dispX='Log', dispY='Log' where name='AT'"_s,
            label, 191);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='II'"_s,
             label, 192);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='V'"_s,
             label, 193);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='VII'"_s,
             label, 194);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='X'"_s,
             label, 195);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='VIII'"_s,
             label, 196);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='IX'"_s,
             label, 197);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='XI'"_s,
             label, 198);
        exec(u"update assayCalibration set method=0, dispX='Log', dispY='Log' where name='XII'"_s,
             label, 199);
    }

    exec(u"update assayItem set precision=-1 where name='OD'"_s, label, 208);

    if (version4.isNeededAt(storedVersion()))
        exec(u"insert into currentCurve (name, curveId) select name, id from curve"_s, label, 214);
}

// All or nothing: when filling fails part-way, no variable keeps a filled value, while the
// version stamp and the defaults written before are kept.
bool UpdateProfile::backfillVariables()
{
    beginBlock(label, 224);
    stepStarted(u"filling the assay variables"_s);
    if (fillVariables()) {
        endBlock(label, 271);
        return true;
    }
    rollbackBlock();
    return keepWork(u"its layout, version %1 and default settings were saved, the variables were "
                    u"left as they were"_s.arg(currentVersion));
}

// Fills the empty values of the assay variables from the curve variables of the same name
// whose curve belongs to the same assay template, but only while no variable has a value.
bool UpdateProfile::fillVariables()
{
    const QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery reading(db);
    reading.setForwardOnly(true);
    if (!runQuery(reading, countFilledVariables))
        return failed(reading, 227);
    if (reading.next() && reading.value(0).toLongLong() > 0)
        return true;
    const QString listing = u"select id, assayTemplateId, name, value from variable"_s;
    if (!runQuery(reading, listing))
        return failed(reading, 235);
    reading.finish();

    QSqlQuery lookup(db);
    lookup.setForwardOnly(true);
    if (!lookup.prepare(
            u"select curveVariable.value from curveVariable, curve, assayCalibration where curveVariable.name=:name and curveId=curve.id       and curve.name=assayCalibration.name       and assayCalibration.assayTemplateId=:assayTemplateId"_s))
        return failed(lookup, 246);
    QSqlQuery update(db);
    if (!update.prepare(updateVariable))
        return failed(update, 253);

    if (fillInsideSql())
        return true;
    // Filled one by one, the variable whose value could not be written is the one logged.
    if (isAborted() || !runQuery(reading, listing))
        return failed(reading, 235);

    // Many variables share their assay template and name; each such pair is looked up once.
    QHash<QPair<QString, QString>, std::optional<QVariant>> sourceValues;
    while (reading.next()) {
        const QVariant assayTemplateId = reading.value(1);
        const QVariant name = reading.value(2);
        const QPair<QString, QString> key(valueKey(assayTemplateId), valueKey(name));
        auto source = sourceValues.constFind(key);
        if (source == sourceValues.constEnd()) {
            lookup.bindValue(u":name"_s, name);
            lookup.bindValue(u":assayTemplateId"_s, assayTemplateId);
            if (!runQuery(lookup))
                return failed(lookup, 262);
            std::optional<QVariant> value;
            if (lookup.next())
                value = lookup.value(0);
            lookup.finish();
            source = sourceValues.insert(key, value);
        }
        if (!source->has_value())
            continue;
        update.bindValue(u":value"_s, **source);
        update.bindValue(u":id"_s, reading.value(0));
        if (!runQuery(update))
            return failed(update, 268);
    }
    // Reading stopped part-way: the variables not yet read would be left out.
    if (reading.lastError().isValid())
        return failed(reading, 235);
    return true;
}

// SQLite matches and copies the values itself, so that every byte and storage type arrives
// as it was (text that is not valid UTF-8 included): each distinct pair of assay template and
// name is looked up once, the curve variable found for it is remembered, and the variables of
// each pair then take that curve variable's value. That gives what the lookup of each variable
// by its id gives only when the ids are those of an integer primary key and the lookup of no
// pair yields more than one row (it takes the one its plan finds first); in any other file, and
// when a statement fails, nothing is changed and the result is false.
bool UpdateProfile::fillInsideSql()
{
    // One row, true when the fill gives what the lookups give; it stops at the first pair whose
    // lookup yields more than one row.
    const QString sure
        = u"select (select count(*) = 1 and max(name = 'id' collate nocase and upper(type) = "
          u"'INTEGER') from pragma_table_info('variable') where pk > 0) is 1 and not exists "
          u"(select 1 from temp.variableSource where exists (select 1 "
          u"from curveVariable, curve, assayCalibration where curveVariable.name=variableSource.name "
          u"and curveId=curve.id and curve.name=assayCalibration.name "
          u"and assayCalibration.assayTemplateId=variableSource.assayTemplateId limit 1 offset 1))"_s;
    const QStringList statements = {
        u"SAVEPOINT fill"_s,
        u"create temp table variableSource as select distinct assayTemplateId, "
        u"name collate binary as name, null as sourceRow from variable"_s,
        sure,
        u"update temp.variableSource set sourceRow = (select curveVariable.rowid "
        u"from curveVariable, curve, assayCalibration where curveVariable.name=variableSource.name "
        u"and curveId=curve.id and curve.name=assayCalibration.name "
        u"and assayCalibration.assayTemplateId=variableSource.assayTemplateId)"_s,
        u"create index temp.variableSource_pair on variableSource(name, assayTemplateId)"_s,
        u"update variable set value = (select curveVariable.value "
        u"from temp.variableSource, curveVariable where curveVariable.rowid = variableSource.sourceRow "
        u"and variableSource.name is variable.name "
        u"and variableSource.assayTemplateId is variable.assayTemplateId) "
        u"where exists (select 1 from temp.variableSource where variableSource.sourceRow notnull "
        u"and variableSource.name is variable.name "
        u"and variableSource.assayTemplateId is variable.assayTemplateId)"_s,
        u"drop table temp.variableSource"_s,
        u"RELEASE fill"_s,
    };
    QSqlQuery query(QSqlDatabase::database());
    for (const QString &statement : statements) {
        if (runQuery(query, statement)
            && (statement != sure || (query.next() && query.value(0).toBool())))
            continue;
        if (!isAborted()) {
            runQuery(query, u"ROLLBACK TO fill"_s);
            runQuery(query, u"RELEASE fill"_s);
        }
        return false;
    }
    return true;
}

bool UpdateProfile::failed(const QSqlQuery &query, int line)
{
    if (!isAborted())
        logQueryError(query, label, line);
    return fail(u"filling the assay variables failed (%1)"_s.arg(query.lastError().databaseText()));
}
