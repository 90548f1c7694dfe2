#include "fuzz/translationsource.h"
#include "layoutcheck.h"
#include "testutil.h"
#include "translations.h"
#include "fileupdate.h"

#include <QFileInfo>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>

using namespace Qt::StringLiterals;

namespace {

// What lrelease compiles for the tests: the sample type label, translated, and messages of one
// kind, in a language whose numerus forms they use. Every message has an id for -idbased.
std::pair<QString, QList<TsMessage>> tsContent(const QString &kind)
{
    QList<TsMessage> messages {
        {u"UpdateProfile"_s, u"样本类型"_s, {}, {}, {}, {u"Dot sample type"_s}}};
    QString language = u"en"_s;
    if (kind == u"empty translations") {
        messages += {{u"C"_s, u"empty"_s, {}, {}, {}, {QString()}},
                     {u"C"_s, u"unfinished"_s, {}, {}, u"unfinished"_s, {u"half"_s}},
                     {u"C"_s, u"unfinished empty"_s, {}, {}, u"unfinished"_s, {QString()}},
                     {u"C"_s, u"vanished"_s, {}, {}, u"vanished"_s, {u"gone"_s}},
                     {u"C"_s, u"identical"_s, {}, {}, {}, {u"identical"_s}}};
    } else if (kind == u"numerus forms") {
        language = u"ar"_s;
        const QStringList forms {u"0 %n"_s, u"1 %n"_s, u"2 %n"_s, u"3 %n"_s, u"4 %n"_s, u"5 %n"_s};
        messages += {{u"C"_s, u"%n files"_s, {}, {}, {}, forms, true},
                     {u"C"_s, u"%n rows"_s, {}, {}, {}, {u"1 %n"_s, QString()}, true},
                     {u"C"_s, u"%n days"_s, {}, {}, u"unfinished"_s, forms, true}};
    } else if (kind == u"disambiguation") {
        for (const QString &context : {u"Menu"_s, u"Dialog"_s}) {
            for (const QString &comment : {u"file"_s, u"door"_s, QString()})
                messages << TsMessage {context, u"Open"_s, comment, {}, {}, {context + comment}};
        }
    } else if (kind == u"long texts") {
        language = u"ja"_s;
        TsMessage longTexts {QString(300, u'c'), QString(40000, u's'), QString(1000, u'd')};
        longTexts.translations = {QString(70000, u't')};
        messages << longTexts;
    } else {
        // Many contexts, named with an odd length so that -compress ends no chain of names, in a
        // language without numerus rules, whose section would follow them; below 8 characters,
        // a hash is the codes of source and comment in base 16: "Cp", "C" + "p" and "D`" share one.
        language = u"zh_CN"_s;
        for (int i = 0; i < 1500; ++i) {
            const QString n = QString::number(i);
            const QString context = u"Context%1"_s.arg(i % 300, 4, 10, QChar(u'0'));
            messages += {{context, u"message "_s + n, {}, {}, {}, {u"translation "_s + n}}};
        }
        for (char16_t k = 0; k < 6; ++k) {
            const QString source = u"%1%2"_s.arg(QChar(u'C' + k), QChar(u'p' - 16 * k));
            messages += {{u"C"_s, source, {}, {}, {}, {source}},
                         {u"C"_s, source.left(1), source.mid(1), {}, {}, {source.left(1)}}};
        }
    }
    for (qsizetype i = 0; i < messages.size(); ++i)
        messages[i].id = u"id%1"_s.arg(i);
    return {language, messages};
}

// Every message looked up with several counts, by its source and by its id, in the translator
// that dbupdate loads from the file's bytes and in one that Qt loads from the file itself; the
// keys whose lookups differ.
QStringList lookupDifferences(const QString &path, const QList<TsMessage> &messages)
{
    CheckedTranslator checked;
    QTranslator plain;
    const QmVerdict verdict = checked.loadChecked(TestUtil::readFile(path));
    if (verdict != QmVerdict::Sound || !plain.load(path))
        return {path + u": verdict %1"_s.arg(int(verdict))};
    QStringList differences;
    for (const TsMessage &message : messages) {
        const QByteArrayList keys {message.context.toUtf8(), message.source.toUtf8(),
                                   message.comment.toUtf8(), message.id.toUtf8()};
        for (const int n : {-1, 1, 2, 5}) {
            const QString viaCheck = checked.translate(keys[0], keys[1], keys[2], n);
            const QString viaQt = plain.translate(keys[0], keys[1], keys[2], n);
            if (viaCheck != viaQt || viaCheck.isNull() != viaQt.isNull()
                || checked.translate(nullptr, keys[3], nullptr, n)
                    != plain.translate(nullptr, keys[3], nullptr, n))
                differences << path + u": "_s + message.context + u'/' + message.source;
        }
    }
    return differences;
}

} // namespace

