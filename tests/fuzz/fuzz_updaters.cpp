// libFuzzer target: the first input byte picks one of the four database files, the rest of the
// input becomes that file's bytes; the other three are the first-generation fixtures. All four
// updaters then run as the program runs them, and must neither crash nor hang.
#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

namespace {

const QStringList fileNames = {u"profile.db"_s, u"data.db"_s, u"qc.db"_s, u"syslog.db"_s};

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) { }

struct Environment
{
    Environment()
    {
        static int argc = 1;
        static char name[] = "fuzz_updaters";
        static char *argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        qInstallMessageHandler(dropMessages);
        const QString fixtures = qEnvironmentVariable("DBUPDATE_FUZZ_FIXTURES");
        for (const QString &name : fileNames) {
            QFile file(fixtures + u'/' + name);
            fixtureBytes << (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
        }
        QDir::setCurrent(dir.path());
    }

    QCoreApplication *app = nullptr;
    QTemporaryDir dir;
    QList<QByteArray> fixtureBytes;
};

void writeFile(const QString &name, const QByteArray &bytes)
{
    QFile::remove(name + u"-journal"_s);
    QFile file(name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

template<typename Updater>
bool runUpdater()
{
    Updater updater;
    return updater.run();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Environment environment;
    if (size == 0)
        return 0;
    const int target = data[0] % fileNames.size();
    for (int i = 0; i < fileNames.size(); ++i) {
        writeFile(fileNames.at(i),
                  i == target ? QByteArray(reinterpret_cast<const char *>(data + 1), int(size - 1))
                              : environment.fixtureBytes.at(i));
    }
    runUpdater<UpdateProfile>() && runUpdater<UpdateData>() && runUpdater<UpdateQc>()
            && runUpdater<UpdateSyslog>();
    return 0;
}
