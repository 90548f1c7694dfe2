#pragma once

#include <QLockFile>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The dry run's directory for copies of patient data: readable by the current user only,
// removed when the object goes, and also when SIGINT or SIGTERM end the program where the
// platform delivers them. Directories that an earlier dry run left behind when it was killed
// are removed before a new one is made; a lock file in each tells them from running ones.
class CopyDirectory
{
public:
    // databaseNames: the files whose copies, journals and logs the directory will hold.
    explicit CopyDirectory(const QStringList &databaseNames);
    ~CopyDirectory();
    CopyDirectory(const CopyDirectory &) = delete;
    CopyDirectory &operator=(const CopyDirectory &) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    QString path() const { return m_dir.path(); }

    // Copies the file into the directory under its own name, readable by this user only. A
    // directory or a symbolic link that leads back to itself is made again as such, so that
    // the run on the copies fails on it as a real run does. Anything else that is not a
    // regular file is left out.
    bool copy(const QString &fileName, QString *error) const;

private:
    bool copyContent(const QString &fileName, QString *error) const;
    void armSignalCleanup(const QStringList &databaseNames);

    QTemporaryDir m_dir;
    std::unique_ptr<QLockFile> m_lock;
    QString m_error;
};
