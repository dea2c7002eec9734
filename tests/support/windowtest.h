#pragma once

#include "devicesim.h"
#include "messages.h"
#include "serialupdata.h"
#include "windowdriver.h"

#include <QObject>
#include <QTemporaryDir>

// Base of the tests that drive the window against a simulated device: every test function gets a
// fresh window, driver, device and scratch folder.
class WindowTest : public QObject
{
protected:
    void setUpWindow();
    void tearDownWindow();

    // Connects to the simulated device; false (the pane goes to the log) unless connected.
    bool connectAt(const QString &baud);
    // Browses to `path`: true once it shows and Update is enabled.
    bool choose(const QString &path);
    // Writes `bytes` as the scratch folder's image.bin and returns its path.
    QString imageFile(const QByteArray &bytes);
    // Presses Update and returns when its slot has ended, the whole transfer included.
    void pressUpdate();
    // Pane lines since the last press, stamped ones as their text (see stampedTexts).
    QStringList newTexts() const { return stampedTexts(d->newLines(linesBefore)); }
    // What the device received since the last press.
    Traffic traffic() const { return splitTraffic(sim->receivedBytes()); }

    SerialUpdata *w = nullptr;
    WindowDriver *d = nullptr;
    DeviceSimulator *sim = nullptr;
    QTemporaryDir *dir = nullptr;
    int linesBefore = 0;
};
