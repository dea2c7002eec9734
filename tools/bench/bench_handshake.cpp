#include "devicesim.h"
#include "serialupdata.h"
#include "benchutil.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QPushButton>
#include <QTextStream>

#include <cstdio>
#include <sys/resource.h>

namespace {

struct Sample
{
    double wall = 0;
    double cpu = 0;
};

template <class Work> Sample measure(Work work)
{
    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds();
    clock.start();
    work();
    Sample s;
    s.wall = clock.nsecsElapsed() / 1e9;
    s.cpu = cpuSeconds() - cpuBefore;
    return s;
}

void report(const QString &what, const Sample &s)
{
    out() << QStringLiteral("%1 %2 %3 %4")
                 .arg(what, -40)
                 .arg(s.wall, 8, 'f', 3)
                 .arg(s.cpu, 8, 'f', 3)
                 .arg(s.wall > 0 ? 100.0 * s.cpu / s.wall : 0.0, 7, 'f', 2)
          << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool inProcess = app.arguments().contains(QStringLiteral("--in-process"));

    QTemporaryDir dir;
    DeviceProcess deviceProcess(dir.filePath(QStringLiteral("device.log")));
    DeviceSimulator inProcessDevice;
    QString path;
    if (inProcess) {
        if (inProcessDevice.start())
            path = inProcessDevice.slavePath();
    } else {
        path = deviceProcess.start();
    }
    if (path.isEmpty()) {
        fprintf(stderr, "cannot start the simulated device\n");
        return 1;
    }

    SerialUpdata window;
    window.show();
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("comboBox_COM"));
    auto *bauds = window.findChild<QComboBox *>(QStringLiteral("comboBox_Bps"));
    auto *open = window.findChild<QPushButton *>(QStringLiteral("pBtn_open"));
    auto *pane = window.findChild<QPlainTextEdit *>(QStringLiteral("txt_Message"));
    if (!ports || !bauds || !open || !pane) {
        fprintf(stderr, "window widgets not found\n");
        return 1;
    }
    QApplication::processEvents();

    out() << "platform: " << QApplication::platformName() << ", device on " << path << " ("
          << (inProcess ? QStringLiteral("in this process: its CPU time is counted below")
                        : QStringLiteral("separate process %1: its CPU time is not counted")
                              .arg(deviceProcess.pid()))
          << ")" << Qt::endl;
    out() << QStringLiteral("%1 %2 %3 %4")
                 .arg(QStringLiteral("what"), -40)
                 .arg(QStringLiteral("wall s"), 8)
                 .arg(QStringLiteral("cpu s"), 8)
                 .arg(QStringLiteral("cpu %"), 7)
          << Qt::endl;

    report(QStringLiteral("delay(10000)"), measure([&window] {
               QMetaObject::invokeMethod(&window, "delay", Qt::DirectConnection, Q_ARG(int, 10000));
           }));

    ports->addItem(path);
    ports->setCurrentIndex(ports->count() - 1);
    bauds->setCurrentIndex(bauds->findText(QStringLiteral("115200")));
    const Sample handshake = measure([open] { open->click(); });
    const QString outcome = pane->toPlainText().section(QLatin1Char('\n'), -1).mid(19);
    report(QStringLiteral("115200 handshake (%1)").arg(outcome), handshake);
    if (open->text() != QLatin1String("Connect"))
        open->click(); // disconnect
    return 0;
}
