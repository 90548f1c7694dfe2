#include "updatesequence.h"

#include "layoutcheck.h"

RunOutcome runUpdaters(ProgressObserver *progress)
{
    RunOutcome outcome;
    for (const UpdaterDescription &description : updaters()) {
        // Each updater lives only for its one run, so at most one holds the default connection.
        const auto updater = std::make_unique<UpdateBase>(description);
        updater->setProgressObserver(progress);
        outcome.files << updater->run();
        if (!outcome.succeeded())
            break;
        // A file that its update leaves without part of the layout its version promises gets one
        // warning line. The application may create what is missing itself, so the run goes on.
        if (updater->plan().kind == Plan::Kind::OnlyRead
            || updater->plan().kind == Plan::Kind::LeftNewer)
            continue;
        QStringList differences;
        for (const LayoutDifference &difference :
             findLayoutDifferences(QSqlDatabase::database(), description.layout))
            differences << difference.text;
        if (!differences.isEmpty()) {
            qWarning("%s: after the update, %s", qUtf8Printable(description.fileName),
                     qUtf8Printable(differences.join(u"; ")));
        }
    }
    return outcome;
}
