#include "frame.h"
#include "identity.h"
#include "namecheck.h"

#include <QtTest>

#include <cstddef>

namespace {

// Byte literals keep their embedded NULs.
template <std::size_t N> QByteArray bytes(const char (&s)[N])
{
    return QByteArray(s, int(N - 1));
}

QByteArray pad(const QByteArray &head, int size, char fill)
{
    return head + QByteArray(size - head.size(), fill);
}

QByteArray block(const QByteArray &head, char fill = '\0')
{
    return pad(head, 128, fill);
}

// Bytes from, from + 1, ... wrapping at 256: every position differs from its neighbours, so a
// frame taken at a wrong offset shows.
QByteArray counting(int from, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char((from + i) & 0xFF));
    return out;
}

QByteArray expectedFrame(int blockNumber, int complement, const QByteArray &data, int checksum)
{
    return QByteArray(1, '\x01') + char(blockNumber) + char(complement) + data + char(checksum);
}

const QByteArray kField = pad("PM-100", 16, ' ');

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void identity_data();
    void identity();
    void checksum_data();
    void checksum();
    void frameBytes_data();
    void frameBytes();
    void nameField_data();
    void nameField();
    void nameFieldShown_data();
    void nameFieldShown();
    void nameCheck_data();
    void nameCheck();
};

void TestProtocol::identity_data()
{
    QTest::addColumn<QByteArray>("batch");
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("productName");
    QTest::addColumn<bool>("nameFound");

    const QStringList nsv = {"N:", "S:", "V:"};

    QTest::newRow("full reply, CR LF lines")
        << bytes("info\r\nPRODUCT:PM-100\r\nPRODUCT SN:A1B2C3\r\nSW VERSION:2.0.1\r\n") << nsv
        << QStringLiteral("\r\nN:PM-100\r\nS:A1B2C3\r\nV:2.0.1") << QStringLiteral("PM-100\r")
        << true;
    QTest::newRow("version line before serial line")
        << bytes("x\r\nSW VERSION:2\r\nPRODUCT SN:9\r\n") << nsv
        << QStringLiteral("\r\nN:9\r\nS:9\r\nV:2") << QStringLiteral("9\r") << true;
    QTest::newRow("marker at position 1 is found")
        << bytes("\nPRODUCT:A\n") << nsv << QStringLiteral("\r\nN:A") << QStringLiteral("A")
        << true;
    QTest::newRow("product marker at first character, serial follows")
        << bytes("PRODUCT:IGNORED\r\nPRODUCT SN:123\r\n") << nsv
        << QStringLiteral("\r\nN:123\r\nS:123") << QStringLiteral("123\r") << true;
    QTest::newRow("product marker at first character alone")
        << bytes("PRODUCT:ONLY\r\n") << nsv << QStringLiteral("\r\n") << QString() << false;
    QTest::newRow("serial marker at first character")
        << bytes("PRODUCT SN:1\r\n") << nsv << QStringLiteral("\r\n") << QString() << false;
    QTest::newRow("version marker at first character")
        << bytes("SW VERSION:1.0\r\n") << nsv << QStringLiteral("\r\n") << QString() << false;
    QTest::newRow("name line after serial line")
        << bytes("x\r\nPRODUCT SN:77\r\nPRODUCT:PM\r\n") << nsv
        << QStringLiteral("\r\nN:77\r\nS:77") << QStringLiteral("77\r") << true;
    QTest::newRow("product marker without LF")
        << bytes("xPRODUCT:ABC\r") << nsv << QStringLiteral("\r\nN:") << QString() << true;
    QTest::newRow("serial ends with bare LF")
        << bytes("xPRODUCT SN:42\n") << nsv << QStringLiteral("\r\nN:42\nS:")
        << QStringLiteral("42") << true;
    QTest::newRow("serial without line end")
        << bytes("xPRODUCT:A\r\nPRODUCT SN:42") << nsv << QStringLiteral("\r\nN:A\r\nS:")
        << QStringLiteral("A\r") << true;
    QTest::newRow("version ends with bare CR")
        << bytes("xSW VERSION:1.0\r") << nsv << QStringLiteral("\r\n\r\nV:") << QString() << false;
    QTest::newRow("NUL before version line")
        << bytes("xPRODUCT:AB\r\n\0SW VERSION:1\r\n") << nsv << QStringLiteral("\r\nN:AB\r")
        << QStringLiteral("AB\r") << true;
    QTest::newRow("NUL inside name hides the LF")
        << bytes("xPRODUCT:A\0B\n") << nsv << QStringLiteral("\r\nN:") << QString() << true;
    QTest::newRow("NUL first") << bytes("\0xPRODUCT:A\n") << nsv << QStringLiteral("\r\n")
                               << QString() << false;
    QTest::newRow("single NAK byte")
        << bytes("\x15") << nsv << QStringLiteral("\r\n") << QString() << false;
    QTest::newRow("no markers") << bytes("hello\r\nworld\r\n") << nsv << QStringLiteral("\r\n")
                                << QString() << false;
    QTest::newRow("markers are case-sensitive")
        << bytes("xproduct:pm\r\nproduct sn:1\r\nsw version:1\r\n") << nsv << QStringLiteral("\r\n")
        << QString() << false;
    QTest::newRow("product marker without colon")
        << bytes("xPRODUCT ABC\n") << nsv << QStringLiteral("\r\nN:") << QString() << true;
    QTest::newRow("serial marker without colon")
        << bytes("xPRODUCT SN 42\r\n") << nsv << QStringLiteral("\r\nN:\nS:") << QString() << true;
    QTest::newRow("version marker without colon")
        << bytes("xSW VERSION 1.0\r\n") << nsv << QStringLiteral("\r\n\r\nV:") << QString()
        << false;
    QTest::newRow("name colon after the LF")
        << bytes("xPRODUCT ABC\nSN:42\n") << nsv << QStringLiteral("\r\nN:") << QString() << true;
    QTest::newRow("version colon after the CR LF")
        << bytes("xSW VERSION 1\r\nnote:x\r\n") << nsv << QStringLiteral("\r\n\r\nV:") << QString()
        << false;
    QTest::newRow("colon before the marker is not used")
        << bytes("id:PRODUCT:ABC\n") << nsv << QStringLiteral("\r\nN:ABC") << QStringLiteral("ABC")
        << true;
    QTest::newRow("value keeps later colons and spaces")
        << bytes("xPRODUCT: A:B\n") << nsv << QStringLiteral("\r\nN: A:B") << QStringLiteral(" A:B")
        << true;
    QTest::newRow("Chinese labels")
        << bytes("x\r\nPRODUCT:PM\r\nPRODUCT SN:1\r\nSW VERSION:2\r\n")
        << QStringList{QStringLiteral(u"设备名称:"), QStringLiteral(u"设备序列号:"),
                       QStringLiteral(u"固件版本:")}
        << QStringLiteral(u"\r\n设备名称:PM\r\n设备序列号:1\r\n固件版本:2")
        << QStringLiteral("PM\r") << true;
    QTest::newRow("Japanese labels")
        << bytes("x\r\nPRODUCT:PM\r\nSW VERSION:2\r\n")
        << QStringList{QStringLiteral(u"製品名:"), QStringLiteral(u"シリアル:"),
                       QStringLiteral(u"版:")}
        << QStringLiteral(u"\r\n製品名:PM\r\r\n版:2") << QStringLiteral("PM\r") << true;
    QTest::newRow("UTF-8 multibyte name")
        << bytes("xPRODUCT:Ger\xC3\xA4t \xE2\x84\xA6\xF0\x9F\x98\x80\r\nPRODUCT SN:9\r\n") << nsv
        << QStringLiteral(u"\r\nN:Ger\u00E4t \u2126\U0001F600\r\nS:9")
        << QStringLiteral(u"Ger\u00E4t \u2126\U0001F600\r") << true;
}

