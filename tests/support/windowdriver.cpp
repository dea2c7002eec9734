#include "windowdriver.h"

#include "steadyclock.h"
#include "testimage.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTest>
#include <QTextBlock>

QMenuBar *WindowDriver::menuBar() const
{
    return w.QMainWindow::menuBar();
}

QMenu *WindowDriver::optionsMenu() const
{
    const auto actions = w.QMainWindow::menuBar()->actions();
    return actions.isEmpty() ? nullptr : actions.first()->menu();
}

QMenu *WindowDriver::languageMenu() const
{
    QMenu *options = optionsMenu();
    if (!options || options->actions().isEmpty())
        return nullptr;
    return options->actions().first()->menu();
}

void WindowDriver::usePort(const QString &path)
{
    ports()->addItem(path);
    ports()->setCurrentIndex(ports()->count() - 1);
}

void WindowDriver::chooseBaud(const QString &text)
{
    bauds()->setCurrentIndex(bauds()->findText(text));
}

QStringList WindowDriver::paneLines() const
{
    QStringList lines;
    const QTextDocument *doc = pane()->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        lines << b.text();
    if (lines.size() == 1 && lines.first().isEmpty())
        lines.clear();
    return lines;
}

QStringList WindowDriver::newLines(int before) const
{
    return paneLines().mid(before);
}

bool WindowDriver::clickWithModal(QPushButton *button,
                                  const std::function<void(QWidget *)> &onModal)
{
    // The poll runs for as long as the click's slot runs. A modal widget that is still up a while
    // after it was handled is handled again: a file dialog may refuse its first accept while its
    // model is still loading the directory.
    bool seen = false;
    QWidget *handled = nullptr;
    qint64 handledAtNs = 0;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || (modal == handled && steadyclock::nowNs() - handledAtNs < 300000000))
            return;
        seen = true;
        handled = modal;
        handledAtNs = steadyclock::nowNs();
        onModal(modal);
    });
    poll.start();
    button->click();
    poll.stop();
    return seen;
}

WindowDriver::DialogSeen WindowDriver::browse(const QString &path)
{
    DialogSeen seen;
    clickWithModal(browseButton(), [&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        seen.shown = true;
        seen.caption = dialog->windowTitle();
        seen.filters = dialog->nameFilters();
        seen.directory = dialog->directory().absolutePath();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        // An absolute path typed into the name field is taken as it is, whatever directory
        // the dialog is still loading.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (name)
            name->setText(path);
        else
            dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    return seen;
}

void WindowDriver::invoke(const char *slot) const
{
    QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection);
}

void WindowDriver::raisePortError(QSerialPort::SerialPortError error) const
{
    QMetaObject::invokeMethod(&w, "SerialError", Qt::DirectConnection,
                              Q_ARG(QSerialPort::SerialPortError, error));
}

void WindowDriver::connect(const QString &path, const QString &baud)
{
    usePort(path);
    chooseBaud(baud);
    openButton()->click();
}

void WindowDriver::chooseLanguageByKeyboard(int entry)
{
    QMenuBar *bar = menuBar();
    QTest::mouseClick(bar, Qt::LeftButton, {},
                      bar->actionGeometry(bar->actions().first()).center());
    const auto key = [](Qt::Key k) {
        if (QWidget *popup = QApplication::activePopupWidget())
            QTest::keyClick(popup, k);
    };
    key(Qt::Key_Down);
    key(Qt::Key_Right);
    for (int i = 0; i < entry; ++i)
        key(Qt::Key_Down);
    key(Qt::Key_Return);
    // A menu that ignored the choice is still up; close it so the test goes on.
    while (QWidget *popup = QApplication::activePopupWidget())
        popup->close();
}

PortWatcher::PortWatcher()
{
    QCoreApplication::instance()->installEventFilter(this);
}

PortWatcher::~PortWatcher()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

bool PortWatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ChildAdded) {
        if (auto *port = qobject_cast<QSerialPort *>(watched))
            m_latest = port;
    }
    return false;
}

QString stampOf(const QString &line)
{
    static const QRegularExpression re(
        QStringLiteral("^(\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2})"));
    const auto m = re.match(line);
    return m.hasMatch() ? m.captured(1) : QString();
}

QString textOf(const QString &line)
{
    const QString stamp = stampOf(line);
    return stamp.isEmpty() ? line : line.mid(stamp.size());
}

QString writeImage(const QString &dir, const QString &fileName, const QByteArray &name,
                   int payloadSize, quint32 seed)
{
    const QString path = dir + QLatin1Char('/') + fileName;
    return testimage::write(path, testimage::image(name, payloadSize, seed)) ? path : QString();
}

QByteArray imagePayload(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll().mid(16);
}

QByteArray paddedPayload(const QByteArray &payload)
{
    QByteArray padded = payload;
    if (padded.size() % 128)
        padded.append(QByteArray(128 - padded.size() % 128, 0x1A));
    return padded;
}
