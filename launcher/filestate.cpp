#include "filestate.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

const int busyTimeoutMs = 1000;
const int sqliteError = 1;
const int sqliteBusy = 5;
const int sqliteLocked = 6;
const int sqliteNotADatabase = 26;
const int sqliteReadOnlyRollback = 776;

// A connection of its own, removed again when it goes out of scope.
class ScopedConnection
{
public:
    ScopedConnection(const QString &name, const QString &uri, const QStringList &options = {})
        : m_name(name)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_name);
        db.setDatabaseName(uri);
        const QStringList common
            = {u"QSQLITE_OPEN_URI"_s, u"QSQLITE_BUSY_TIMEOUT=%1"_s.arg(busyTimeoutMs)};
        db.setConnectOptions((common + options).join(u';'));
    }
    ~ScopedConnection() { QSqlDatabase::removeDatabase(m_name); }
    ScopedConnection(const ScopedConnection &) = delete;
    ScopedConnection &operator=(const ScopedConnection &) = delete;

    QSqlDatabase database() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

QString fileUri(const QString &fileName, const QString &parameters)
{
    return u"file:"_s + QString::fromUtf8(QUrl::toPercentEncoding(fileName, "/")) + u'?'
        + parameters;
}

// The write version in the file header: 2 for a file in write-ahead-log mode.
bool usesWriteAheadLog(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray header = file.read(20);
    return header.size() == 20 && header.startsWith(QByteArray("SQLite format 3\0", 16))
        && header.at(18) == 2;
}

FileState failure(FileState::State state, const QSqlError &error)
{
    FileState inspection;
    inspection.state = state;
    inspection.detail = error.text();
    return inspection;
}

FileState classifyError(const QSqlError &error)
{
    const int code = error.nativeErrorCode().toInt();
    if (code == sqliteReadOnlyRollback)
        return failure(FileState::State::UnfinishedWrite, error);
    switch (code & 0xff) {
    case sqliteBusy:
    case sqliteLocked:
        return failure(FileState::State::Locked, error);
    case sqliteNotADatabase:
        return failure(FileState::State::NotDatabase, error);
    default:
        return failure(FileState::State::Unreadable, error);
    }
}

// Reads the stored version as an update would: the highest row of the version table, 0
// without one. A write-ahead-log file is read as immutable, because a read-only connection
// would otherwise create its log and index files.
FileState readStoredVersion(const QString &fileName, bool writeAheadLog)
{
    const ScopedConnection connection(
        u"dbupdate-inspection"_s,
        fileUri(fileName, writeAheadLog ? u"mode=ro&immutable=1"_s : u"mode=ro"_s),
        {u"QSQLITE_OPEN_READONLY"_s});
    QSqlDatabase db = connection.database();
    if (!db.open())
        return classifyError(db.lastError());

    QSqlQuery query(db);
    query.setForwardOnly(true);
    FileState inspection;
    inspection.state = FileState::State::Readable;
    if (!query.exec(u"select version from version order by version desc"_s)) {
        if ((query.lastError().nativeErrorCode().toInt() & 0xff) != sqliteError)
            return classifyError(query.lastError());
        // No version table: a first-generation file.
        inspection.storedVersion = 0;
        return inspection;
    }
    if (!query.next()) {
        inspection.storedVersion = 0;
        return inspection;
    }
    const QVariant value = query.value(0);
    if (value.typeId() != QMetaType::LongLong && value.typeId() != QMetaType::Int) {
        inspection.state = FileState::State::NoVersionNumber;
        inspection.detail = value.isNull() ? u"null"_s : u"'%1'"_s.arg(value.toString());
        return inspection;
    }
    inspection.storedVersion
        = qint32(qBound(qlonglong(std::numeric_limits<qint32>::min()), value.toLongLong(),
                        qlonglong(std::numeric_limits<qint32>::max())));
    return inspection;
}

// Another process holding the write lock still lets readers in, so the lock itself is asked
// for and given back at once. Taking it writes nothing and creates no journal.
bool isWriteLocked(const QString &fileName)
{
    const ScopedConnection connection(u"dbupdate-lock-probe"_s, fileUri(fileName, u"mode=rw"_s));
    QSqlDatabase db = connection.database();
    if (!db.open())
        return false;
    QSqlQuery query(db);
    if (query.exec(u"BEGIN IMMEDIATE"_s)) {
        query.exec(u"ROLLBACK"_s);
        return false;
    }
    const int code = query.lastError().nativeErrorCode().toInt() & 0xff;
    return code == sqliteBusy || code == sqliteLocked;
}

} // namespace

QString FileState::storedVersionText() const
{
    if (state == State::NoVersionNumber)
        return detail;
    return storedVersion ? QString::number(*storedVersion) : u"-"_s;
}

FileState inspectFile(const QString &fileName, LockCheck lockCheck)
{
    const QFileInfo info(fileName);
    if (!info.exists())
        return FileState();
    if (!info.isFile()) {
        FileState inspection;
        inspection.state = FileState::State::NotDatabase;
        inspection.detail = u"not a file"_s;
        return inspection;
    }

    const bool writeAheadLog = usesWriteAheadLog(fileName);
    if (writeAheadLog && QFileInfo::exists(fileName + u"-wal"_s)) {
        FileState inspection;
        inspection.state = FileState::State::OpenElsewhere;
        return inspection;
    }
    FileState inspection = readStoredVersion(fileName, writeAheadLog);
    // An empty file has nothing to lock yet.
    if (inspection.state == FileState::State::Readable && lockCheck == LockCheck::WriteLock
        && !writeAheadLog && info.size() > 0 && isWriteLocked(fileName)) {
        inspection.state = FileState::State::Locked;
    }
    return inspection;
}