void TestProtocol::identity()
{
    QFETCH(QByteArray, batch);
    QFETCH(QStringList, labels);
    QFETCH(QString, text);
    QFETCH(QString, productName);
    QFETCH(bool, nameFound);

    const Identity id = parseIdentity(batch, IdentityLabels{labels[0], labels[1], labels[2]});
    QCOMPARE(id.text, text);
    QCOMPARE(id.productName, productName);
    QCOMPARE(id.nameFound, nameFound);
}

void TestProtocol::checksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("checksum");

    // Worked examples first.
    QTest::newRow("abc + 1A filler, S=0xDD8") << block("abc", '\x1A') << 0xD8;
    QTest::newRow("FF, S=-1") << block("\xFF") << 0x01;
    QTest::newRow("7F, S=127") << block("\x7F") << 0x7F;
    QTest::newRow("90 90, S=-224") << block("\x90\x90") << 0xE0;

    // Negative sums where the unsigned sum differs (its low byte in the name).
    QTest::newRow("FE, S=-2, unsigned FE") << block("\xFE") << 0x02;
    QTest::newRow("7F 80, S=-1, unsigned FF") << block("\x7F\x80") << 0x01;
    QTest::newRow("C0 x3, S=-192, unsigned 40") << block("\xC0\xC0\xC0") << 0xC0;
    QTest::newRow("90 x5, S=-560, unsigned D0") << block("\x90\x90\x90\x90\x90") << 0x30;
    QTest::newRow("10 F0 F0, S=-16, unsigned F0") << block("\x10\xF0\xF0") << 0x10;
    QTest::newRow("80..FF, S=-8256, unsigned C0") << counting(0x80, 128) << 0x40;

    // Negative sums with low byte 00 or 80: both rules agree.
    QTest::newRow("80 80, S=-256") << block("\x80\x80") << 0x00;
    QTest::newRow("all 80, S=-16384") << QByteArray(128, '\x80') << 0x00;
    QTest::newRow("all FF, S=-128") << QByteArray(128, '\xFF') << 0x80;
    QTest::newRow("all 81, S=-16256") << QByteArray(128, '\x81') << 0x80;

    // Non-negative sums, including ones with negative bytes in them.
    QTest::newRow("all 00") << QByteArray(128, '\0') << 0x00;
    QTest::newRow("all 1A, S=3328") << QByteArray(128, '\x1A') << 0x00;
    QTest::newRow("all 7F, S=16256") << QByteArray(128, '\x7F') << 0x80;
    QTest::newRow("00..7F, S=8128") << counting(0, 128) << 0xC0;
    QTest::newRow("01 01 01 FF, S=2") << block("\x01\x01\x01\xFF") << 0x02;
    QTest::newRow("7F 7F 80, S=126") << block("\x7F\x7F\x80") << 0x7E;
}

