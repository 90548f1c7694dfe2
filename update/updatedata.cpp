#include "updatedata.h"

#include <QSqlDatabase>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {
const char label[] = ".\\updatedata";

const UpgradeBlock firstGeneration = {1, u"first generation"_s, 34};
const UpgradeBlock version2 = {2, u"version 2"_s, 2};
const UpgradeBlock version3 = {3, u"version 3"_s, 21};

const QString deleteVersions = u"delete from version"_s;
const QString insertVersion = u"insert into version values(3)"_s;

// A lookup list as the first-generation block rebuilds it.
TableLayout lookupTable(const QString &name)
{
    return {name,
            {{u"id"_s, u"integer"_s}, {u"abbr"_s, u"text"_s, u"NOCASE"_s}, {u"name"_s, u"text"_s}}};
}

IndexLayout lookupIndex(const QString &table)
{
    return {table + u"_index"_s, table, {u"abbr"_s}};
}
} // namespace

const UpdaterDescription &UpdateData::description()
{
    // After version 3, result is the view over results and checkedResult, and curve and
    // detail are the rebuilt tables that keep a version per result.
    static const UpdaterDescription description = {
        u"data.db"_s,
        currentVersion,
        {firstGeneration, version2, version3},
        {{
             {u"patient"_s, {{u"sampleType"_s, u"text"_s}, {u"hospitalNo"_s, u"text"_s}}},
             lookupTable(u"department"_s),
             lookupTable(u"sex"_s),
             lookupTable(u"treatmentRoom"_s),
             lookupTable(u"diagnosis"_s),
             lookupTable(u"doctor"_s),
             lookupTable(u"operator"_s),
             {u"version"_s, {{u"version"_s, u"integer"_s}}},
             {u"results"_s,
              {{u"id"_s, u"integer"_s},
               {u"patientId"_s, u"integer"_s},
               {u"item"_s, u"text"_s},
               {u"subitem"_s, u"text"_s},
               {u"version"_s, u"integer"_s},
               {u"abbr"_s, u"text"_s},
               {u"code"_s, u"text"_s},
               {u"date"_s, u"date"_s},
               {u"time"_s, u"time"_s},
               {u"result"_s, u"real"_s},
               {u"unit"_s, u"text"_s},
               {u"flag"_s, u"integer"_s},
               {u"displayOrder"_s, u"integer"_s},
               {u"lowerMarkLimit"_s, u"real"_s},
               {u"upperMarkLimit"_s, u"real"_s}}},
             {u"checkedResult"_s,
              {{u"id"_s, u"integer"_s},
               {u"patientId"_s, u"integer"_s},
               {u"item"_s, u"text"_s},
               {u"subitem"_s, u"text"_s},
               {u"resultsId"_s, u"integer"_s}}},
             {u"curve"_s,
              {{u"id"_s, u"integer"_s},
               {u"patientId"_s, u"integer"_s},
               {u"item"_s, u"text"_s},
               {u"version"_s, u"integer"_s},
               {u"curve"_s, u"blob"_s}}},
             {u"detail"_s,
              {{u"id"_s, u"integer"_s},
               {u"patientId"_s, u"integer"_s},
               {u"item"_s, u"text"_s},
               {u"version"_s, u"integer"_s},
               {u"info"_s, u"text"_s}}},
         },
         {
             lookupIndex(u"department"_s),
             lookupIndex(u"sex"_s),
             lookupIndex(u"treatmentRoom"_s),
             lookupIndex(u"diagnosis"_s),
             lookupIndex(u"doctor"_s),
             lookupIndex(u"operator"_s),
             {u"results_index"_s, u"results"_s, {u"patientId"_s, u"item"_s, u"subitem"_s}},
             {u"checkedResult_index"_s,
              u"checkedResult"_s,
              {u"patientId"_s, u"item"_s, u"subitem"_s}},
         },
         {{u"on_delete_patient"_s, u"patient"_s}},
         {u"result"_s}},
        // Version 3 moves the rows of table result into results; checkedResult keeps one row
        // per patient, item and subitem.
        {
            {u"department"_s, u"department"_s},
            {u"sex"_s, u"sex"_s},
            {u"treatmentRoom"_s, u"treatmentRoom"_s},
            {u"diagnosis"_s, u"diagnosis"_s},
            {u"doctor"_s, u"doctor"_s},
            {u"operator"_s, u"operator"_s},
            {u"result"_s, u"results"_s},
            {u"checkedResult"_s, u"checkedResult"_s},
            {u"curve"_s, u"curve"_s},
            {u"detail"_s, u"detail"_s},
        },
        {deleteVersions, insertVersion},
        {},
        // The stamp and the saving.
        2 + 1,
    };
    return description;
}

UpdateData::UpdateData(QObject *parent)
    : UpdateBase(description(), parent)
{
}

