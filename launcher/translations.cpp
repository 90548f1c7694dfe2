#include "translations.h"

#include "filename.h"

#include <QCoreApplication>
#include <QLibraryInfo>

#include <limits>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// The file that QTranslator::load(name, dir) reads: the name with ".qm" added, as given, then cut
// at its last "_" or "." and again; empty when there is none.
QString findTranslationFile(const QString &dir, const QString &name)
{
    QString prefix;
    if (FileName::path(name).is_relative() && !dir.isEmpty())
        prefix = dir.endsWith(u'/') ? dir : dir + u'/';
    QString stem = name;
    for (;;) {
        for (const QString &candidate : {prefix + stem + u".qm"_s, prefix + stem}) {
            if (FileName::type(candidate) == FileName::Type::RegularFile
                && FileName::accessError(candidate, FileName::Access::Read).isEmpty())
                return candidate;
        }
        const qsizetype cut = qMax(stem.lastIndexOf(u'_'), stem.lastIndexOf(u'.'));
        if (cut <= 0)
            return QString();
        stem.truncate(cut);
    }
}

// Looks for the name in the directories in their order, passing over a file that is no
// translation file; the first translation file found is checked and installed, or refused, and
// ends the search. Returns the warning for a name that yields no sound translation file, none
// when quietWhenMissing and none is found; installed gets the path of the file installed.
QString installTranslation(QCoreApplication &app, const QString &name, bool quietWhenMissing,
                           QStringList *installed)
{
    static const QStringList dirs
        = {u"."_s, u".."_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    QStringList unusable; // files of that name found on the way that are no translation file
    for (const QString &dir : dirs) {
        const QString path = findTranslationFile(dir, name);
        if (path.isEmpty())
            continue;
        const QString shown = FileName::shown(path);
        QFile file;
        QString error;
        if (!FileName::open(file, path, QIODevice::ReadOnly, &error)) {
            unusable << u"%1 cannot be read (%2)"_s.arg(shown, error);
            continue;
        }
        // Read the rest only of a file that begins like a translation file.
        if (!file.peek(qmMagic.size()).startsWith(qmMagic)) {
            unusable << u"%1 is not a translation file"_s.arg(shown);
            continue;
        }
        const QByteArray bytes = file.readAll();
        if (bytes.size() != file.size()) {
            unusable << u"%1 cannot be read (%2)"_s.arg(shown, file.errorString());
            continue;
        }
        auto translator = std::make_unique<CheckedTranslator>(&app);
        const QmVerdict verdict = translator->loadChecked(bytes);
        if (verdict == QmVerdict::HasDependencies) {
            return u"translation file %1 was not used: it names further translation files to load, "
                   u"which dbupdate does not load"_s.arg(shown);
        }
        if (verdict != QmVerdict::Sound)
            return u"translation file %1 is damaged and was not used"_s.arg(shown);
        QCoreApplication::installTranslator(translator.release());
        *installed << path;
        return QString();
    }
    if (quietWhenMissing)
        return QString();
    QString text = u"translation file %1 was not found in \"%2\" or \"%3\" and was not used"_s.arg(
        FileName::shown(name), dirs.first(dirs.size() - 1).join(u"\", \""_s), dirs.last());
    // A name given with an absolute path is the same file in every directory.
    unusable.removeDuplicates();
    if (!unusable.isEmpty())
        text += u": "_s + unusable.join(u", "_s);
    return text;
}

} // namespace

QmVerdict CheckedTranslator::loadChecked(const QByteArray &bytes)
{
    if (bytes.size() > std::numeric_limits<int>::max())
        return QmVerdict::Damaged;
    const QmVerdict verdict = checkQm(bytes);
    if (verdict != QmVerdict::Sound)
        return verdict;
    m_bytes = bytes + QByteArray(qmZeroTail, '\0');
    if (load(reinterpret_cast<const uchar *>(m_bytes.constData()), int(bytes.size())))
        return QmVerdict::Sound;
    m_bytes.clear();
    return QmVerdict::Damaged;
}

QStringList installTranslations(QCoreApplication &app, const QStringList &names,
                                bool firstIsLogFile, RunLog &log)
{
    QStringList installed;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString warning
            = installTranslation(app, names.at(i), i == 0 && firstIsLogFile, &installed);
        if (!warning.isEmpty())
            log.warning(warning);
    }
    return installed;
}