void TestProtocol::checksum()
{
    QFETCH(QByteArray, data);
    QFETCH(int, checksum);

    QCOMPARE(data.size(), 128);
    QCOMPARE(int(blockChecksum(data)), checksum);
}

void TestProtocol::frameBytes_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("blockNumber");
    QTest::addColumn<QByteArray>("frame");

    const QByteArray abc = kField + "abc";
    const QByteArray abcData = block("abc", '\x1A');
    QTest::newRow("abc payload") << abc << 16 << 1 << expectedFrame(0x01, 0xFE, abcData, 0xD8);
    QTest::newRow("block 128") << abc << 16 << 128 << expectedFrame(0x80, 0x7F, abcData, 0xD8);
    QTest::newRow("block 255") << abc << 16 << 255 << expectedFrame(0xFF, 0x00, abcData, 0xD8);
    QTest::newRow("block 0") << abc << 16 << 0 << expectedFrame(0x00, 0xFF, abcData, 0xD8);

    // S = -1 + 127 * 26 = 3301 = 0xCE5.
    QTest::newRow("17-byte image")
        << kField + "\xFF" << 16 << 1 << expectedFrame(0x01, 0xFE, block("\xFF", '\x1A'), 0xE5);

    // Three full blocks: 400 bytes in all.
    const QByteArray three = kField + counting(0, 384);
    QTest::newRow("first of three blocks")
        << three << 16 << 1 << expectedFrame(0x01, 0xFE, counting(0, 128), 0xC0);
    QTest::newRow("middle of three blocks")
        << three << 144 << 2 << expectedFrame(0x02, 0xFD, counting(0x80, 128), 0x40);
    QTest::newRow("last of three blocks is full data")
        << three << 272 << 3 << expectedFrame(0x03, 0xFC, counting(0, 128), 0xC0);
    QTest::newRow("offset at end")
        << three << 400 << 4 << expectedFrame(0x04, 0xFB, QByteArray(128, '\x1A'), 0x00);
    QTest::newRow("offset past end")
        << three << 528 << 5 << expectedFrame(0x05, 0xFA, QByteArray(128, '\x1A'), 0x00);

    // S = -128 - 127 + 126 * 26 = 3021 = 0xBCD.
    QTest::newRow("last partial block")
        << kField + counting(0, 130) << 144 << 2
        << expectedFrame(0x02, 0xFD, block("\x80\x81", '\x1A'), 0xCD);
}

void TestProtocol::frameBytes()
{
    QFETCH(QByteArray, image);
    QFETCH(int, offset);
    QFETCH(int, blockNumber);
    QFETCH(QByteArray, frame);

    const QByteArray built = buildFrame(image, offset, quint8(blockNumber));
    QCOMPARE(built.size(), 132);
    QCOMPARE(built, frame);
}

void TestProtocol::nameField_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("short name padded with spaces") << QStringLiteral("ABC") << pad("ABC", 16, ' ');
    QTest::newRow("empty name") << QString() << QByteArray(16, ' ');
    QTest::newRow("16 characters unchanged")
        << QStringLiteral("ABCDEFGHIJKLMNOP") << QByteArray("ABCDEFGHIJKLMNOP");
    QTest::newRow("17 characters not shortened")
        << QStringLiteral("ABCDEFGHIJKLMNOPQ") << QByteArray("ABCDEFGHIJKLMNOPQ");
    QTest::newRow("cut at NUL") << QString::fromLatin1("AB\0CD", 5) << pad("AB", 16, ' ');
    QTest::newRow("Latin-1 bytes") << QStringLiteral(u"M\u00FCller") << pad("M\xFCller", 16, ' ');
}

