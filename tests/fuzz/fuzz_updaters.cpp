// libFuzzer target: the first input byte picks one of the four database files, the rest of the
// input becomes that file's bytes; the other three are the first-generation fixtures. All four
// updaters then run as the program runs them, and must neither crash nor hang.
#include "fileupdate.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

namespace {

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &)
{
}

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
        for (const FileDeclaration &updater : declaredFiles()) {
            QFile file(fixtures + u'/' + updater.fileName);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Environment environment;
    if (size == 0)
        return 0;
    const QList<FileDeclaration> &files = declaredFiles();
    const qsizetype target = data[0] % files.size();
    for (qsizetype i = 0; i < files.size(); ++i) {
        writeFile(files.at(i).fileName,
                  i == target ? QByteArray(reinterpret_cast<const char *>(data + 1), int(size - 1))
                              : environment.fixtureBytes.at(i));
    }
    for (const FileDeclaration &file : files) {
        if (!FileUpdate(file).run().succeeded())
            break;
    }
    return 0;
}
