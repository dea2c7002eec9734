#include "serialupdata.h"
#include "linklog.h"
#include "windowdriver.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QScopeGuard>
#include <QSerialPortInfo>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

int qInitResources_pelmar();
int qCleanupResources_pelmar();

namespace {

enum Language { Chinese, English, German, Japanese };

struct Texts
{
    QString title, option, language;
    QMap<QString, QString> form; // object name -> text
};

Texts textsFor(Language lang)
{
    // Columns: Chinese source, English, German, Japanese.
    static const char *const rows[][5] = {
        {"groupBox_Connect", "连接信息", "Connection Information", "Verbindung-Information",
         "接続情報"},
        {"label", "串口名称", "Serial Port Name", "Serielle Schnittstelle", "シリアルポート名"},
        {"label_2", "波特率", "Baud Rate", "Baudrate", "ボーレート"},
        {"pBtn_open", "连接", "Connect", "Verbinden", "接続"},
        {"groupBox_Upgd", "升级信息", "Update Information", "Update-Information", "更新情報"},
        {"label_9", "进度（升级期间请勿断开串口线）",
         "Progress (DO NOT Disconnect the Serial Cable While Updating)",
         "Fortschritt (Trennen Sie das serielle Kabel während der update NICHT)",
         "進行状況（更新中はシリアルケーブルを取り外さないでください）"},
        {"groupBox_file", "固件信息", "Firmware Information", "Firmware-Information",
         "ファームウェア情報"},
        {"label_3", "固件路径", "Firmware Path", "Firmware-Pfad", "ファームウェアパス"},
        {"pBtn_glance", "浏览", "Browse", "Durchsuchen", "ブラウズ"},
        {"label_4", "数据包", "Data Package", "Datenpaket", "データパッケージ"},
        {"label_5", "错误检测", "Error Check", "Fehler prüfen", "エラーチェック"},
        {"pBtn_UpGrade", "升级", "Update", "Update", "更新"},
        {"@title", "Pelmar固件升级工具", "Pelmar Firmware Update Tool",
         "Pelmar Firmware Update Tool", "Pelmarファームウェア アップデート ツール"},
        {"@option", "选项", "Option", "Option", "オプション"},
        {"@language", "语言", "Language", "Sprache", "言語"},
    };
    Texts t;
    for (const auto &row : rows) {
        const QString key = QString::fromUtf8(row[0]);
        const QString text = QString::fromUtf8(row[1 + lang]);
        if (key == QLatin1String("@title"))
            t.title = text;
        else if (key == QLatin1String("@option"))
            t.option = text;
        else if (key == QLatin1String("@language"))
            t.language = text;
        else
            t.form.insert(key, text);
    }
    return t;
}

QString widgetText(SerialUpdata &w, const QString &name)
{
    QObject *o = w.findChild<QObject *>(name);
    if (auto *g = qobject_cast<QGroupBox *>(o))
        return g->title();
    if (auto *l = qobject_cast<QLabel *>(o))
        return l->text();
    if (auto *b = qobject_cast<QAbstractButton *>(o))
        return b->text();
    return QStringLiteral("<missing %1>").arg(name);
}

void switchTo(WindowDriver &d, Language lang)
{
    d.languageMenu()->actions().at(lang)->trigger();
}

void verifyTexts(SerialUpdata &w, WindowDriver &d, Language lang)
{
    const Texts t = textsFor(lang);
    for (auto it = t.form.cbegin(); it != t.form.cend(); ++it)
        QCOMPARE(widgetText(w, it.key()), it.value());
    QCOMPARE(w.windowTitle(), t.title);
    QCOMPARE(d.optionsMenu()->title(), t.option);
    QCOMPARE(d.languageMenu()->title(), t.language);
    QStringList actions;
    for (QAction *a : d.languageMenu()->actions())
        actions << a->text();
    QCOMPARE(actions, QStringList({QStringLiteral("简体中文"), QStringLiteral("English"),
                                   QStringLiteral("Deutsche"), QStringLiteral("日本語")}));
    QCOMPARE(d.bauds()->count(), 2);
    QCOMPARE(d.bauds()->itemText(0), QStringLiteral("9600"));
    QCOMPARE(d.bauds()->itemText(1), QStringLiteral("115200"));
}

bool callDelay(SerialUpdata &w, int ms)
{
    return QMetaObject::invokeMethod(&w, "delay", Qt::DirectConnection, Q_ARG(int, ms));
}

QColor centreColour(QWidget *widget)
{
    const QImage image = widget->grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() - 4);
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void startUpState();
    void geometryKeptOnResize_data();
    void geometryKeptOnResize();
    void languageSwitch_data();
    void languageSwitch();
    void slotTable();
    void fandata_data();
    void fandata();
    void delayLastsAtLeast_data();
    void delayLastsAtLeast();
    void delayHandlesEventsAndNests();
    void delayNonPositive_data();
    void delayNonPositive();
    void styleSheetApplied();
    void missingStyleSheetLeavesWindowUnstyled();
};

