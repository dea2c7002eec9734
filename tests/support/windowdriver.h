#pragma once

#include "serialupdata.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <functional>

class QMenu;
class QMenuBar;

// Reaches the window's widgets through the object tree, as a user would see them, and drives
// the clicks that open modal boxes and dialogs.
class WindowDriver
{
public:
    explicit WindowDriver(SerialUpdata &window) : w(window) {}

    template <class T> T *find(const char *name) const
    {
        T *child = w.findChild<T *>(QString::fromLatin1(name));
        Q_ASSERT_X(child, "WindowDriver::find", name);
        return child;
    }

    QComboBox *ports() const { return find<QComboBox>("comboBox_COM"); }
    QComboBox *bauds() const { return find<QComboBox>("comboBox_Bps"); }
    QPushButton *openButton() const { return find<QPushButton>("pBtn_open"); }
    QPushButton *browseButton() const { return find<QPushButton>("pBtn_glance"); }
    QPushButton *updateButton() const { return find<QPushButton>("pBtn_UpGrade"); }
    QPlainTextEdit *pane() const { return find<QPlainTextEdit>("txt_Message"); }
    QPlainTextEdit *route() const { return find<QPlainTextEdit>("txt_Route"); }
    QProgressBar *bar() const { return find<QProgressBar>("pgBar"); }
    QLineEdit *packets() const { return find<QLineEdit>("lineEdit_Data"); }
    QMenuBar *menuBar() const;
    QMenu *optionsMenu() const;
    QMenu *languageMenu() const;

    // Adds the port at the end of the list (ptys are not listed by the system) and selects it.
    void usePort(const QString &path);
    void chooseBaud(const QString &text);

    // Paragraphs of the message pane. Identity lines keep the CR the device sent.
    QStringList paneLines() const;
    // Lines added since `before` lines were there.
    QStringList newLines(int before) const;

    // Clicks a button whose slot opens a modal box or dialog: `onModal` is given the modal
    // widget as soon as it shows and must close it. Returns whether a modal widget was seen.
    bool clickWithModal(QPushButton *button, const std::function<void(QWidget *)> &onModal);
    // Browses to `path` (empty: cancels the dialog); returns the dialog's caption and filters.
    struct DialogSeen
    {
        bool shown = false;
        QString caption;
        QStringList filters;
        QString directory;
    };
    DialogSeen browse(const QString &path);

    // Invokes one of the window's slots through the meta-object system, as a signal would.
    void invoke(const char *slot) const;
    void raisePortError(QSerialPort::SerialPortError error) const;

    void connect(const QString &path, const QString &baud);

    // Opens Option with a click on the menu bar, then picks language `entry` (0 Chinese to 3
    // Japanese) with the keyboard, as a user would: Down, Right, Down x entry, Return.
    void chooseLanguageByKeyboard(int entry);

    SerialUpdata &w;
};

// Notes each serial port as it opens (its read notifier becomes its child): the window's ports
// have no parent, so the object tree does not reach them.
class PortWatcher : public QObject
{
public:
    PortWatcher();
    ~PortWatcher() override;
    QSerialPort *latest() const { return m_latest; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QSerialPort> m_latest;
};

// "yyyy.MM.dd hh:mm:ss" at the start of a pane line; returns the stamp or an empty string.
QString stampOf(const QString &line);
// The pane line without its time stamp.
QString textOf(const QString &line);
// Writes testimage::image(name, payloadSize, seed) to dir/fileName; its path, empty if it failed.
QString writeImage(const QString &dir, const QString &fileName, const QByteArray &name,
                   int payloadSize, quint32 seed = 1);
QByteArray imagePayload(const QString &path);
// The image payload padded with 0x1A to whole 128-byte blocks, as the device stores it.
QByteArray paddedPayload(const QByteArray &payload);
