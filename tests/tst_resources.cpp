// The embedded resource collection: the style sheet, byte for byte and rule by rule, and the
// three compiled catalogues.
#include <QFile>
#include <QResource>
#include <QTranslator>
#include <QVector>
#include <QtTest>

namespace {

const QString kStyleSheet = QStringLiteral(":/style.qss");

struct Rule
{
    QString selector;
    QStringList declarations;
};

struct ParsedSheet
{
    QVector<Rule> rules;
    QString error;
};

// Splits the sheet into its top-level blocks; inside a block every non-blank line must hold
// exactly one declaration ending in ';'.
ParsedSheet parseSheet(const QString &text)
{
    ParsedSheet sheet;
    QString selector;
    QString body;
    bool inBlock = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('{')) {
            if (inBlock) {
                sheet.error = QStringLiteral("nested block in ") + selector;
                return sheet;
            }
            inBlock = true;
            body.clear();
        } else if (c == QLatin1Char('}')) {
            if (!inBlock) {
                sheet.error = QStringLiteral("unbalanced }");
                return sheet;
            }
            Rule rule{selector.trimmed(), {}};
            for (const QString &line : body.split(QStringLiteral("\r\n"))) {
                const QString declaration = line.trimmed();
                if (declaration.isEmpty())
                    continue;
                if (!declaration.endsWith(QLatin1Char(';')) ||
                    declaration.count(QLatin1Char(';')) != 1) {
                    sheet.error = QStringLiteral("not one declaration per line: ") + line;
                    return sheet;
                }
                rule.declarations << declaration.chopped(1);
            }
            sheet.rules << rule;
            inBlock = false;
            selector.clear();
        } else if (inBlock) {
            body += c;
        } else {
            selector += c;
        }
    }
    if (inBlock)
        sheet.error = QStringLiteral("unterminated block ") + selector;
    else if (!selector.trimmed().isEmpty())
        sheet.error = QStringLiteral("text after the last rule: ") + selector;
    return sheet;
}

QByteArray readResource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void styleSheetBytes();
    void styleSheetRules_data();
    void styleSheetRules();
    void catalogueLoads_data();
    void catalogueLoads();
    void storedUncompressed_data();
    void storedUncompressed();
};

void TestResources::styleSheetBytes()
{
    QVERIFY(QFile::exists(kStyleSheet));
    const QByteArray bytes = readResource(kStyleSheet);
    QCOMPARE(bytes.size(), 1254);

    // The window reads the sheet up to the first zero byte.
    QVERIFY(!bytes.contains('\0'));
    for (int i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes.at(i));
        QVERIFY2(byte < 0x80, qPrintable(QStringLiteral("non-ASCII byte at %1").arg(i)));
        if (byte == '\n')
            QVERIFY2(i > 0 && bytes.at(i - 1) == '\r',
                     qPrintable(QStringLiteral("bare LF at %1").arg(i)));
        if (byte == '\r')
            QVERIFY2(i + 1 < bytes.size() && bytes.at(i + 1) == '\n',
                     qPrintable(QStringLiteral("bare CR at %1").arg(i)));
    }
    QCOMPARE(bytes.count('\n'), 69);
    QVERIFY(bytes.endsWith("\r\n"));
}

void TestResources::styleSheetRules_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QStringList>("declarations");

    const QString grey = QStringLiteral("background-color: rgb(223,223,223)");
    const QString lightBlue = QStringLiteral("background-color: rgb(225,229,239)");
    const QString radius = QStringLiteral("border-radius:6px");
    const QStringList border = {QStringLiteral("border-style:outset"),
                                QStringLiteral("border-width:0.5px"),
                                QStringLiteral("border-color:rgb(10,45,110)")};

    QTest::newRow("01") << 0 << "QObject" << QStringList{QStringLiteral("font-size: 12px")};
    QTest::newRow("02") << 1 << "QWidget" << QStringList{grey};
    QTest::newRow("03") << 2 << "QPushButton"
                        << QStringList{QStringLiteral("background-color: rgb(233,233,233)"),
                                       radius};
    QTest::newRow("04") << 3 << "QPushButton:enabled"
                        << QStringList{QStringLiteral("background-color: rgb(255,255,255)")};
    QTest::newRow("05") << 4 << "QPushButton:disabled"
                        << QStringList{QStringLiteral("background-color: rgb(225,239,239)")};
    QTest::newRow("06") << 5 << "QPlainTextEdit" << (QStringList{lightBlue, radius} + border);
    QTest::newRow("07") << 6 << "QComboBox" << (QStringList{lightBlue} + border);
    QTest::newRow("08") << 7 << "QCheckBox" << QStringList{lightBlue};
    QTest::newRow("09") << 8 << "QLineEdit" << (QStringList{lightBlue, radius} + border);
    QTest::newRow("10") << 9 << "QTitleBar" << QStringList{lightBlue};
    QTest::newRow("11") << 10 << "QTabWidget::pane" << QStringList{QStringLiteral("border:none")};
    QTest::newRow("12") << 11 << "QTabWidget::tab-bar"
                        << QStringList{QStringLiteral("alignment:left")};
    QTest::newRow("13") << 12 << "QTabBar::tab"
                        << QStringList{QStringLiteral("background:transparent"),
                                       QStringLiteral("color:black"),
                                       QStringLiteral("font: 75 16pt"),
                                       QStringLiteral("font-size:15px"),
                                       QStringLiteral("min-width:100px"),
                                       QStringLiteral("min-height:30px")};
    QTest::newRow("14") << 13 << "QTabBar::tab:hover"
                        << QStringList{QStringLiteral("color:white"),
                                       QStringLiteral("font-size:13px"),
                                       QStringLiteral("background-color: rgb(6,63,179)")};
    QTest::newRow("15") << 14 << "QTabBar::tab:selected"
                        << QStringList{QStringLiteral("border-color: white"),
                                       QStringLiteral("background:white"),
                                       QStringLiteral("color:green")};
}

void TestResources::styleSheetRules()
{
    QFETCH(int, index);
    QFETCH(QString, selector);
    QFETCH(QStringList, declarations);

    const ParsedSheet sheet = parseSheet(QString::fromLatin1(readResource(kStyleSheet)));
    QVERIFY2(sheet.error.isEmpty(), qPrintable(sheet.error));
    QCOMPARE(sheet.rules.size(), 15);
    QCOMPARE(sheet.rules.at(index).selector, selector);
    QCOMPARE(sheet.rules.at(index).declarations, declarations);
}

void TestResources::catalogueLoads_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("English") << QStringLiteral(":/Serial_English.qm");
    QTest::newRow("German") << QStringLiteral(":/Serial_Germany.qm");
    QTest::newRow("Japanese") << QStringLiteral(":/Serial_Japan.qm");
}

void TestResources::catalogueLoads()
{
    QFETCH(QString, path);

    QVERIFY(QFile::exists(path));
    QTranslator translator;
    // As the language slots load it: no directory, delimiters or suffix to fall back on.
    QVERIFY(translator.load(path, QString(), QString(), QString()));
    QVERIFY(!translator.isEmpty());
}

void TestResources::storedUncompressed_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("style") << kStyleSheet;
    QTest::newRow("English") << QStringLiteral(":/Serial_English.qm");
    QTest::newRow("German") << QStringLiteral(":/Serial_Germany.qm");
    QTest::newRow("Japanese") << QStringLiteral(":/Serial_Japan.qm");
}

void TestResources::storedUncompressed()
{
    QFETCH(QString, path);

    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
}

QTEST_GUILESS_MAIN(TestResources)
#include "tst_resources.moc"
