// The three compiled catalogues, checked entry by entry through the application's translation
// lookup, and their translation sources.
#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

#include <array>

namespace {

constexpr char kContext[] = "SerialUpdata";

enum Language { English, German, Japanese, LanguageCount };

struct CatalogueFile
{
    const char *name;
    const char *qm;
    const char *ts;
    const char *code;
    int entries;
};

const std::array<CatalogueFile, LanguageCount> kFiles = {{
    {"English", ":/Serial_English.qm", "i18n/Serial_English.ts", "en", 44},
    {"German", ":/Serial_Germany.qm", "i18n/Serial_Germany.ts", "de", 46},
    {"Japanese", ":/Serial_Japan.qm", "i18n/Serial_Japan.ts", "ja", 46},
}};

struct Entry
{
    int row;
    const char *key;
    // nullptr: the catalogue has no entry for this key.
    std::array<const char *, LanguageCount> text;
};

// UTF-8, exactly as the catalogues hold them, including their cut and uneven wordings.
const Entry kEntries[] = {
    {1, "->升级完成", {"->Update completed", "->Update abgeschlossen", "->更新が終了しました"}},
    {2, "->已连接", {"->Connected", "->Verbunden", "->接続されています"}},
    {3,
     "->已连接，请重新升级",
     {"->Connected. Please update again", "->Verbunden. Bitte erneut update",
      "->接続されています、もう一度更新してください"}},
    {4, "->连接失败", {"->Failed to connect", "->Verbindung fehlgeschlagen", "->接続に失敗した"}},
    {5, "China", {"简体中文", "简体中文", "简体中文"}},
    {6, "English", {"English", "English", "English"}},
    {7, "Error Message", {nullptr, "Fehler bei der Information", "情報エラー"}},
    {8, "File Open Error", {nullptr, "Fehler beim Öffnen der Datei", "ファイルのオープンエラー"}},
    {9, "Germany", {"Deutsche", "Deutsche", "Deutsche"}},
    {10, "Japan", {"日本語", "日本語", "日本語"}},
    {11,
     "MainWindow",
     {"Pelmar Firmware Update Tool", "Pelmar Firmware Update Tool",
      "Pelmarファームウェア アップデート ツール"}},
    {12, "串口名称", {"Serial Port Name", "Serielle Schnittstelle", "シリアルポート名"}},
    {13,
     "串口打开失败",
     {"Failed to open the serial por", "Fehler beim Öffnen der seriellen Schnittstelle",
      "シリアルポートを開けませんでした"}},
    {14, "升级", {"Update", "Update", "更新"}},
    {15, "升级信息", {"Update Information", "Update-Information", "更新情報"}},
    {16,
     "升级失败，请重新升级",
     {"Update failed. Please update again", "Update fehlgeschlagen. Bitte erneut update",
      "アップデートに失敗しました。もう一度更新してください"}},
    {17, "固件信息", {"Firmware Information", "Firmware-Information", "ファームウェア情報"}},
    {18, "固件版本:", {"Firmware Version:", "Firmware-Version:", "ファームウェアバージョン:"}},
    {19, "固件路径", {"Firmware Path", "Firmware-Pfad", "ファームウェアパス"}},
    {20, "固件错误", {"Firmware Errors", "Firmware Fehler", "ファームウェアエラー"}},
    {21,
     "开始升级，固件正在传输",
     {"Update started. Firmware is being transferred", "Update gestartet. Firmware wird übertragen",
      "更新を開始しました、ファームウェアを転送しています"}},
    {22,
     "打开串口失败",
     {"Failed to open the serial port", "Fehler beim Öffnen der seriellen Schnittstelle",
      "シリアルポートを開けませんでした"}},
    {23, "数据包", {"Data Package", "Datenpaket", "データパッケージ"}},
    {24,
     "数据包解析失败，重新传输数据包",
     {"Data package parsing failed.Transfer the data package again",
      "Fehler beim Parsen des Datenpakets. Bitte erneut übertragen",
      "データパッケージの解析エラー。もう一度転送してください"}},
    {25,
     "数据包解析成功",
     {"Data package parsing succeeded", "Parsen des Datenpakets ist erfolgreich",
      "データパッケージの解析が成功しました"}},
    {26,
     "数据包解析错误，请重新传输",
     {"Data package parsing error. Please transfer again",
      "Fehler beim Parsen des Datenpakets. Bitte erneut übertragen",
      "データパッケージの解析エラー。もう一度転送してください"}},
    {27, "断开连接", {"Disconnect", "Trennen", "切断する"}},
    {28, "正在连接", {"Connecting", "Verbinden", "接続しています"}},
    {29, "正在连接...", {"Connecting", "Verbinden", "接続しています"}},
    {30, "波特率", {"Baud Rate", "Baudrate", "ボーレート"}},
    {31, "浏览", {"Browse", "Durchsuchen", "ブラウズ"}},
    {32, "设备名称:", {"Device Name:", "Gerätename:", "デバイスの名:"}},
    {33,
     "设备序列号:",
     {"Device Serial Number:", "Seriennummer des Geräts:", "デバイスのシリアル番号:"}},
    {34,
     "设备无响应，请重新升级",
     {"Device no response. Please update again", "Gerät keine Antwort. Bitte erneut update",
      "デバイスが応答しません、もう一度更新してください"}},
    {35, "语言", {"Language", "Sprache", "言語"}},
    {36,
     "读取串口失败",
     {"Failed to read the serial port", "Fehler beim Lesen der seriellen Schnittstelle",
      "シリアルポートの読み取りに失敗しました"}},
    {37,
     "读取串口失败...",
     {"Failed to read serial port...", "Fehler beim Lesen der seriellen Schnittstelle...",
      "シリアルの読み込みに失敗しました..."}},
    {38,
     "进度（升级期间请勿断开串口线）",
     {"Progress (DO NOT Disconnect the Serial Cable While Updating)",
      "Fortschritt (Trennen Sie das serielle Kabel während der update NICHT)",
      "進行状況（更新中はシリアルケーブルを取り外さないでください）"}},
    {39, "连接", {"Connect", "Verbinden", "接続"}},
    {40, "连接信息", {"Connection Information", "Verbindung-Information", "接続情報"}},
    {41, "选项", {"Option", "Option", "オプション"}},
    {42, "错误检测", {"Error Check", "Fehler prüfen", "エラーチェック"}},
    // The question asked when the window is closed during an update.
    {43, "升级进行中", {"Update in progress", "Update läuft", "更新中です"}},
    {44,
     "升级尚未完成。现在关闭会停止升级，设备将停留在等待固件的状态。之后请以 115200 "
     "连接设备并重新升级。",
     {"The update has not finished. Closing now stops it and leaves the device waiting for "
      "firmware. Later, connect to it at 115200 and update it again.",
      "Das Update ist nicht abgeschlossen. Wenn Sie jetzt schließen, wird es abgebrochen und das "
      "Gerät wartet weiter auf Firmware. Verbinden Sie es später mit 115200 und führen Sie das "
      "Update erneut aus.",
      "更新はまだ終わっていません。今閉じると更新は中止され、デバイスはファームウェアを待つ状態の"
      "ままになります。後で 115200 で接続し、もう一度更新してください。"}},
    {45, "继续升级", {"Keep updating", "Update fortsetzen", "更新を続ける"}},
    {46, "停止升级并关闭", {"Stop and close", "Abbrechen und schließen", "中止して閉じる"}},
};

// Installs a translator for the lifetime of the guard, so no data row leaks into the next.
class InstalledTranslator
{
public:
    explicit InstalledTranslator(QTranslator *translator) : m_translator(translator)
    {
        QCoreApplication::installTranslator(m_translator);
    }
    ~InstalledTranslator() { QCoreApplication::removeTranslator(m_translator); }
    InstalledTranslator(const InstalledTranslator &) = delete;
    InstalledTranslator &operator=(const InstalledTranslator &) = delete;

private:
    QTranslator *m_translator;
};

QString appTranslate(const QString &key)
{
    return QCoreApplication::translate(kContext, key.toUtf8().constData());
}

QString catalogueTranslate(const QTranslator &translator, const QString &key)
{
    return translator.translate(kContext, key.toUtf8().constData());
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void translatesEveryKey_data();
    void translatesEveryKey();
    void englishShowsErrorTitlesAsKeys_data();
    void englishShowsErrorTitlesAsKeys();
    void baudRatesStayUntranslated_data();
    void baudRatesStayUntranslated();
    void sourceFile_data();
    void sourceFile();
};

void TestCatalogue::translatesEveryKey_data()
{
    QTest::addColumn<QString>("qm");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    for (int lang = 0; lang < LanguageCount; ++lang) {
        for (const Entry &entry : kEntries) {
            if (!entry.text[lang])
                continue;
            QTest::addRow("%s/%02d", kFiles[lang].name, entry.row)
                << QString::fromLatin1(kFiles[lang].qm) << QString::fromUtf8(entry.key)
                << QString::fromUtf8(entry.text[lang]);
        }
    }
}

void TestCatalogue::translatesEveryKey()
{
    QFETCH(QString, qm);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    QTranslator translator;
    QVERIFY(translator.load(qm));
    InstalledTranslator installed(&translator);

    // Asked directly, a key whose translation equals it ("English") must still be an entry.
    const QString own = catalogueTranslate(translator, key);
    QVERIFY2(!own.isNull(), "no entry for this key");
    QCOMPARE(own, expected);
    QCOMPARE(appTranslate(key), expected);
}

void TestCatalogue::englishShowsErrorTitlesAsKeys_data()
{
    QTest::addColumn<QString>("key");

    QTest::newRow("07") << QStringLiteral("Error Message");
    QTest::newRow("08") << QStringLiteral("File Open Error");
}

void TestCatalogue::englishShowsErrorTitlesAsKeys()
{
    QFETCH(QString, key);

    QTranslator translator;
    QVERIFY(translator.load(QString::fromLatin1(kFiles[English].qm)));
    InstalledTranslator installed(&translator);

    QVERIFY(catalogueTranslate(translator, key).isNull());
    QCOMPARE(appTranslate(key), key);
}

void TestCatalogue::baudRatesStayUntranslated_data()
{
    QTest::addColumn<QString>("qm");
    QTest::addColumn<QString>("rate");

    for (const CatalogueFile &file : kFiles) {
        for (const char *rate : {"9600", "115200"}) {
            QTest::addRow("%s/%s", file.name, rate)
                << QString::fromLatin1(file.qm) << QString::fromLatin1(rate);
        }
    }
}

void TestCatalogue::baudRatesStayUntranslated()
{
    QFETCH(QString, qm);
    QFETCH(QString, rate);

    QTranslator translator;
    QVERIFY(translator.load(qm));
    InstalledTranslator installed(&translator);

    // The connect and update slots compare the list item with exactly these strings.
    QVERIFY(catalogueTranslate(translator, rate).isNull());
    QCOMPARE(appTranslate(rate), rate);
}

void TestCatalogue::sourceFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("language");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("lang");

