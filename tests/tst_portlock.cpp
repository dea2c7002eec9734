#include "portlock.h"
#include "portpath.h"
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
    QCOMPARE(ports::portIdentity(name), ports::portIdentity(path));
    QVERIFY(ports::sameNode(ports::systemPath(name), path));

    ports::PortLock first;
    ports::PortLock second;
    QVERIFY(first.acquire(path).locked());
    const ports::LockOutcome refused = second.acquire(name);
    QCOMPARE(int(refused.kind), int(ports::LockOutcome::Kind::InUse));
    QCOMPARE(refused.error, QStringLiteral("in use by another program"));
    QVERIFY(!second.isHeld());
    first.release();
    QVERIFY(second.acquire(name).locked());
}

// A device that comes back on a new node (an adapter plugged in again) is locked there, and the
// old node is let go.
void TestPortLock::lockFollowsReplacedNode()
{
    DeviceSimulator other;
    QVERIFY(other.start());
    QVERIFY(ports::portIdentity(other.slavePath()) != ports::portIdentity(sim->slavePath()));
    const QString link = linkTo(sim->slavePath(), QStringLiteral("by-id"));
    ports::PortLock held;
    QVERIFY(held.acquire(link).locked());
    QVERIFY(linkTo(other.slavePath(), QStringLiteral("by-id")) == link);
    QVERIFY(held.acquire(link).locked());

    ports::PortLock probe;
    QVERIFY(!probe.acquire(other.slavePath()).locked());
    QVERIFY(probe.acquire(sim->slavePath()).locked());
}

void TestPortLock::windowRefusesLockedPort()
{
    ports::PortLock otherProgram;
    QVERIFY(otherProgram.acquire(sim->slavePath()).locked());
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
    QVERIFY(!otherProgram.acquire(sim->slavePath()).locked());
    d->openButton()->click();
    QVERIFY(otherProgram.acquire(sim->slavePath()).locked());
}

QTEST_MAIN(TestPortLock)
#include "tst_portlock.moc"
