// libFuzzer target for the translation file check. An input that begins like a translation file
// is one: it is checked as dbupdate checks one, and when it is taken, Qt loads it from memory laid
// out as dbupdate lays it out and every label the profile updater writes is looked up in it.
// Neither may crash or hang. Qt's library is not instrumented, so the bytes and the zero bytes
// that follow them end right before an unreadable page: a read past them faults.
// Any other input describes a translation source file, which lrelease compiles with the options
// the input picks: the check must take every file that lrelease makes. lrelease runs over a batch
// of 256 such files at a time (and over what is left at exit); a refused file stops the session
// with the paths of its source and of what lrelease made of it.
#include "translations.h"
#include "translationsource.h"

#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// As UTF-8 and as the GBK bytes that older translation files are keyed by.
const char *const labels[] = {"梯度1",
                              "梯度2",
                              "梯度3",
                              "梯度4",
                              "样本类型",
                              "初始量[ul]",
                              "报警限[ul]",
                              "中断限[ul]",
                              "住院号",
                              "\xcc\xdd\xb6\xc8\x31",
                              "\xcc\xdd\xb6\xc8\x32",
                              "\xcc\xdd\xb6\xc8\x33",
                              "\xcc\xdd\xb6\xc8\x34",
                              "\xd1\xf9\xb1\xbe\xc0\xe0\xd0\xcd",
                              "\xb3\xf5\xca\xbc\xc1\xbf[ul]",
                              "\xb1\xa8\xbe\xaf\xcf\xde[ul]",
                              "\xd6\xd0\xb6\xcf\xcf\xde[ul]",
                              "\xd7\xa1\xd4\xba\xba\xc5"};

constexpr size_t maxInput = 1 << 20;
// lrelease makes larger files of long texts.
constexpr size_t maxFile = 16 << 20;

// A copy of the bytes followed by qmZeroTail zero bytes that end where an unreadable page
// begins, in one mapping for all runs.
const uchar *guardedCopy(QByteArrayView bytes)
{
    static char *const guard = [] {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t size = (maxFile + qmZeroTail + page - 1) / page * page;
        void *mapping = mmap(nullptr, size + page, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED || mprotect(static_cast<char *>(mapping) + size, page, PROT_NONE))
            std::abort();
        return static_cast<char *>(mapping) + size;
    }();
    char *const start = guard - qmZeroTail - bytes.size();
    std::memcpy(start, bytes.data(), size_t(bytes.size()));
    std::memset(guard - qmZeroTail, 0, qmZeroTail);
    return reinterpret_cast<const uchar *>(start);
}

// Checks the bytes as dbupdate does, and looks every label up in them when they are taken.
QmVerdict lookUpLabels(QByteArrayView bytes)
{
    const QmVerdict verdict = checkQm(bytes);
    if (verdict != QmVerdict::Sound || size_t(bytes.size()) > maxFile)
        return verdict;
    QTranslator translator;
    if (!translator.load(guardedCopy(bytes), int(bytes.size())))
        return QmVerdict::Damaged;
    // Other contexts reach other buckets of the context table; a comment and a count take the
    // lookup through comments and numerus forms as well.
    for (const char *context : {"UpdateProfile", "QObject", ""}) {
        for (const char *label : labels) {
            translator.translate(context, label);
            translator.translate(context, label, "comment", 2);
        }
    }
    // Two-character names whose hashes run through 512 consecutive values reach every bucket of a
    // context table of up to 512; most find no context and walk a bucket's chain to its end.
    for (int hash = 32; hash < 32 + 512; ++hash) {
        const char context[] = {char(hash / 16 - 1), char(16 + hash % 16), 0};
        translator.translate(context, labels[4]);
    }
    return QmVerdict::Sound;
}

// Reads bytes and texts, each a length byte and that many bytes of UTF-8, off an input.
class InputReader
{
public:
    explicit InputReader(QByteArrayView input)
        : m_input(input)
    {
    }

    bool atEnd() const { return m_at >= m_input.size(); }

    quint8 byte() { return atEnd() ? 0 : quint8(m_input[m_at++]); }

    // Characters that XML cannot hold are left out.
    QString text(int repeat)
    {
        const qsizetype length = qMin(qsizetype(byte()), m_input.size() - m_at);
        QString text = QString::fromUtf8(m_input.sliced(m_at, length)).repeated(repeat);
        m_at += length;
        text.removeIf([](QChar c) {
            return (c < u' ' && c != u'\t' && c != u'\n') || c.unicode() >= 0xfffe;
        });
        return text;
    }

private:
    QByteArrayView m_input;
    qsizetype m_at = 0;
};

