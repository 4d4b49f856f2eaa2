#include <QtTest>
class test_partition_repair : public QObject {
    Q_OBJECT
};
QTEST_GUILESS_MAIN(test_partition_repair)
#include "test_partition_repair.moc"