void TestWindow::startUpState()
{
    SerialUpdata w;
    WindowDriver d(w);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QCOMPARE(w.windowTitle(), QStringLiteral("Pelmar Firmware Update Tool"));
    verifyTexts(w, d, English);
    QCOMPARE(d.bauds()->currentText(), QStringLiteral("9600"));
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!d.browseButton()->isEnabled());
    QVERIFY(!d.updateButton()->isEnabled());
    QVERIFY(d.openButton()->isEnabled());
    QVERIFY(!d.bar()->isEnabled());
    QCOMPARE(d.bar()->value(), 0);
    QVERIFY(d.bar()->isTextVisible());
    QVERIFY(d.pane()->isEnabled());
    QVERIFY(d.pane()->isReadOnly());
    QVERIFY(!d.route()->isEnabled());
    QVERIFY(!d.route()->tabChangesFocus());
    QVERIFY(!d.find<QLineEdit>("lineEdit_Data")->isEnabled());
    QVERIFY(!d.find<QLineEdit>("lineEdit_Reeor")->isEnabled());
    QVERIFY(d.paneLines().isEmpty());

    // The menu bar holds the one Option menu; the form's own empty bar was replaced.
    QCOMPARE(d.menuBar()->actions().size(), 1);
    QVERIFY(d.optionsMenu()->isEnabled());
    QVERIFY(d.optionsMenu()->parent() == nullptr);
    QVERIFY(d.languageMenu()->parent() == nullptr);
    QVERIFY(d.menuBar()->parent() == &w);

    // The port list holds exactly what the system lists, in its order.
    QStringList expected;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    QStringList listed;
    for (int i = 0; i < d.ports()->count(); ++i)
        listed << d.ports()->itemText(i);
    QCOMPARE(listed, expected);
}

void TestWindow::geometryKeptOnResize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("groupBox_Connect") << "groupBox_Connect" << QRect(20, 10, 501, 81);
    QTest::newRow("comboBox_COM") << "comboBox_COM" << QRect(30, 50, 111, 20);
    QTest::newRow("label") << "label" << QRect(30, 21, 181, 21);
    QTest::newRow("label_2") << "label_2" << QRect(240, 21, 161, 21);
    QTest::newRow("comboBox_Bps") << "comboBox_Bps" << QRect(240, 50, 111, 20);
    QTest::newRow("pBtn_open") << "pBtn_open" << QRect(400, 50, 75, 23);
    QTest::newRow("groupBox_Upgd") << "groupBox_Upgd" << QRect(20, 260, 501, 321);
    QTest::newRow("label_9") << "label_9" << QRect(30, 15, 441, 21);
    QTest::newRow("pgBar") << "pgBar" << QRect(30, 40, 451, 23);
    QTest::newRow("txt_Message") << "txt_Message" << QRect(30, 80, 421, 211);
    QTest::newRow("groupBox_file") << "groupBox_file" << QRect(20, 100, 501, 151);
    QTest::newRow("label_3") << "label_3" << QRect(30, 20, 161, 16);
    QTest::newRow("txt_Route") << "txt_Route" << QRect(30, 40, 351, 51);
    QTest::newRow("pBtn_glance") << "pBtn_glance" << QRect(400, 50, 75, 23);
    QTest::newRow("label_4") << "label_4" << QRect(40, 100, 131, 16);
    QTest::newRow("label_5") << "label_5" << QRect(230, 100, 121, 16);
    QTest::newRow("lineEdit_Data") << "lineEdit_Data" << QRect(40, 120, 113, 20);
    QTest::newRow("lineEdit_Reeor") << "lineEdit_Reeor" << QRect(230, 120, 113, 20);
    QTest::newRow("pBtn_UpGrade") << "pBtn_UpGrade" << QRect(394, 120, 81, 23);
}

