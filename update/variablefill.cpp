#include "fileupdate.h"

#include "faultinjection.h"
#include "sqlitefile.h"

#include <QSqlQuery>

#include <sqlite3.h>

#include <map>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;
using SqliteFile::Statement;

namespace {

// The variables are filled only while none holds a value, one update each.
const QString countFilledVariables = u"select count(*) from variable where value notnull"_s;
const QString listVariables = u"select id, assayTemplateId, name, value from variable"_s;
const QString lookUpCurveVariable
    = u"select curveVariable.value from curveVariable, curve, assayCalibration where curveVariable.name=:name and curveId=curve.id       and curve.name=assayCalibration.name       and assayCalibration.assayTemplateId=:assayTemplateId"_s;
const QString updateVariable = u"update variable set value=:value where id=:id"_s;

// The places of the fill's statements among the lines its step declares.
enum FillLine {
    Savepoint,
    Count,
    Listing,
    LookupPrepared,
    UpdatePrepared,
    Lookup,
    Update,
    Release
};

// Fills the empty values of the assay variables from the curve variables of the same name
// whose curve belongs to the same assay template, but only while no variable has a value. Each
// variable gets the first row of the lookup of its assay template and name, each such pair is
// looked up once, and the values go from one statement to the next as SQLite holds them. The
// listing is read to its end before the first update, so that each variable is visited once
// whichever index the listing reads. run runs a statement with its placeholders' values up to
// its first row, and goesOn tells whether one was prepared or read to its end; both are false
// where the fill goes no further.
template<typename Run, typename GoesOn> bool fill(const QSqlDatabase &db, Run run, GoesOn goesOn)
{
    Statement count(db, countFilledVariables);
    if (!run(count, Count))
        return false;
    if (count.hasRow() && sqlite3_value_int64(count.value(0).get()) > 0)
        return true;
    Statement listing(db, listVariables);
    if (!run(listing, Listing))
        return false;
    Statement lookup(db, lookUpCurveVariable);
    Statement update(db, updateVariable);
    if (!goesOn(lookup, LookupPrepared) || !goesOn(update, UpdatePrepared))
        return false;

    struct Variable
    {
        Statement::Value id, assayTemplateId, name;
        std::pair<QByteArray, QByteArray> pair;
    };
    std::vector<Variable> variables;
    for (; listing.hasRow(); listing.next()) {
        Variable variable {listing.value(0), listing.value(1), listing.value(2)};
        variable.pair = {listing.key(1), listing.key(2)};
        variables.push_back(std::move(variable));
    }
    // Reading stopped part-way: the variables not yet read would be left out.
    if (!goesOn(listing, Listing))
        return false;

    // What each pair's lookup found first; nothing when it found no row.
    std::map<std::pair<QByteArray, QByteArray>, std::optional<Statement::Value>> sources;
    for (const Variable &variable : variables) {
        const auto [source, isNew] = sources.try_emplace(variable.pair);
        if (isNew && !run(lookup, Lookup, {variable.name.get(), variable.assayTemplateId.get()}))
            return false;
        if (isNew && lookup.hasRow())
            source->second = lookup.value(0);
        if (source->second && !run(update, Update, {source->second->get(), variable.id.get()}))
            return false;
    }
    return true;
}

} // namespace

QStringList variableFillStatements()
{
    return {countFilledVariables, listVariables, lookUpCurveVariable, updateVariable};
}

std::optional<qint64> variablesFilledBy(const QSqlDatabase &db)
{
    const auto run = [](Statement &statement, FillLine,
                        std::initializer_list<const sqlite3_value *> values = {}) {
        return statement.run(values);
    };
    const auto goesOn
        = [](const Statement &statement, FillLine) { return !statement.error().isValid(); };
    return SqliteFile::rowsChangedBy(db, updateVariable, [&] { return fill(db, run, goesOn); });
}

bool FileUpdate::backfillVariables(const QList<int> &lines)
{
    exec(blockSavepoint(u"SAVEPOINT"_s), label(), lines.at(Savepoint));
    stepStarted(u"filling the assay variables"_s);
    if (fillVariables(lines)) {
        exec(blockSavepoint(u"RELEASE"_s), label(), lines.at(Release));
        return true;
    }
    QSqlQuery query(m_db);
    if (runQuery(query, blockSavepoint(u"ROLLBACK TO"_s)))
        runQuery(query, blockSavepoint(u"RELEASE"_s));
    return keepWork(u"its layout, version %1 and default settings were saved, the variables were "
                    u"left as they were"_s.arg(currentVersion()));
}

bool FileUpdate::fillVariables(const QList<int> &lines)
{
    // False, with the statement's warning line, when it failed or the update was aborted.
    const auto goesOn = [&](const Statement &statement, FillLine place) {
        if (statement.error().isValid())
            checkFailure(statement.error());
        else if (!aborted())
            return true;
        if (!aborted())
            logStatementError(statement.error(), statement.text(), label(), lines.at(place));
        fail(u"filling the assay variables failed (%1)"_s.arg(statement.error().databaseText()));
        return false;
    };
    // Runs the statement as the driver's exec does.
    const auto run = [&](Statement &statement, FillLine place,
                         std::initializer_list<const sqlite3_value *> values = {}) {
        if (!aborted()) {
            statement.run(values);
            statementDone();
        }
        return goesOn(statement, place);
    };
    return fill(m_db, run, goesOn);
}
