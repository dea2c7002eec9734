#include "windowtest.h"

#include "testimage.h"

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
    linesBefore = 0;
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

bool WindowTest::connectAt(const QString &baud)
{
    d->connect(sim->slavePath(), baud);
    if (d->openButton()->text() != kDisconnect) {
        qWarning() << "not connected:" << d->paneLines();
        return false;
    }
    return true;
}

bool WindowTest::choose(const QString &path)
{
    const WindowDriver::DialogSeen seen = d->browse(path);
    return seen.shown && d->route()->toPlainText() == path && d->updateButton()->isEnabled();
}

QString WindowTest::imageFile(const QByteArray &bytes)
{
    const QString path = dir->filePath(QStringLiteral("image.bin"));
    return testimage::write(path, bytes) ? path : QString();
}

void WindowTest::pressUpdate()
{
    sim->clearRecord();
    linesBefore = d->paneLines().size();
    d->updateButton()->click();
}
