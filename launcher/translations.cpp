#include "translations.h"

#include "filename.h"

#include <QCoreApplication>
#include <QLibraryInfo>

#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// The file that QTranslator::load(name, dir) reads, with its default suffix and delimiters;
// empty when there is none.
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

// What came of looking for one translation file name.
struct TranslationSearch
{
    // The verdict on the translation file loaded or refused; none when none was found.
    std::optional<QmVerdict> verdict;
    QString path; // the file loaded or refused
    QStringList unusable; // files of that name found on the way that are no translation file

    // The warning for a file that was not used.
    QString warning(const QString &name, const QStringList &dirs) const
    {
        if (verdict == QmVerdict::Sound)
            return QString();
        if (verdict == QmVerdict::HasDependencies) {
            return u"translation file %1 was not used: it names further translation files to load, "
                   u"which dbupdate does not load"_s.arg(FileName::shown(path));
        }
        if (verdict)
            return u"translation file %1 is damaged and was not used"_s.arg(FileName::shown(path));
        QString text
            = u"translation file %1 was not found in \"%2\" or \"%3\" and was not used"_s.arg(
                FileName::shown(name), dirs.first(dirs.size() - 1).join(u"\", \""_s), dirs.last());
        if (!unusable.isEmpty())
            text += u": "_s + unusable.join(u", "_s);
        return text;
    }
};

// Looks for the name in the directories in their order, as QTranslator::load(name, dir) would:
// with ".qm" added, as given, then cut at its last "_" or "." and again. A file that is no
// translation file is passed over; the first translation file found is checked and loaded into
// the translator, or refused, and ends the search.
TranslationSearch loadTranslation(CheckedTranslator *translator, const QStringList &dirs,
                                  const QString &name)
{
    TranslationSearch search;
    for (const QString &dir : dirs) {
        const QString path = findTranslationFile(dir, name);
        if (path.isEmpty())
            continue;
        const QString shown = FileName::shown(path);
        QFile file;
        QString error;
        if (!FileName::open(file, path, QIODevice::ReadOnly, &error)) {
            search.unusable << u"%1 cannot be read (%2)"_s.arg(shown, error);
            continue;
        }
        // Read the rest only of a file that begins like a translation file.
        if (!file.peek(qmMagic.size()).startsWith(qmMagic)) {
            search.unusable << u"%1 is not a translation file"_s.arg(shown);
            continue;
        }
        const QByteArray bytes = file.readAll();
        if (bytes.size() != file.size()) {
            search.unusable << u"%1 cannot be read (%2)"_s.arg(shown, file.errorString());
            continue;
        }
        search.path = path;
        search.verdict = translator->loadChecked(bytes);
        return search;
    }
    // A name given with an absolute path is the same file in every directory.
    search.unusable.removeDuplicates();
    return search;
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
    if (!load(reinterpret_cast<const uchar *>(m_bytes.constData()), int(bytes.size()))) {
        m_bytes.clear();
        return QmVerdict::Damaged;
    }
    return QmVerdict::Sound;
}

QStringList installTranslations(QCoreApplication &app, const QStringList &names,
                                bool firstIsLogFile)
{
    const QStringList dirs = {u"."_s, u".."_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    QStringList installed;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString &name = names.at(i);
        auto *translator = new CheckedTranslator(&app);
        const TranslationSearch search = loadTranslation(translator, dirs, name);
        if (search.verdict == QmVerdict::Sound) {
            QCoreApplication::installTranslator(translator);
            installed << search.path;
            continue;
        }
        delete translator;
        // The log file's name is tried as well, and is rarely a translation file.
        if (i == 0 && firstIsLogFile && !search.verdict)
            continue;
        qWarning("%s", qUtf8Printable(search.warning(name, dirs)));
    }
    return installed;
}