bool UpdateData::update()
{
    if (firstGeneration.isNeededAt(storedVersion()) && !updateFirstGeneration())
        return false;
    if (version2.isNeededAt(storedVersion()))
        updateToVersion2();
    if (version3.isNeededAt(storedVersion()) && !updateToVersion3())
        return false;

    return stampVersion({deleteVersions, label, 219}, {insertVersion, label, 220});
}

bool UpdateData::updateFirstGeneration()
{
    exec(u"alter table patient add sampleType text"_s, label, 15);
    exec(u"alter table patient add hospitalNo text"_s, label, 16);

    renameTable(u"department"_s, u"department_bak"_s);
    exec(
        u"create table department(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s,
        label, 23);
    dropIndexOfBackup(u"department"_s);
    exec(u"create index if not exists department_index on department (abbr)"_s, label, 24);
    if (!rebuildTable(u"department"_s, u"department_bak"_s, {},
                      {u"drop table department_bak"_s, label, 26}))
        return false;

    renameTable(u"sex"_s, u"sex_bak"_s);
    exec(
        u"create table sex(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s,
        label, 33);
    dropIndexOfBackup(u"sex"_s);
    exec(u"create index if not exists sex_index on sex (abbr)"_s, label, 34);
    if (!rebuildTable(u"sex"_s, u"sex_bak"_s, {}, {u"drop table sex_bak"_s, label, 36}))
        return false;

    renameTable(u"treatmentRoom"_s, u"treatmentRoom_bak"_s);
    exec(
        u"create table treatmentRoom(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s,
        label, 43);
    dropIndexOfBackup(u"treatmentRoom"_s);
    exec(u"create index if not exists treatmentRoom_index on treatmentRoom (abbr)"_s, label, 44);
    if (!rebuildTable(u"treatmentRoom"_s, u"treatmentRoom_bak"_s, {},
                      {u"drop table treatmentRoom_bak"_s, label, 46}))
        return false;

    renameTable(u"diagnosis"_s, u"diagnosis_bak"_s);
    exec(
        u"create table diagnosis(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s,
        label, 53);
    dropIndexOfBackup(u"diagnosis"_s);
    exec(u"create index if not exists diagnosis_index on diagnosis (abbr)"_s, label, 54);
    if (!rebuildTable(u"diagnosis"_s, u"diagnosis_bak"_s, {},
                      {u"drop table diagnosis_bak"_s, label, 56}))
        return false;

    renameTable(u"doctor"_s, u"doctor_bak"_s);
    exec(
        u"create table doctor(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s,
        label, 63);
    dropIndexOfBackup(u"doctor"_s);
    exec(u"create index if not exists doctor_index on doctor (abbr)"_s, label, 64);
    if (!rebuildTable(u"doctor"_s, u"doctor_bak"_s, {}, {u"drop table doctor_bak"_s, label, 66}))
        return false;

    renameTable(u"operator"_s, u"operator_bak"_s);
    exec(
        u"create table operator(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s,
        label, 73);
    dropIndexOfBackup(u"operator"_s);
    exec(u"create index if not exists operator_index on operator (abbr)"_s, label, 74);
    if (!rebuildTable(u"operator"_s, u"operator_bak"_s, {},
                      {u"drop table operator_bak"_s, label, 76}))
        return false;

    exec(
        u"create table detail(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tinfo text,\t\t\t\t\t\t\t\t\t\t-- 测试详细信息, 如测试通道等\n\tunique(patientId, item) on conflict replace)"_s,
        label, 85);
    exec(u"create table version(version integer)"_s, label, 87);
    return true;
}

void UpdateData::updateToVersion2()
{
    exec(u"drop trigger on_delete_patient"_s, label, 92);
    exec(
        u"create trigger on_delete_patient after delete on patient\nbegin\n\tdelete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n\tdelete from result where old.id = result.patientId;\n\tdelete from patientExtra where old.id = patientExtra.patientId;\n\tdelete from curve where old.id = curve.patientId;\n\tdelete from detail where old.id = detail.patientId;\nend"_s,
        label, 100);
}

