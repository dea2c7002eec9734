#pragma once

#include "devicesim.h"
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

    SerialUpdata *w = nullptr;
    WindowDriver *d = nullptr;
    DeviceSimulator *sim = nullptr;
    QTemporaryDir *dir = nullptr;
};
