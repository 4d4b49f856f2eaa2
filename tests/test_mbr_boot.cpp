#include <QtTest>
class test_mbr_boot : public QObject {
    Q_OBJECT
};
QTEST_GUILESS_MAIN(test_mbr_boot)
#include "test_mbr_boot.moc"