bool UpdateData::updateToVersion3()
{
    beginBlock(label, 105);
    exec(
        u"-- 原始检验结果\ncreate table results(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tsubitem text,\t\t\t\t\t\t\t\t\t-- 测量子项目, 如PT.T\n\tversion integer,\t\t\t\t\t\t\t\t-- 结果版本, 每保存一次版本增加1\n\tabbr text,\t\t\t\t\t\t\t\t\t\t-- 代码缩写\n\tcode text,\t\t\t\t\t\t\t\t\t\t-- 代码全称\n\tdate date,\t\t\t\t\t\t\t\t\t\t-- 保存日期\n\ttime time,\t\t\t\t\t\t\t\t\t\t-- 保存时间\n\tresult real,\t\t\t\t\t\t\t\t\t-- 结果\n\tunit text,\t\t\t\t\t\t\t\t\t\t-- 单位\n\tflag integer,\t\t\t\t\t\t\t\t\t-- 状态标志\n\tdisplayOrder integer,\t\t\t\t\t\t\t-- 显示顺序\n\tlowerMarkLimit real,\t\t\t\t\t\t\t-- 正常值下限, 出现在报告单\n\tupperMarkLimit real\t\t\t\t\t\t\t\t-- 正常值上限, 出现在报告单\n\t)\n"_s,
        label, 125);
    exec(u"create index results_index on results(patientId, item, subitem)"_s, label, 126);
    // Every row is given version 1, and the old columns date and time are left out: an old row
    // whose version is another value, or whose date or time holds one, keeps the table from
    // being dropped.
    if (!copyRebuiltRows(
            u"result"_s, u"result"_s, u"results"_s,
            {u"insert into results (\tid, patientId, item, subitem, version, \tabbr, code, result, unit, flag, displayOrder, \tlowerMarkLimit, upperMarkLimit) select \tid, patientId, item, subitem, 1, \tabbr, code, result, unit, flag, displayOrder, \tlowerMarkLimit, upperMarkLimit from result"_s,
             label, 137},
            u"result into results"_s))
        return false;
    exec(
        u"-- 选中的结果\ncreate table checkedResult(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tsubitem text,\t\t\t\t\t\t\t\t\t-- 测量子项目, 如PT.T\n\tresultsId integer references results,\n\t\n\tunique(patientId, item, subitem) on conflict replace\n\t)"_s,
        label, 149);
    exec(u"create index checkedResult_index on checkedResult(patientId, item, subitem)"_s, label,
         150);
    // checkedResult keeps one row per patient, item and subitem by design: no count to check.
    if (!copyRows(
            {u"insert into checkedResult(\tpatientId, item, subitem, resultsId) select\tpatientId, item, subitem, id from result"_s,
             label, 157},
            u"result"_s, QString(), u"result into checkedResult"_s))
        return false;
    exec(u"drop index result_index"_s, label, 160);
    if (!dropCopiedTable(u"result"_s, u"result"_s, {u"drop table result"_s, label, 161}))
        return false;
    exec(
        u"-- 检验结果视图\ncreate view result as \n\tselect results.* \n\tfrom results, checkedResult \n\twhere results.id = checkedResult.resultsId\n"_s,
        label, 168);

    exec(u"alter table curve rename to old_curve"_s, label, 171);
    exec(
        u"-- 测量曲线\ncreate table curve(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tversion integer,\t\t\t\t\t\t\t\t-- 结果版本\n\tcurve blob\t\t\t\t\t\t\t\t\t\t-- 测量曲线\n\t)"_s,
        label, 179);
    // Every curve is given version 1: one whose old version is another value keeps the table
    // from being dropped.
    if (!rebuildTable(
            u"curve"_s, u"old_curve"_s,
            {u"insert into curve (\tid, patientId, item, version, curve) select \tid, patientId, item, 1, curve from old_curve"_s,
             label, 184},
            {u"drop table old_curve"_s, label, 185}))
        return false;

    exec(u"alter table detail rename to old_detail"_s, label, 188);
    exec(
        u"-- 测试详情\ncreate table detail(\n\tid integer primary key,\n\tpatientId integer references patient,\n\titem text,\t\t\t\t\t\t\t\t\t\t-- 测量项目, 如PT\n\tversion integer,\t\t\t\t\t\t\t\t-- 结果版本\n\tinfo text\t\t\t\t\t\t\t\t\t\t-- 测试详细信息, 如测试通道等\n\t)"_s,
        label, 196);
    // Every detail is given version 1: one whose old version is another value keeps the table
    // from being dropped.
    if (!rebuildTable(
            u"detail"_s, u"old_detail"_s,
            {u"insert into detail (\tid, patientId, item, version, info) select \tid, patientId, item, 1, info from old_detail"_s,
             label, 201},
            {u"drop table old_detail"_s, label, 202}))
        return false;

    exec(u"drop trigger on_delete_patient"_s, label, 205);
    exec(
        u"create trigger on_delete_patient after delete on patient\nbegin\n\tdelete from patientExtra where old.id = patientExtra.patientId;\n\tdelete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n\tdelete from results where old.id = results.patientId;\n\tdelete from checkedResult where old.id = checkedResult.patientId;\n\tdelete from curve where old.id = curve.patientId;\n\tdelete from detail where old.id = detail.patientId;\nend"_s,
        label, 214);
    endBlock(label, 216);
    return true;
}

// A table that an earlier run already rebuilt hands its index over to the backup when it is
// renamed; that index is dropped so that the rebuilt table gets its own.
void UpdateData::dropIndexOfBackup(const QString &table)
{
    const QString index = table + u"_index"_s;
    QSqlQuery query(QSqlDatabase::database());
    query.prepare(
        u"select 1 from sqlite_master where name = ? collate nocase and tbl_name = ? collate nocase"_s);
    query.addBindValue(index);
    query.addBindValue(table + u"_bak"_s);
    if (!runQuery(query) || !query.next())
        return;
    query.finish();
    runQuery(query, u"drop index "_s + index);
}
