#include "board.h"
#include "terminal.h"
#include "printers.h"

#include <QtTest>

// The station's board at ordinary and narrow widths, and which terminals get a redrawn display.
class TestBoard : public QObject
{
    Q_OBJECT

private slots:
    void rowFits_data();
    void rowFits();
    void style_data();
    void style();
};

namespace {

const QString kByPath = QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0");

} // namespace

void TestBoard::rowFits_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("colour"); // on and off, one character each
    QTest::addColumn<QStringList>("lines");

    const QString pass = QStringLiteral("PASS SN0001 V1.1.0");
    QTest::newRow("80 columns, a by-path name: its end and the whole state")
        << 80 << kByPath << pass << QByteArray()
        << QStringList{QStringLiteral("…000:00:14.0-usb-0:1.1:1.0-port0  PASS SN0001 V1.1.0     "
                                      "         pass 1 fail 0")};
    QTest::newRow("a short name is whole")
        << 50 << QStringLiteral("/dev/pts/3") << QStringLiteral("43 % 12 s left") << QByteArray()
        << QStringList{QStringLiteral("/dev/pts/3  43 % 12 s left          pass 1 fail 0")};
    QTest::newRow("60 columns: a long state is cut")
        << 60 << kByPath << QStringLiteral("FAIL the device refused frame 12 (NAK)") << QByteArray()
        << QStringList{
               QStringLiteral("…0:1.1:1.0-port0  FAIL the device refused f…  pass 1 fail 0")};
    QTest::newRow("40 columns: the name, then the state")
        << 40 << kByPath << pass << QByteArray()
        << QStringList{QStringLiteral("…h/pci-0000:00:14.0-usb-0:1.1:1.0-port0"),
                       QStringLiteral("  PASS SN0001 V1.1.0      pass 1 fail 0")};
    QTest::newRow("16 columns: the counts alone")
        << 16 << kByPath << pass << QByteArray()
        << QStringList{QStringLiteral("…:1.1:1.0-port0"), QStringLiteral("  pass 1 fail 0")};
    QTest::newRow("colour around the state only")
        << 50 << QStringLiteral("/dev/pts/3") << QStringLiteral("PASS") << QByteArray("<>")
        << QStringList{QStringLiteral("/dev/pts/3  <PASS                  >  pass 1 fail 0")};
}

void TestBoard::rowFits()
{
    QFETCH(int, width);
    QFETCH(QString, name);
    QFETCH(QString, state);
    QFETCH(QByteArray, colour);
    QFETCH(QStringList, lines);
    const QString counts = QStringLiteral("pass 1 fail 0");
    const flash::BoardLayout layout = flash::boardLayout(width, name.size(), counts.size());
    const QStringList row =
        flash::boardRow(layout, name, state, counts, colour.left(1), colour.mid(1));
    QCOMPARE(row, lines);
    // Narrower than the terminal: a row that wrapped would throw the next redraw off.
    for (QString line : row)
        QVERIFY(line.remove(QLatin1Char('<')).remove(QLatin1Char('>')).size() < width);
}

void TestBoard::style_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QByteArray>("term");
    QTest::addColumn<QByteArray>("noColour");
    QTest::addColumn<int>("style");
    QTest::addColumn<bool>("colour");

    const int board = int(flash::PrinterStyle::Board);
    const int plain = int(flash::PrinterStyle::Plain);
    QTest::newRow("a terminal") << false << true << QByteArray("xterm-256color") << QByteArray()
                                << board << true;
    QTest::newRow("NO_COLOR: the board without colour")
        << false << true << QByteArray("xterm") << QByteArray("1") << board << false;
    QTest::newRow("a dumb terminal: plain lines")
        << false << true << QByteArray("dumb") << QByteArray() << plain << false;
    QTest::newRow("TERM unset: plain lines")
        << false << true << QByteArray() << QByteArray() << plain << false;
    QTest::newRow("not a terminal")
        << false << false << QByteArray("xterm") << QByteArray() << plain << false;
    QTest::newRow("--json on a terminal") << true << true << QByteArray("xterm") << QByteArray()
                                          << int(flash::PrinterStyle::Json) << true;
}

void TestBoard::style()
{
    QFETCH(bool, json);
    QFETCH(bool, terminal);
    QFETCH(QByteArray, term);
    QFETCH(QByteArray, noColour);
    QFETCH(int, style);
    QFETCH(bool, colour);
    QCOMPARE(int(flash::printerStyle(json, true, terminal, term)), style);
    QCOMPARE(flash::colourWanted(terminal, term, noColour), colour);
    // The plain run's live lines follow the same rule.
    QCOMPARE(flash::printerStyle(json, false, terminal, term) == flash::PrinterStyle::Live,
             style == int(flash::PrinterStyle::Board));
}

QTEST_GUILESS_MAIN(TestBoard)
#include "tst_board.moc"
