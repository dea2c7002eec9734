#include "devicesim.h"
#include "protocol.h"
#include "serialupdata.h"
#include "windowdriver.h"

#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>

class TestConnect : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nineSixHundredIdentity();

private:
    SerialUpdata *w = nullptr;
    WindowDriver *d = nullptr;
    DeviceSimulator *sim = nullptr;
};

void TestConnect::init()
{
    sim = new DeviceSimulator;
    QVERIFY2(sim->start(), qPrintable(sim->errorString()));
    w = new SerialUpdata;
    d = new WindowDriver(*w);
    w->show();
}

void TestConnect::cleanup()
{
    delete d;
    delete w;
    delete sim;
}

void TestConnect::nineSixHundredIdentity()
{
    sim->setIdentity("PM-100", "SN0001", "V1.0.0");
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    const QStringList lines = d->paneLines();
    qDebug() << lines;
    QCOMPARE(d->openButton()->text(), QStringLiteral("Disconnect"));
}

QTEST_MAIN(TestConnect)
#include "tst_connect.moc"
