#include "translations.h"

#include "filename.h"

#include <QLibraryInfo>

#include <limits>

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

TranslationSearch::Outcome outcomeOf(QmVerdict verdict)
{
    switch (verdict) {
    case QmVerdict::Sound:
        return TranslationSearch::Outcome::Loaded;
    case QmVerdict::HasDependencies:
        return TranslationSearch::Outcome::HasDependencies;
    default:
        return TranslationSearch::Outcome::Damaged;
    }
}

// ".", ".." or "/usr/share/qt6/translations"
QString placesText(const QStringList &dirs)
{
    QStringList quoted;
    for (const QString &dir : dirs)
        quoted << u'"' + dir + u'"';
    const QString last = quoted.isEmpty() ? QString() : quoted.takeLast();
    return quoted.isEmpty() ? last : quoted.join(u", "_s) + u" or "_s + last;
}

} // namespace

QStringList translationDirs()
{
    return {u"."_s, u".."_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
}

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

QString TranslationSearch::warning(const QString &name, const QStringList &dirs) const
{
    switch (outcome) {
    case Outcome::Loaded:
        return QString();
    case Outcome::Damaged:
        return u"translation file %1 is damaged and was not used"_s.arg(FileName::shown(path));
    case Outcome::HasDependencies:
        return u"translation file %1 was not used: it names further translation files to load, "
               u"which dbupdate does not load"_s.arg(FileName::shown(path));
    case Outcome::NotFound:
        break;
    }
    QString text = u"translation file %1 was not found in %2 and was not used"_s.arg(
        FileName::shown(name), placesText(dirs));
    if (!unusable.isEmpty())
        text += u": "_s + unusable.join(u", "_s);
    return text;
}

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
        search.outcome = outcomeOf(translator->loadChecked(bytes));
        return search;
    }
    // A name given with an absolute path is the same file in every directory.
    search.unusable.removeDuplicates();
    return search;
}
