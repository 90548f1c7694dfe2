#include "updatebase.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

// The assay variables of profile.db, filled from the curve variables of the stored curves.

namespace {

// The variables are filled only while none holds a value, one update each.
const QString countFilledVariables = u"select count(*) from variable where value notnull"_s;
const QString listVariables = u"select id, assayTemplateId, name, value from variable"_s;
const QString lookUpCurveVariable
    = u"select curveVariable.value from curveVariable, curve, assayCalibration where curveVariable.name=:name and curveId=curve.id       and curve.name=assayCalibration.name       and assayCalibration.assayTemplateId=:assayTemplateId"_s;
const QString updateVariable = u"update variable set value=:value where id=:id"_s;

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

QStringList variableFillStatements()
{
    return {countFilledVariables, listVariables, lookUpCurveVariable, updateVariable};
}

bool UpdateBase::backfillVariables()
{
    exec(u"SAVEPOINT block"_s, label(), 224);
    stepStarted(u"filling the assay variables"_s);
    if (fillVariables()) {
        exec(u"RELEASE block"_s, label(), 271);
        return true;
    }
    QSqlQuery query(QSqlDatabase::database());
    if (runQuery(query, u"ROLLBACK TO block"_s))
        runQuery(query, u"RELEASE block"_s);
    return keepWork(u"its layout, version %1 and default settings were saved, the variables were "
                    u"left as they were"_s.arg(currentVersion()));
}

// Fills the empty values of the assay variables from the curve variables of the same name
// whose curve belongs to the same assay template, but only while no variable has a value.
bool UpdateBase::fillVariables()
{
    const QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery reading(db);
    reading.setForwardOnly(true);
    if (!runQuery(reading, countFilledVariables))
        return fillFailed(reading, 227);
    if (reading.next() && reading.value(0).toLongLong() > 0)
        return true;
    if (!runQuery(reading, listVariables))
        return fillFailed(reading, 235);
    reading.finish();

    QSqlQuery lookup(db);
    lookup.setForwardOnly(true);
    if (!lookup.prepare(lookUpCurveVariable))
        return fillFailed(lookup, 246);
    QSqlQuery update(db);
    if (!update.prepare(updateVariable))
        return fillFailed(update, 253);

    if (fillInsideSql())
        return true;
    // Filled one by one, the variable whose value could not be written is the one logged.
    if (m_aborted || !runQuery(reading, listVariables))
        return fillFailed(reading, 235);

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
                return fillFailed(lookup, 262);
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
            return fillFailed(update, 268);
    }
    // Reading stopped part-way: the variables not yet read would be left out.
    if (reading.lastError().isValid())
        return fillFailed(reading, 235);
    return true;
}

// SQLite matches and copies the values itself, so that every byte and storage type arrives
// as it was (text that is not valid UTF-8 included): each distinct pair of assay template and
// name is looked up once, the curve variable found for it is remembered, and the variables of
// each pair then take that curve variable's value. That gives what the lookup of each variable
// by its id gives only when the ids are those of an integer primary key and the lookup of no
// pair yields more than one row (it takes the one its plan finds first); in any other file, and
// when a statement fails, nothing is changed and the result is false.
bool UpdateBase::fillInsideSql()
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
        if (!m_aborted) {
            runQuery(query, u"ROLLBACK TO fill"_s);
            runQuery(query, u"RELEASE fill"_s);
        }
        return false;
    }
    return true;
}

bool UpdateBase::fillFailed(const QSqlQuery &query, int line)
{
    if (!m_aborted)
        logQueryError(query, label(), line);
    return fail(u"filling the assay variables failed (%1)"_s.arg(query.lastError().databaseText()));
}