class TestLauncher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_root.reset(new QTemporaryDir);
        QVERIFY(m_root->isValid());
        QVERIFY(QDir(m_root->path()).mkdir(u"work"_s));
        m_work = m_root->filePath(u"work"_s);
    }

    // The shipped sample sets after a real run, compared with the layouts the updaters promise.
    // Neither the log file nor standard error, when it is not a terminal, gets anything of the
    // progress line; on a terminal (script's, of so many columns), each written file's line ends
    // on its saving, and no line reaches the terminal's last column, where it would wrap.
    void samplesMatchPromisedLayouts_data()
    {
        QTest::addColumn<bool>("intermediate");
        QTest::addColumn<int>("terminalColumns");

        QTest::newRow("first generation") << false << 0;
        QTest::newRow("intermediate versions") << true << 0;
        QTest::newRow("first generation on a terminal") << false << 80;
        QTest::newRow("first generation on a narrow terminal") << false << 40;
    }

    void samplesMatchPromisedLayouts()
    {
        QFETCH(bool, intermediate);
        QFETCH(int, terminalColumns);
        QCOMPARE(TestUtil::makeSampleSet(m_work, intermediate), QString());
        const QString offTerminal = m_root->filePath(u"offTerminal"_s);
        QVERIFY(terminalColumns == 0 || TestUtil::copyFiles(m_work, offTerminal));
        const TestUtil::RunResult result = terminalColumns > 0
            ? TestUtil::runProgram(
                u"script"_s, m_work,
                {u"-qec"_s,
                 u"stty cols %1; '" DBUPDATE_EXECUTABLE "' update.log"_s.arg(terminalColumns),
                 u"/dev/null"_s})
            : TestUtil::runDbupdate(m_work, {u"update.log"_s});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.standardError, QByteArray());
        if (terminalColumns > 0) {
            QCOMPARE(TestUtil::runDbupdate(offTerminal, {u"update.log"_s}).exitCode, 0);
            QCOMPARE(TestUtil::readFile(m_work + u"/update.log"_s),
                     TestUtil::readFile(offTerminal + u"/update.log"_s));
            const QString terminal = QString::fromUtf8(result.standardOutput);
            for (const QString &drawn : terminal.split(u'\r'))
                QVERIFY2(drawn.size() < terminalColumns, qPrintable(drawn));
            static const QRegularExpression saving(
                uR"(\r(\w+\.db)  [^\r]*step (\d+) of \2  \d+:\d\d *\r)"_s);
            QStringList saved;
            for (const QRegularExpressionMatch &match : saving.globalMatch(terminal))
                saved << match.captured(1);
            QCOMPARE(saved, (QStringList {u"profile.db"_s, u"data.db"_s, u"syslog.db"_s}));
        }

        for (const FileDeclaration &description : declaredFiles()) {
            TestUtil::Database database(m_work + u'/' + description.fileName);
            QVERIFY(findLayoutDifferences(database.db(), description.layout).isEmpty());
        }
    }

    void logSink_data()
    {
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QByteArray>("expectedLog");
        QTest::addColumn<bool>("crashes");

        QTest::newRow("one line per kind")
            << QStringList {u"debug:d"_s, u"warning:w"_s, u"critical:c"_s}
            << QByteArray("Debug: d\nWarning: w\nCritical: c\n") << false;
        QTest::newRow("text is never a format")
            << QStringList {u"warning:100%s done %d%n"_s}
            << QByteArray("Warning: 100%s done %d%n\n") << false;
        QTest::newRow("line feeds written as they are")
            << QStringList {u"warning:a\nb "_s} << QByteArray("Warning: a\nb \n") << false;
        QTest::newRow("info messages are not written")
            << QStringList {u"info:i"_s, u"warning:w"_s} << QByteArray("Warning: w\n") << false;
        QTest::newRow("nothing reaches a closed log")
            << QStringList {u"warning:w"_s, u"close"_s, u"warning:late"_s}
            << QByteArray("Warning: w\n") << false;
        QTest::newRow("fatal ends the process")
            << QStringList {u"warning:w"_s, u"fatal:f"_s, u"warning:never"_s}
            << QByteArray("Warning: w\nFatal: f\n") << true;
    }

    void logSink()
    {
        QFETCH(QStringList, messages);
        QFETCH(QByteArray, expectedLog);
        QFETCH(bool, crashes);
        QVERIFY(QFile(m_root->filePath(u"log"_s)).open(QIODevice::WriteOnly));
        const TestUtil::RunResult result
            = TestUtil::runProgram(QStringLiteral(SINKPROBE_EXECUTABLE), m_work,
                                   QStringList {m_root->filePath(u"log"_s)} + messages);
        QCOMPARE(result.exitStatus == QProcess::CrashExit, crashes);
        QCOMPARE(TestUtil::readFile(m_root->filePath(u"log"_s)), expectedLog);
    }

    void noArguments()
    {
        QCOMPARE(makeProfile(), QString());
        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work);
        QCOMPARE(result.exitCode, 0);
        QStringList files = QDir(m_work).entryList(QDir::Files, QDir::Name);
        QCOMPARE(files, (QStringList {u"data.db"_s, u"profile.db"_s, u"qc.db"_s, u"syslog.db"_s}));
        // data.db, created by the run, lacks the application's own tables.
        QVERIFY(result.standardError.contains("data.db: after the update"));
        QVERIFY(result.standardOutput.isEmpty());
    }

    // An existing log keeps its content; each run adds its own lines after it.
    void logIsAppended()
    {
        QCOMPARE(makeProfile(), QString());
        const QString log = m_work + u"/update.log"_s;
        QFile file(log);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("earlier line\n") > 0);
        file.close();

        QCOMPARE(TestUtil::runDbupdate(m_work, {u"update.log"_s}).exitCode, 0);
        const QStringList firstRun = TestUtil::logLines(log);
        QCOMPARE(TestUtil::runDbupdate(m_work, {u"update.log"_s}).exitCode, 0);
        const QStringList bothRuns = TestUtil::logLines(log);

        QCOMPARE(firstRun.first(), u"earlier line"_s);
        QCOMPARE(bothRuns.mid(0, firstRun.size()), firstRun);
        // A run over files already up to date writes only that data.db, which the first run
        // created, lacks the application's own tables.
        const QString dataLayout = firstRun.filter(u"data.db: after the update"_s).value(0);
        QVERIFY2(dataLayout.contains(u"table patient is missing"_s), qPrintable(dataLayout));
        QCOMPARE(bothRuns.mid(firstRun.size()),
                 QStringList {dataLayout});
    }

    // The log goes to standard error rather than into a database, a file SQLite keeps beside one,
    // a translation file or a missing directory, and from the first line that fails to be written.
    void logRefused_data()
    {
        QTest::addColumn<QString>("logName");
        // Why the log is refused, or the whole line when it is not.
        QTest::addColumn<QString>("expectedError");

        const QString database = u"it is one of the databases that dbupdate upgrades"_s;
        QTest::newRow("one of the databases") << u"profile.db"_s << database;
        QTest::newRow("one still to be created") << u"../work/syslog.db"_s << database;
        QTest::newRow("any SQLite database") << u"other.db"_s << u"it is an SQLite database"_s;
        QTest::newRow("a translation file") << u"labels.qm"_s << u"it is a Qt translation file"_s;
        const QString belongs = u"it belongs to %1, one of the databases that dbupdate upgrades"_s;
        QTest::newRow("the journal of a database")
            << u"profile.db-journal"_s << belongs.arg(u"profile.db"_s);
        QTest::newRow("the write-ahead log of one still to be created")
            << u"qc.db-wal"_s << belongs.arg(u"qc.db"_s);
        QTest::newRow("a log that cannot be written")
            << u"/dev/full"_s
            << u"dbupdate: cannot write the log to /dev/full: No space left on device; the rest "
               u"of the log goes to standard error"_s;
        QTest::newRow("a log in a missing directory")
            << u"nodir/update.log"_s
            << u"dbupdate: cannot open the log file nodir/update.log: No such file or directory; "
               u"the log goes to standard error"_s;
    }

    void logRefused()
    {
        QFETCH(QString, logName);
        QFETCH(QString, expectedError);
        QCOMPARE(makeProfile(), QString());
        QCOMPARE(TestUtil::execAll(m_work + u"/other.db"_s, {u"create table t(a)"_s}), QString());
        QVERIFY(QFile::copy(TEST_BINARY_DIR u"/data/label_dot.qm"_s, m_work + u"/labels.qm"_s));

        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, {logName});

        QCOMPARE(result.exitCode, 0);
        QVERIFY(!QFileInfo::exists(m_work + u"/nodir"_s));
        const QString expectedLine = expectedError.startsWith(u"dbupdate: "_s)
            ? expectedError
            : u"dbupdate: the log is not appended to %1: %2; the log goes to standard error"_s.arg(
                logName, expectedError);
        QCOMPARE(result.standardError.left(result.standardError.indexOf('\n')),
                 expectedLine.toUtf8());
        QVERIFY(result.standardError.contains("data.db: after the update"));
        QVERIFY(!TestUtil::readFile(m_work + u'/' + logName).contains("after the update"));
    }

    void translationSearchOrder_data()
    {
        QTest::addColumn<QStringList>("placedIn");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("expectedLabel");

        QTest::newRow("found in the working directory first")
            << QStringList {u"dot"_s, u"parent"_s, u"qtdir"_s} << u"labels"_s
            << u"Dot sample type"_s;
        QTest::newRow("then in its parent")
            << QStringList {u"parent"_s, u"qtdir"_s} << u"labels"_s << u"Parent sample type"_s;
        QTest::newRow("then in Qt's translations directory")
            << QStringList {u"qtdir"_s} << u"labels"_s << u"Qtdir sample type"_s;
        QTest::newRow("with its suffix")
            << QStringList {u"parent"_s} << u"labels.qm"_s << u"Parent sample type"_s;
        QTest::newRow("nowhere") << QStringList() << u"labels"_s << u"样本类型"_s;
    }

    // Argument 1 names the log file and is tried as a translation file as well.
    void translationSearchOrder()
    {
        QFETCH(QStringList, placedIn);
        QFETCH(QString, argument);
        QFETCH(QString, expectedLabel);
        const QString uniqueName = u"tst_launcher_%1"_s.arg(QCoreApplication::applicationPid());
        const QString qtDir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        const QMap<QString, QString> dirs
            = {{u"dot"_s, m_work}, {u"parent"_s, m_root->path()}, {u"qtdir"_s, qtDir}};
        QStringList placed;
        for (const QString &where : placedIn) {
            const QString target = dirs.value(where) + u'/' + uniqueName + u".qm"_s;
            QFile::remove(target);
            QVERIFY(QDir().mkpath(dirs.value(where)));
            QVERIFY(QFile::copy(TEST_BINARY_DIR u"/data/label_"_s + where + u".qm"_s, target));
            placed << target;
        }
        QCOMPARE(makeProfile(), QString());

        const QString name = QString(argument).replace(u"labels"_s, uniqueName);
        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, {name});
        for (const QString &file : std::as_const(placed))
            QFile::remove(file);

        QCOMPARE(result.exitCode, 0);
        QVERIFY(QFileInfo::exists(m_work + u'/' + name));
        QCOMPARE(TestUtil::column(m_work + u"/profile.db"_s,
                                  u"select value from profile where name = 'patient/sampleType'"_s),
                 QStringList {expectedLabel});
    }

    // A translation file that would take Qt's lookup outside it is refused and reported; a name
    // that yields none is reported with the places searched, except the log file's own name.
    void translationProblems_data()
    {
        QTest::addColumn<QString>("kind"); // of messages lrelease compiles; none: label_dot.qm
        QTest::addColumn<QStringList>("lreleaseOptions");
        QTest::addColumn<int>("damagedByte"); // set to 0x80 in ./labels.qm; -1: none
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expectedWarning");
        QTest::addColumn<QString>("expectedLabel");

        const QString damaged = u"translation file ./labels.qm is damaged and was not used"_s;
        const QString notFound
            = u"translation file %1 was not found in \".\", \"..\" or \"%2\" and was not used"_s;
        const QString qtDir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        const QStringList labels = {u"update.log"_s, u"labels"_s};
        QTest::newRow("sound") << QString() << QStringList() << -1 << labels << QString()
                               << u"Dot sample type"_s;
        QTest::newRow("translation length")
            << QString() << QStringList() << 0x2a << labels << damaged << u"样本类型"_s;
        QTest::newRow("source text length")
            << QString() << QStringList() << 0x52 << labels << damaged << u"样本类型"_s;
        QTest::newRow("damaged as the log file's name")
            << QString() << QStringList() << 0x2a << QStringList {u"labels"_s} << damaged
            << u"样本类型"_s;
        QTest::newRow("log file's name silent")
            << QString() << QStringList() << -1 << QStringList {u"update.log"_s} << QString()
            << u"样本类型"_s;
        QTest::newRow("not found")
            << QString() << QStringList() << -1 << QStringList {u"update.log"_s, u"nolabels"_s}
            << notFound.arg(u"nolabels"_s, qtDir) << u"样本类型"_s;
        QTest::newRow("not a translation file")
            << QString() << QStringList() << -1 << QStringList {u"update.log"_s, u"update.log"_s}
            << notFound.arg(u"update.log"_s, qtDir) + u": ./update.log is not a translation file"_s
            << u"样本类型"_s;
        // Whatever lrelease makes is taken; an id-based file has no label for its context.
        for (const QString &kind : {u"empty translations"_s, u"numerus forms"_s,
                                    u"disambiguation"_s, u"long texts"_s, u"many messages"_s}) {
            for (const QStringList &options :
                 {QStringList(), {u"-idbased"_s}, {u"-nounfinished"_s}, {u"-removeidentical"_s}}) {
                for (const QStringList &compress : {QStringList(), {u"-compress"_s}}) {
                    QTest::addRow("%s %s", qPrintable(kind),
                                  qPrintable((options + compress).join(u' ')))
                        << kind << options + compress << -1 << labels << QString()
                        << (options.contains(u"-idbased"_s) ? u"样本类型"_s : u"Dot sample type"_s);
                }
            }
        }
    }

    void translationProblems()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, lreleaseOptions);
        QFETCH(int, damagedByte);
        QFETCH(QStringList, arguments);
        QFETCH(QString, expectedWarning);
        QFETCH(QString, expectedLabel);
        QByteArray qm = TestUtil::readFile(TEST_BINARY_DIR u"/data/label_dot.qm"_s);
        const auto [language, messages] = tsContent(kind);
        if (!kind.isEmpty()) {
            QFile ts(m_work + u"/labels.ts"_s);
            QVERIFY(ts.open(QIODevice::WriteOnly) && ts.write(tsDocument(language, messages)) > 0);
            ts.close();
            QCOMPARE(TestUtil::runProgram(LRELEASE_EXECUTABLE ""_L1, m_work,
                                          lreleaseOptions << u"-silent"_s << ts.fileName()
                                                          << u"-qm"_s << m_work + u"/labels.qm"_s)
                         .exitCode,
                     0);
            qm = TestUtil::readFile(m_work + u"/labels.qm"_s);
        }
        if (damagedByte >= 0)
            qm[damagedByte] = char(0x80);
        QFile file(m_work + u"/labels.qm"_s);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(qm) == qm.size());
        file.close();
        QCOMPARE(makeProfile(), QString());

        QCOMPARE(TestUtil::runDbupdate(m_work, arguments).exitCode, 0);

        QCOMPARE(
            TestUtil::updaterLines(m_work + u'/' + arguments.first()).filter(u"translation file"_s),
            expectedWarning.isEmpty() ? QStringList()
                                      : QStringList {u"Warning: "_s + expectedWarning});
        QCOMPARE(TestUtil::column(m_work + u"/profile.db"_s,
                                  u"select value from profile where name = 'patient/sampleType'"_s),
                 QStringList {expectedLabel});
        if (!kind.isEmpty())
            QCOMPARE(lookupDifferences(m_work + u"/labels.qm"_s, messages), QStringList());
    }

    // Every translation file in Qt's translations directory is taken, but for those that name
    // further files; lconvert lists their messages.
    void qtTranslationsTaken()
    {
        const QDir qtDir(QLibraryInfo::path(QLibraryInfo::TranslationsPath));
        const QStringList files = qtDir.entryList({u"*.qm"_s}, QDir::Files);
        QVERIFY(!files.isEmpty());
        QStringList differences;
        for (const QString &file : files) {
            const QString path = qtDir.filePath(file);
            const QString ts = m_work + u"/listed.ts"_s;
            QCOMPARE(TestUtil::runProgram(LCONVERT_EXECUTABLE ""_L1, m_work,
                                          {u"-i"_s, path, u"-o"_s, ts})
                         .exitCode,
                     0);
            QFile listed(ts);
            QVERIFY(listed.open(QIODevice::ReadOnly));
            QList<TsMessage> messages;
            QString context;
            bool dependencies = false;
            for (QXmlStreamReader xml(&listed); !xml.atEnd();) {
                if (xml.readNext() != QXmlStreamReader::StartElement)
                    continue;
                if (xml.name() == u"dependency")
                    dependencies = true;
                else if (xml.name() == u"name")
                    context = xml.readElementText();
                else if (xml.name() == u"message")
                    messages << TsMessage {context};
                else if (xml.name() == u"source")
                    messages.last().source = xml.readElementText();
                else if (xml.name() == u"comment")
                    messages.last().comment = xml.readElementText();
            }
            if (dependencies)
                QCOMPARE(CheckedTranslator().loadChecked(TestUtil::readFile(path)),
                         QmVerdict::HasDependencies);
            else
                differences << lookupDifferences(path, messages);
        }
        QCOMPARE(differences, QStringList());
    }

    void syslog_data()
    {
        QTest::addColumn<QStringList>("fixture");
        QTest::addColumn<QStringList>("expectedVersions");
        QTest::addColumn<QString>("expectedWarnings");

        const QString versionTable = u"create table version(version integer)"_s;
        const QStringList stamped = {TestUtil::currentVersion(u"syslog.db"_s)};
        QTest::newRow("no tables") << QStringList() << stamped << QString();
        QTest::newRow("empty version table")
            << QStringList {versionTable} << stamped
            << u"Warning: .\\updatesyslog ( 12 ):  table version already exists Unable to "
               u"execute statement : [ create table version(version integer) ] \n"_s;
        QTest::newRow("balance already there")
            << QStringList {u"create table balance(id integer primary key, date date, time time, "
                            u"item integer, value integer)"_s,
                            u"create index talance_index on balance(date, time, item)"_s}
            << stamped
            << u"Warning: .\\updatesyslog ( 20 ):  table balance already exists Unable to "
               u"execute statement : [ -- 历史记录\ncreate table balance(\n\tid integer "
               u"primary key,\n\tdate date,\t\t\t-- 保存日期\n\ttime time,\t\t\t-- "
               u"保存时间\n\titem integer,\t\t-- 项目ID\n\tvalue integer\t\t-- 余额\n\t) ] \n"
               u"Warning: .\\updatesyslog ( 21 ):  index talance_index already exists Unable "
               u"to execute statement : [ create index talance_index on balance(date, time, "
               u"item) ] \n"_s;
        // A file at version 1 without the balance table is told apart from a complete one.
        const QString balanceMissing = u"Warning: syslog.db: after the update, table balance is "
                                       u"missing; index talance_index is missing\n"_s;
        QTest::newRow("version 1") << QStringList {versionTable, u"insert into version values(1)"_s}
                                   << stamped << balanceMissing;
        QTest::newRow("several version rows")
            << QStringList {versionTable, u"insert into version values(0)"_s,
                            u"insert into version values(1)"_s, u"insert into version values(1)"_s}
            << stamped << balanceMissing;
        QTest::newRow("newer version left as it is")
            << QStringList {versionTable, u"insert into version values(2)"_s,
                            u"insert into version values(5)"_s}
            << QStringList {u"2"_s, u"5"_s}
            << u"Warning: syslog.db has version 5, newer than this program's %1: its version "
               u"was left as it is\n"_s.arg(stamped.first());
    }

    void syslog()
    {
        QFETCH(QStringList, fixture);
        QFETCH(QStringList, expectedVersions);
        QFETCH(QString, expectedWarnings);
        QCOMPARE(makeProfile(), QString());
        const QString syslog = m_work + u"/syslog.db"_s;
        QCOMPARE(TestUtil::execAll(syslog, fixture), QString());

        QCOMPARE(TestUtil::runDbupdate(m_work, {u"update.log"_s}).exitCode, 0);

        QCOMPARE(TestUtil::column(syslog, u"select version from version order by version"_s),
                 expectedVersions);
        const QString warnings
            = TestUtil::updaterLines(m_work + u"/update.log"_s).join(u'\n') + u'\n';
        // The log also holds the profile updater's lines; keep those of syslog.db.
        const qsizetype start
            = warnings.indexOf(QRegularExpression(u"Warning: (\\.\\\\updatesyslog|syslog\\.db)"_s));
        QCOMPARE(start >= 0 ? warnings.mid(start) : QString(), expectedWarnings);
        if (fixture.isEmpty()) {
            QCOMPARE(TestUtil::schemaText(syslog, u"balance"_s),
                     u"CREATE TABLE balance(\n\tid integer primary key,\n\tdate date,\t\t\t-- "
                     u"保存日期\n\ttime time,\t\t\t-- 保存时间\n\titem integer,\t\t-- "
                     u"项目ID\n\tvalue integer\t\t-- 余额\n\t)"_s);
            QCOMPARE(TestUtil::schemaText(syslog, u"talance_index"_s),
                     u"CREATE INDEX talance_index on balance(date, time, item)"_s);
            QCOMPARE(TestUtil::schemaText(syslog, u"version"_s),
                     u"CREATE TABLE version(version integer)"_s);
        }
    }

    void qcUnchanged()
    {
        QCOMPARE(makeProfile(), QString());
        const QString qc = m_work + u"/qc.db"_s;
        QCOMPARE(TestUtil::execAll(qc,
                                   {u"create table version(version integer)"_s,
                                    u"insert into version values(7)"_s,
                                    u"create table qcResult(id integer primary key, v)"_s,
                                    u"insert into qcResult values(1, 2.5)"_s}),
                 QString());
        QFile qcFile(qc);
        QVERIFY(qcFile.open(QIODevice::ReadWrite));
        QVERIFY(qcFile.setFileTime(QDateTime(QDate(2020, 1, 2), QTime(3, 4)),
                                   QFileDevice::FileModificationTime));
        qcFile.close();
        const QByteArray before = TestUtil::readFile(qc);

        QCOMPARE(TestUtil::runDbupdate(m_work, {u"update.log"_s}).exitCode, 0);

        QCOMPARE(TestUtil::readFile(qc), before);
        QCOMPARE(QFileInfo(qc).lastModified(), QDateTime(QDate(2020, 1, 2), QTime(3, 4)));
    }

    // A file that cannot be opened is reported and ends the run; later files are not opened.
    void cannotOpen()
    {
        QCOMPARE(makeProfile(), QString());
        QVERIFY(QDir(m_work).mkdir(u"data.db"_s));

        const TestUtil::RunResult result = TestUtil::runDbupdate(m_work, {u"update.log"_s});

        QCOMPARE(result.exitCode, 1);
        QVERIFY(TestUtil::updaterLines(m_work + u"/update.log"_s)
                    .contains(u"Warning: Can't update data.db: it is a directory, not a regular "
                              u"file; the file was left as it is"_s));
        QCOMPARE(QDir(m_work).entryList({u"qc.db"_s, u"syslog.db"_s}), QStringList());
    }

private:
    // The profile.db most cases start from; the first error, empty on success.
    QString makeProfile()
    {
        return TestUtil::execAll(m_work + u"/profile.db"_s, TestUtil::minimalProfile());
    }

    QScopedPointer<QTemporaryDir> m_root;
    QString m_work;
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