    for (int lang = 0; lang < LanguageCount; ++lang) {
        const CatalogueFile &file = kFiles[lang];
        QTest::newRow(file.name) << QStringLiteral(PELMAR_SOURCE_DIR "/") + QLatin1String(file.ts)
                                 << QString::fromLatin1(file.code) << file.entries << lang;
    }
}

void TestCatalogue::sourceFile()
{
    QFETCH(QString, path);
    QFETCH(QString, language);
    QFETCH(int, entries);
    QFETCH(int, lang);

    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QXmlStreamReader xml(&file);

    QStringList contexts;
    QSet<QString> sources;
    int messages = 0;
    int sourceCount = 0;
    int translationCount = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringRef name = xml.name();
        if (name == QLatin1String("TS")) {
            QCOMPARE(xml.attributes().value("version").toString(), QStringLiteral("2.1"));
            QCOMPARE(xml.attributes().value("sourcelanguage").toString(), QStringLiteral("zh_CN"));
            QCOMPARE(xml.attributes().value("language").toString(), language);
        } else if (name == QLatin1String("context") || name == QLatin1String("message")) {
            if (name == QLatin1String("message")) {
                ++messages;
                QVERIFY2(xml.attributes().isEmpty(), "message with attributes");
            }
        } else if (name == QLatin1String("name")) {
            contexts << xml.readElementText();
        } else if (name == QLatin1String("source")) {
            ++sourceCount;
            sources.insert(xml.readElementText());
        } else if (name == QLatin1String("translation")) {
            ++translationCount;
            // lrelease leaves out translations marked unfinished, obsolete or vanished.
            QVERIFY2(!xml.attributes().hasAttribute("type"),
                     qPrintable(xml.attributes().value("type").toString()));
            xml.skipCurrentElement();
        } else {
            QFAIL(qPrintable(QStringLiteral("unexpected element <%1>").arg(name.toString())));
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));

    QCOMPARE(contexts, QStringList{QStringLiteral("SerialUpdata")});
    QCOMPARE(messages, entries);
    QCOMPARE(sourceCount, entries);
    QCOMPARE(translationCount, entries);

    QSet<QString> expectedSources;
    for (const Entry &entry : kEntries) {
        if (entry.text[lang])
            expectedSources.insert(QString::fromUtf8(entry.key));
    }
    QCOMPARE(sources, expectedSources);
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
