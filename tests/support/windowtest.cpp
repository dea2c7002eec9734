#include "windowtest.h"

#include <QTest>

void WindowTest::setUpWindow()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    sim = new DeviceSimulator;
    QVERIFY2(sim->start(), qPrintable(sim->errorString()));
    w = new SerialUpdata;
    d = new WindowDriver(*w);
    w->show();
}

void WindowTest::tearDownWindow()
{
    delete d;
    delete w;
    delete sim;
    delete dir;
    d = nullptr;
    w = nullptr;
    sim = nullptr;
    dir = nullptr;
}