void TestWindow::geometryKeptOnResize()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    SerialUpdata w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget *widget = w.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), geometry);
    for (const QSize size : {QSize(900, 800), QSize(300, 200), QSize(538, 632)}) {
        w.resize(size);
        QCoreApplication::processEvents();
        QCOMPARE(widget->geometry(), geometry);
    }
}

void TestWindow::languageSwitch_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    const char *names[] = {"Chinese", "English", "German", "Japanese"};
    for (int from = Chinese; from <= Japanese; ++from)
        for (int to = Chinese; to <= Japanese; ++to)
            QTest::addRow("%s to %s", names[from], names[to]) << from << to;
}

void TestWindow::languageSwitch()
{
    QFETCH(int, from);
    QFETCH(int, to);
    SerialUpdata w;
    WindowDriver d(w);
    w.show();

    switchTo(d, Language(from));
    verifyTexts(w, d, Language(from));

    // State the switch must reset (baud list, connect label) or leave alone (the pane).
    d.chooseBaud(QStringLiteral("115200"));
    d.openButton()->setText(QStringLiteral("something else"));
    d.pane()->appendPlainText(QStringLiteral("2026.01.02 03:04:05->a line already written"));

    switchTo(d, Language(to));
    verifyTexts(w, d, Language(to));
    QCOMPARE(d.bauds()->currentText(), QStringLiteral("9600"));
    QCOMPARE(d.bauds()->currentIndex(), 0);
    QCOMPARE(d.paneLines(),
             QStringList{QStringLiteral("2026.01.02 03:04:05->a line already written")});
    QVERIFY(!d.updateButton()->isEnabled());
    QVERIFY(!d.browseButton()->isEnabled());
}

void TestWindow::slotTable()
{
    const QMetaObject &mo = SerialUpdata::staticMetaObject;
    const QStringList expected = {
        QStringLiteral("setChianse()"),
        QStringLiteral("setEnglish()"),
        QStringLiteral("setGermany()"),
        QStringLiteral("setJapan()"),
        QStringLiteral("on_pBtn_glance_clicked()"),
        QStringLiteral("on_pBtn_open_clicked()"),
        QStringLiteral("recv_data()"),
        QStringLiteral("Send_data(QString)"),
        QStringLiteral("on_pBtn_UpGrade_clicked()"),
        QStringLiteral("fandata(int)"),
        QStringLiteral("delay(int)"),
        QStringLiteral("SerialError(QSerialPort::SerialPortError)"),
    };
    QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(QString::fromLatin1(m.methodSignature()), expected.at(i));
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), i < 4 ? QMetaMethod::Public : QMetaMethod::Private);
    }
    QCOMPARE(mo.method(mo.methodOffset() + 9).returnType(), int(QMetaType::Int));
}

void TestWindow::fandata_data()
{
    QTest::addColumn<int>("num");
    QTest::addColumn<int>("result");
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("1") << 1 << 0;
    QTest::newRow("2") << 2 << 1;
    QTest::newRow("3") << 3 << 0;
    QTest::newRow("4") << 4 << 3;
    QTest::newRow("5") << 5 << 2;
    QTest::newRow("8") << 8 << 7;
    QTest::newRow("100") << 100 << 27;
    QTest::newRow("-5") << -5 << 5;
    QTest::newRow("2^30") << (1 << 30) << (1 << 30) - 1;
    QTest::newRow("INT_MAX") << INT_MAX << 0;
    QTest::newRow("-INT_MAX") << -INT_MAX << INT_MAX;
    // -INT_MIN does not fit: clamped rather than overflowed.
    QTest::newRow("INT_MIN") << INT_MIN << INT_MAX;
}

void TestWindow::fandata()
{
    QFETCH(int, num);
    QFETCH(int, result);
    SerialUpdata w;
    int got = -1;
    QVERIFY(QMetaObject::invokeMethod(&w, "fandata", Qt::DirectConnection, Q_RETURN_ARG(int, got),
                                      Q_ARG(int, num)));
    QCOMPARE(got, result);
}

