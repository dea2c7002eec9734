#include "portlock.h"
#include "windowtest.h"

#include <QFile>
#include <QMessageBox>
#include <QtTest>

#include <memory>

// The port lock on its own, and the window refusing a port that another program holds.
class TestPortLock : public WindowTest
{
    Q_OBJECT

private slots:
    void init() { setUpWindow(); }
    void cleanup() { tearDownWindow(); }

    void secondLockRefused_data();
    void secondLockRefused();
    void lockFollowsReplacedNode();
    void windowRefusesLockedPort();

private:
    QString linkTo(const QString &target, const QString &name);
};

QString TestPortLock::linkTo(const QString &target, const QString &name)
{
    const QString link = dir->filePath(name);
    QFile::remove(link);
    return QFile::link(target, link) ? link : QString();
}

void TestPortLock::secondLockRefused_data()
{
    QTest::addColumn<QString>("secondName");

    QTest::newRow("same path") << "path";
    QTest::newRow("pts/N, resolved under /dev") << "short";
    QTest::newRow("symlink, as under /dev/serial/by-id") << "link";
}

void TestPortLock::secondLockRefused()
{
    QFETCH(QString, secondName);

    const QString path = sim->slavePath();
    QString name = path;
    if (secondName == QLatin1String("short"))
        name = path.mid(int(qstrlen("/dev/")));
    else if (secondName == QLatin1String("link"))
        name = linkTo(path, QStringLiteral("by-id"));
    QCOMPARE(portlock::portIdentity(name), portlock::portIdentity(path));
    QVERIFY(portlock::sameNode(portlock::systemPath(name), path));

    portlock::PortLock first;
    portlock::PortLock second;
    QString error;
    QVERIFY2(first.acquire(path, &error), qPrintable(error));
    QVERIFY(!second.acquire(name, &error));
    QCOMPARE(error, portlock::inUseText());
    QVERIFY(!second.isHeld());
    first.release();
    QVERIFY2(second.acquire(name, &error), qPrintable(error));
}

// A device that comes back on a new node (an adapter plugged in again) is locked there, and the
// old node is let go.
void TestPortLock::lockFollowsReplacedNode()
{
    DeviceSimulator other;
    QVERIFY(other.start());
    QVERIFY(portlock::portIdentity(other.slavePath()) != portlock::portIdentity(sim->slavePath()));
    const QString link = linkTo(sim->slavePath(), QStringLiteral("by-id"));
    portlock::PortLock held;
    QString error;
    QVERIFY(held.acquire(link, &error));
    QVERIFY(linkTo(other.slavePath(), QStringLiteral("by-id")) == link);
    QVERIFY(held.acquire(link, &error));

    portlock::PortLock probe;
    QVERIFY(!probe.acquire(other.slavePath(), &error));
    QVERIFY2(probe.acquire(sim->slavePath(), &error), qPrintable(error));
}

void TestPortLock::windowRefusesLockedPort()
{
    portlock::PortLock otherProgram;
    QString error;
    QVERIFY(otherProgram.acquire(sim->slavePath(), &error));
    const qint32 rateBefore = sim->currentBaud();
    QVERIFY(rateBefore != 115200);

    d->usePort(linkTo(sim->slavePath(), QStringLiteral("by-id")));
    d->chooseBaud(QStringLiteral("115200"));
    QString boxText;
    QVERIFY(d->clickWithModal(d->openButton(), [&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        boxText = box->text();
        box->button(QMessageBox::Yes)->click();
    }));
    QCOMPARE(boxText, QStringLiteral("Failed to open the serial por"));
    QTest::qWait(50);
    QVERIFY(sim->receivedBytes().isEmpty());
    QCOMPARE(sim->currentBaud(), rateBefore);
    QCOMPARE(d->openButton()->text(), kConnect);

    // Once the other program lets go, the window connects and holds the port in its turn,
    // until it disconnects.
    otherProgram.release();
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(!otherProgram.acquire(sim->slavePath(), &error));
    d->openButton()->click();
    QVERIFY2(otherProgram.acquire(sim->slavePath(), &error), qPrintable(error));
}

QTEST_MAIN(TestPortLock)
#include "tst_portlock.moc"
