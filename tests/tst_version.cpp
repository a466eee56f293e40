#include <QtTest>
class tst_Version : public QObject { Q_OBJECT };
QTEST_APPLESS_MAIN(tst_Version)
#include "tst_version.moc"
