// Holds an exclusive lock on the database file given as argument 1, as the running analyser
// application would, until a line arrives on standard input.
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QString::fromLocal8Bit(argv[1]));
    if (!db.open())
        return 1;
    {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("BEGIN EXCLUSIVE"))
            || !query.exec(QStringLiteral("select count(*) from sqlite_master")))
            return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    char line[16];
    std::fgets(line, sizeof line, stdin);
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    return 0;
}