void TestWindow::styleSheetApplied()
{
    QFile f(QStringLiteral(":/style.qss"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString sheet = QString::fromLatin1(f.readAll());

    SerialUpdata w;
    WindowDriver d(w);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.styleSheet(), sheet);

    // What the user sees: a disabled button is pale blue-grey, an enabled one white, the
    // window grey and the message pane light blue.
    QCOMPARE(centreColour(d.updateButton()), QColor(225, 239, 239));
    QCOMPARE(centreColour(d.openButton()), QColor(255, 255, 255));
    QCOMPARE(centreColour(d.find<QLabel>("label_9")), QColor(223, 223, 223));
    const QImage pane = d.pane()->grab().toImage();
    QCOMPARE(pane.pixelColor(pane.width() / 2, pane.height() / 2), QColor(225, 229, 239));

    d.updateButton()->setEnabled(true);
    QCOMPARE(centreColour(d.updateButton()), QColor(255, 255, 255));

    // A language switch leaves the look alone.
    switchTo(d, Japanese);
    QCOMPARE(w.styleSheet(), sheet);
}

void TestWindow::missingStyleSheetLeavesWindowUnstyled()
{
    qCleanupResources_pelmar();
    QVERIFY(!QFile::exists(QStringLiteral(":/style.qss")));
    // The note goes to the diagnostic category, which stays off unless switched on.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QVERIFY(!lcLink().isDebugEnabled());
    QLoggingCategory::setFilterRules(QStringLiteral("pelmar.link.debug=true"));
    const auto rulesBack = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    QTest::ignoreMessage(QtDebugMsg, "Open failed");
    {
        SerialUpdata w;
        WindowDriver d(w);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.styleSheet().isEmpty());
        // Without catalogues the texts stay in their source form; the fixed title is set anyway.
        QCOMPARE(w.windowTitle(), QStringLiteral("Pelmar Firmware Update Tool"));
        QCOMPARE(d.openButton()->text(), QStringLiteral("连接"));
    }
    qInitResources_pelmar();
    QVERIFY(QFile::exists(QStringLiteral(":/style.qss")));
}

// The window's waits on the real clock: never shorter than asked, whatever Qt's timers round to.
void TestWindow::delayLastsAtLeast_data()
{
    QTest::addColumn<int>("ms");
    QTest::newRow("1 ms") << 1;
    QTest::newRow("30 ms") << 30;
    QTest::newRow("300 ms") << 300;
}

void TestWindow::delayLastsAtLeast()
{
    QFETCH(int, ms);
    SerialUpdata w;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(callDelay(w, ms));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= ms && elapsed < ms + 2000, qPrintable(QString::number(elapsed)));
}

void TestWindow::delayHandlesEventsAndNests()
{
    SerialUpdata w;
    QElapsedTimer clock;
    clock.start();
    qint64 innerStart = -1;
    qint64 innerEnd = -1;
    bool posted = false;
    QMetaObject::invokeMethod(
        &w, [&posted] { posted = true; }, Qt::QueuedConnection);
    QTimer::singleShot(20, &w, [&] {
        innerStart = clock.elapsed();
        callDelay(w, 200);
        innerEnd = clock.elapsed();
    });

    QVERIFY(callDelay(w, 50));

    const qint64 outerEnd = clock.elapsed();
    QVERIFY(posted);
    QVERIFY(innerStart >= 0);
    QVERIFY(innerEnd - innerStart >= 200);
    // The outer wait cannot return from under the nested one.
    QVERIFY(outerEnd >= innerEnd);
}

void TestWindow::delayNonPositive_data()
{
    QTest::addColumn<int>("ms");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("-1000") << -1000;
}

void TestWindow::delayNonPositive()
{
    QFETCH(int, ms);
    SerialUpdata w;
    bool posted = false;
    QMetaObject::invokeMethod(
        &w, [&posted] { posted = true; }, Qt::QueuedConnection);

    QVERIFY(callDelay(w, ms));

    QVERIFY(!posted);
    QTRY_VERIFY(posted); // the event was there to be handled
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