// The source file an input describes: its first byte picks lrelease's options (low four bits)
// and the language (high three); then each message takes a byte of flags and its texts, 100
// times over when the flags ask for long texts.
QByteArray sourceFile(QByteArrayView input)
{
    static const QString languages[]
        = {QString(), u"en"_s, u"zh_CN"_s, u"ar"_s, u"pl"_s, u"ja"_s, u"cs"_s, u"fr"_s};
    static const QString types[] = {QString(), u"unfinished"_s, u"vanished"_s, u"obsolete"_s};
    InputReader reader(input.sliced(1));
    QList<TsMessage> messages;
    QString context;
    while (!reader.atEnd()) {
        const quint8 flags = reader.byte();
        const int repeat = flags & 0x40 ? 100 : 1;
        if (flags & 0x01 || messages.isEmpty())
            context = reader.text(1);
        TsMessage message {context, reader.text(repeat)};
        if (flags & 0x02)
            message.comment = reader.text(1);
        if (flags & 0x04)
            message.id = reader.text(1);
        message.type = types[(flags >> 3) & 3];
        message.numerus = flags & 0x20;
        for (int forms = message.numerus ? reader.byte() % 7 : 1; forms > 0; --forms)
            message.translations << (flags & 0x80 ? QString() : reader.text(repeat));
        messages << message;
    }
    return tsDocument(languages[quint8(input[0]) >> 5], messages);
}

// Source files that lrelease has still to compile, one batch per set of options. A file is named
// after its batch and its place in it, so that an input keeps no memory that libFuzzer would take
// for a leak.
class Releaser
{
public:
    // Compiles what is left at exit, before the directory goes.
    static Releaser &instance()
    {
        static Releaser releaser;
        static const int atExit = std::atexit([] { releaser.releaseAll(); });
        Q_UNUSED(atExit);
        return releaser;
    }

    void add(QByteArrayView input)
    {
        const int options = quint8(input[0]) & 0x0f;
        QFile file(sourcePath(options, m_batchSizes[options]++));
        if (!file.open(QIODevice::WriteOnly) || file.write(sourceFile(input)) <= 0)
            std::abort();
        file.close();
        if (m_batchSizes[options] == 256)
            release(options);
    }

private:
    QString sourcePath(int options, int place) const
    {
        return m_dir.filePath(u"%1-%2.ts"_s.arg(options).arg(place));
    }

    void releaseAll()
    {
        for (int options = 0; options < int(m_batchSizes.size()); ++options)
            release(options);
    }

    void release(int options)
    {
        static const QString names[]
            = {u"-compress"_s, u"-idbased"_s, u"-nounfinished"_s, u"-removeidentical"_s};
        QStringList arguments {u"-silent"_s};
        for (int bit = 0; bit < 4; ++bit) {
            if (options & 1 << bit)
                arguments << names[bit];
        }
        QStringList sources;
        for (int place = 0; place < m_batchSizes[options]; ++place)
            sources << sourcePath(options, place);
        m_batchSizes[options] = 0;
        // lrelease stops at the first file it cannot read; then each is compiled on its own.
        if (!sources.isEmpty() && !runLrelease(arguments + sources)) {
            for (const QString &ts : std::as_const(sources))
                runLrelease(arguments + QStringList {ts});
        }
        for (const QString &ts : std::as_const(sources)) {
            const QString qm = ts.chopped(3) + u".qm"_s;
            QFile file(qm);
            if (file.open(QIODevice::ReadOnly)
                && lookUpLabels(file.readAll()) != QmVerdict::Sound) {
                std::fprintf(stderr, "the check refuses %s, made by lrelease %s from %s\n",
                             qPrintable(qm), qPrintable(arguments.join(u' ')), qPrintable(ts));
                std::abort();
            }
            QFile::remove(ts);
            QFile::remove(qm);
        }
    }

    static bool runLrelease(const QStringList &arguments)
    {
        QProcess lrelease;
        lrelease.start(QLibraryInfo::path(QLibraryInfo::BinariesPath) + u"/lrelease"_s, arguments);
        return lrelease.waitForFinished(-1) && lrelease.exitStatus() == QProcess::NormalExit
            && lrelease.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    std::array<int, 16> m_batchSizes {};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > maxInput)
        return 0;
    const QByteArrayView input(data, qsizetype(size));
    if (input.startsWith(qmMagic))
        lookUpLabels(input);
    else
        Releaser::instance().add(input);
    return 0;
}
