#include <QTest>
class TestLauncher : public QObject
{
    Q_OBJECT
};
QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
