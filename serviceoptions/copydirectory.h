#pragma once

#include <QLockFile>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// The dry run's directory for copies of patient data, made in the system's temporary
// directory and nowhere else: readable by the current user only, removed when the object goes,
// and also when a signal ends the program by its default action (SIGINT, SIGTERM, SIGHUP and
// every other one that can be caught, where the platform delivers them). Directories that an
// earlier dry run left behind there when it was killed are removed before a new one is made; a
// lock file in each tells them from running ones.
class CopyDirectory
{
public:
    CopyDirectory();
    ~CopyDirectory();

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    // The system's temporary directory, as the environment names it when it does not exist.
    QString parentPath() const { return m_parentPath; }
    QString path() const { return m_dir ? m_dir->path() : QString(); }

    // Copies the file into the directory under copyName, readable by this user only. A file that
    // this user may not read is made again as an empty one that no one may read, a directory or
    // a symbolic link that leads back to itself as such, so that the run on the copies fails on
    // it as a real run does. Anything else that is not a regular file is left out.
    bool copy(const QString &source, const QString &copyName, QString *error) const;

private:
    QString m_parentPath;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QLockFile> m_lock;
    QString m_error;
};
