#pragma once

#include <QFile>
#include <QList>
#include <QString>

#include <future>
#include <optional>

// A backup directory: the copies of the files of the working directory as they were before a run
// changed them, and the manifest that lists them (manifest.json, JSON of format 1). A copy is
// listed only once it is whole and on disk, and a listed copy is never written again, so that
// the directory keeps the files as they were before the first run that changed them.
class BackupDirectory
{
public:
    // What the manifest holds of one copy; the version and digest after are those of the file
    // that the run's commit left, none for a file whose update failed or was refused.
    struct Entry
    {
        QString name;
        qint32 versionBefore = 0;
        qint64 size = 0;
        QString digest;
        std::optional<qint32> versionAfter;
        QString digestAfter;
    };

    // The directory as given, made when it is missing; error() says why it cannot be used: it
    // holds something other than a backup of the working directory, its manifest cannot be
    // read, or it cannot be made or written.
    explicit BackupDirectory(const QString &path);

    QString path() const { return m_path; }
    QString error() const { return m_error; }
    const Entry *entry(const QString &fileName) const;

    // Reads the manifest of the directory, for a restore: nothing is made or written.
    static std::optional<BackupDirectory> open(const QString &path, QString *error);
    // What a run would find in the directory, read without making or writing anything: one that
    // is missing or empty holds no copies.
    static std::optional<BackupDirectory> look(const QString &path, QString *error);

    // The files of the working directory are read through a handle that stays open while SQLite
    // holds its lock on them: closing another handle on a file would drop the locks of the whole
    // process on it.

    // Copies the file into the directory byte for byte and syncs the copy and the directory; a
    // file already listed is left as its copy is. False, with the reason, when that failed.
    bool keep(QFile &file, const QString &fileName, qint32 storedVersion, QString *error);
    // Lists the copy that keep() made, once its digest is known; false, with the reason, when
    // the copy cannot be read or listed. A copy is listed before the update of its file commits,
    // and one cut off before it is listed is made again.
    bool listKept(QString *error);
    // Notes the version and digest of the file as its update left it.
    bool noteUpgraded(QFile &file, const QString &fileName, qint32 version, QString *error);

    // Why the file of the working directory cannot be copied as it lies: in write-ahead-log mode,
    // what its log holds is no part of the file. Empty when it can.
    static QString copyProblem(const QString &fileName);

    bool isOnWorkingVolume() const;

    // The cores a digest is worked out on: all of them, or one beside other work.
    enum class Cores { All, One };
    // The digest of the file's bytes, as the manifest writes it; empty with the reason when the
    // file cannot be read.
    static QString digestOf(QFile &file, QString *error, Cores cores = Cores::All);
    // The algorithm the digests are made with, as the manifest names it.
    static QString digestName();
    // Writes the bytes of the file at source into a new file at target (replacing one there) and
    // syncs it, sharing the blocks of the source where the file system can. The digest of the
    // copy as it was written; empty with the reason when that failed.
    static QString copyFile(QFile &source, const QString &target, QString *error);
    // Makes the directory's entries, a rename or removal in it included, last across a power cut.
    static bool syncDirectory(const QString &path, QString *error);

private:
    // A run makes the directory and its manifest when missing; a look at what a run would make
    // of it and a restore write nothing, and a restore needs the manifest.
    enum class Use { Run, Look, Restore };

    BackupDirectory() = default;
    static std::optional<BackupDirectory> read(const QString &path, Use use, QString *error);
    QString read(Use use);
    bool writeManifest(QString *error) const;

    // A copy made, and its digest with the reason it is missing.
    struct Kept
    {
        Entry entry;
        std::future<std::pair<QString, QString>> digest;
    };

    QString m_path;
    QString m_error;
    QList<Entry> m_entries;
    std::optional<Kept> m_kept;
};
