// Times FileUpdate::copyTable on one table of a database file. The table is rebuilt as the
// data.db updater rebuilds a lookup table (renamed to a backup, created anew with its index),
// then its rows are copied back; the copy's wall time in seconds goes to standard output.

#include "fileupdate.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlRecord>

#include <cstdio>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

const char benchLabel[] = "copytablebench";

class CopyTableBench : public FileUpdate
{
public:
    CopyTableBench(const FileDeclaration &file, const QString &table)
        : FileUpdate(file)
        , m_table(table)
    {
    }

    bool update() override
    {
        const QString backup = m_table + u"_bak"_s;
        renameTable(m_table, backup);
        exec(
            u"create table %1(\n\tid integer primary key,\n\tabbr text COLLATE NOCASE,\n\tname text)"_s
                .arg(m_table),
            benchLabel, 1);
        exec(u"create index if not exists %1_index on %1 (abbr)"_s.arg(m_table), benchLabel, 2);
        QElapsedTimer timer;
        timer.start();
        const bool copied = copyTable(m_table, backup, QSqlRecord(), QStringList());
        m_seconds = double(timer.nsecsElapsed()) / 1e9;
        return copied;
    }

    double seconds() const { return m_seconds; }

private:
    QString m_table;
    double m_seconds = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: copytablebench <database file> <table>\n");
        return 2;
    }
    // Written at any version it has.
    const FileDeclaration file = {arguments.at(1), std::numeric_limits<qint32>::max()};
    CopyTableBench bench(file, arguments.at(2));
    if (!bench.run().succeeded())
        return 1;
    std::printf("%.6f\n", bench.seconds());
    return 0;
}