void TestProtocol::nameField()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, field);

    QCOMPARE(expectedNameField(name), field);
}

void TestProtocol::nameFieldShown_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("shown");

    QTest::newRow("padded with spaces") << pad("PM-100", 16, ' ') << "PM-100";
    QTest::newRow("padded with NULs")
        << pad("PM-100", 16, '\0') << R"(PM-100\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00)";
    QTest::newRow("a tab and DEL inside") << QByteArray("PM\t1\x7f") << R"(PM\x091\x7f)";
    QTest::newRow("Latin-1 letters shown")
        << QByteArray("M\xFCller") << QStringLiteral(u"M\u00FCller");
}

void TestProtocol::nameFieldShown()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, shown);

    QCOMPARE(nameFieldText(field), shown);
}

void TestProtocol::nameCheck_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("received");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("accepted");

    const QByteArray payload("\x01\x02\x03");
    const QString abc = QStringLiteral("ABC");

    QTest::newRow("ABC, spaces") << abc << true << pad("ABC", 16, ' ') + payload << true;
    QTest::newRow("ABC, NULs") << abc << true << pad("ABC", 16, '\0') + payload << false;
    QTest::newRow("ABC, last field byte differs")
        << abc << true << pad("ABC", 15, ' ') + "X" + payload << false;
    QTest::newRow("ABC, image exactly the field") << abc << true << pad("ABC", 16, ' ') << true;
    QTest::newRow("16 characters") << QStringLiteral("ABCDEFGHIJKLMNOP") << true
                                   << QByteArray("ABCDEFGHIJKLMNOP") + payload << true;
    QTest::newRow("17 characters, image starts with them")
        << QStringLiteral("ABCDEFGHIJKLMNOPQ") << true << QByteArray("ABCDEFGHIJKLMNOPQ") + payload
        << false;
    QTest::newRow("letter case differs")
        << QStringLiteral("Pm-100") << true << pad("PM-100", 16, ' ') + payload << false;

    QTest::newRow("not received, other field")
        << abc << false << pad("XYZ", 16, '\0') + payload << true;
    // Without a whole name field there is nothing to accept, whether or not a name came.
    QTest::newRow("not received, empty image") << QString() << false << QByteArray() << false;
    QTest::newRow("not received, 5-byte image") << abc << false << QByteArray("ABC  ") << false;
    QTest::newRow("not received, 15-byte image") << abc << false << pad("ABC", 15, ' ') << false;
    QTest::newRow("not received, name field only") << abc << false << pad("XYZ", 16, ' ') << true;

    // A short image that is a prefix of the expected field must still fail.
    QTest::newRow("received, 13-byte image") << abc << true << pad("ABC", 13, ' ') << false;
    QTest::newRow("received, 15-byte image") << abc << true << pad("ABC", 15, ' ') << false;
    QTest::newRow("received, empty image") << abc << true << QByteArray() << false;

    QTest::newRow("empty name, 16 spaces")
        << QString() << true << QByteArray(16, ' ') + payload << true;
    QTest::newRow("empty name, ABC field")
        << QString() << true << pad("ABC", 16, ' ') + payload << false;
    QTest::newRow("empty name, 16 NULs")
        << QString() << true << QByteArray(16, '\0') + payload << false;

    const QString withNul = QString::fromLatin1("AB\0CD", 5);
    QTest::newRow("NUL in name, field cut there")
        << withNul << true << pad("AB", 16, ' ') + payload << true;
    QTest::newRow("NUL in name, field with NUL")
        << withNul << true << pad(bytes("AB\0CD"), 16, ' ') + payload << false;

    const QString mueller = QStringLiteral(u"M\u00FCller");
    QTest::newRow("Latin-1 field")
        << mueller << true << pad("M\xFCller", 16, ' ') + payload << true;
    QTest::newRow("UTF-8 field") << mueller << true << pad("M\xC3\xBCller", 16, ' ') + payload
                                 << false;
}

void TestProtocol::nameCheck()
{
    QFETCH(QString, name);
    QFETCH(bool, received);
    QFETCH(QByteArray, image);
    QFETCH(bool, accepted);

    QCOMPARE(nameFieldAccepted(image, expectedNameField(name), received), accepted);
}

QTEST_APPLESS_MAIN(TestProtocol)

#include "tst_protocol.moc"
