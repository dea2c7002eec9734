#include "jobfile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using flash::JobSettings;

namespace {

// sha256sum of kImageBytes.
const char kImageSha[] = "0d35f5c9f34f48f57a65a5021c3e867d9b8389a66bdfc3f7d8e4458ea6a8c5c9";
const QByteArray kImageBytes = "PM-100          V1.1 firmware";

// The keys of a valid job file, with their values as written in it.
const QVector<QPair<QByteArray, QByteArray>> kValid = {
    {"name", R"("WO-2026-1207 PM-100 V1.1")"},
    {"station", R"("line3-east")"},
    {"image", R"("PM-100_V1.1.bin")"},
    {"imageSha256", QByteArray("\"") + kImageSha + "\""},
    {"slots", R"(["/dev/ttyUSB0", "/dev/ttyUSB1"])"},
    {"record", R"("line3-east.jsonl")"},
};

// A valid job with `key` changed: a key of kValid gets `value` (none: left out), "+" adds `value`
// as raw text, "=" is the whole file.
QByteArray jobText(const QByteArray &key, const QByteArray &value)
{
    if (key == "=")
        return value;
    QByteArrayList pairs;
    for (const auto &kv : kValid) {
        if (kv.first != key)
            pairs << "\"" + kv.first + "\": " + kv.second;
        else if (!value.isEmpty())
            pairs << "\"" + kv.first + "\": " + value;
    }
    if (key == "+")
        pairs << value;
    return "{" + pairs.join(", ") + "}";
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString described(const JobSettings &s)
{
    return QStringList{s.name,
                       s.station,
                       s.image,
                       s.imageSha256,
                       QString::number(s.baud),
                       QString::number(s.verify),
                       s.expectVersion,
                       s.skipIfVersion,
                       QString::number(s.paceMs),
                       QString::number(s.attempts),
                       s.ports.join('|'),
                       QString::number(s.quantity),
                       s.record}
        .join(QLatin1String(" ; "));
}

// The columns of a refusal: the change to a valid job, by jobText()'s rules, and the error.
void addRefusalColumns()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("error");
}

} // namespace

class TestJobFile : public QObject
{
    Q_OBJECT

private slots:
    void keyRefusals_data();
    void keyRefusals() { refused(); }
    void valueRefusals_data();
    void valueRefusals() { refused(); }
    void unreadable_data();
    void unreadable();
    void accepted();
    void duplicateKeys_data();
    void duplicateKeys();
    void roundTrip_data();
    void roundTrip();
    void writeRefusals_data();
    void writeRefusals();

private:
    void refused();
    QTemporaryDir m_dir;
};

void TestJobFile::keyRefusals_data()
{
    addRefusalColumns();

    QTest::newRow("a typo") << QByteArray("+") << QByteArray(R"("quantitiy": 500)")
                            << R"("quantitiy" is not a key of a job file)";
    QTest::newRow("a key twice") << QByteArray("+")
                                 << QByteArray(R"("quantity": 5, "quantity": 500)")
                                 << R"("quantity" is given twice)";
    QTest::newRow("a key twice, once spelled with an escape")
        << QByteArray("+") << QByteArray(R"("n\u0061me": "WO-1")") << R"("name" is given twice)";
    QTest::newRow("a key twice in an object inside")
        << QByteArray("slots") << QByteArray(R"([{"a": 1, "a": 2}])") << R"("a" is given twice)";
    for (const auto &kv : kValid)
        QTest::newRow(("without " + kv.first).constData())
            << kv.first << QByteArray() << QString("\"%1\" is missing").arg(QString(kv.first));
    QTest::newRow("expectVersion without verify")
        << QByteArray("+") << QByteArray(R"("expectVersion": "V1.1")")
        << R"("expectVersion" needs "verify": true)";
    QTest::newRow("expectVersion with verify false")
        << QByteArray("+") << QByteArray(R"("verify": false, "expectVersion": "V1.1")")
        << R"("expectVersion" needs "verify": true)";
    QTest::newRow("the record is the job file")
        << QByteArray("record") << QByteArray(R"("job.json")")
        << R"("record" names the job file itself)";
    QTest::newRow("not JSON: a trailing comma")
        << QByteArray("=") << jobText("name", R"("WO-1")").replace("}", ",}") << "not JSON";
    QTest::newRow("an empty file") << QByteArray("=") << QByteArray() << "not JSON";
    QTest::newRow("a list") << QByteArray("=") << QByteArray(R"([{"name": "WO-1"}])")
                            << "not a JSON object";
}

void TestJobFile::valueRefusals_data()
{
    addRefusalColumns();
    QTest::newRow("name empty") << QByteArray("name") << QByteArray(R"("  ")")
                                << R"("name" must be a text on one line)";
    QTest::newRow("name on two lines") << QByteArray("name") << QByteArray(R"("WO-1\nWO-2")")
                                       << R"("name" must be a text on one line)";
    QTest::newRow("station a number")
        << QByteArray("station") << QByteArray("3") << R"("station" must be a text on one line)";
    QTest::newRow("hash 63 digits")
        << QByteArray("imageSha256") << QByteArray("\"") + QByteArray(kImageSha).left(63) + "\""
        << R"("imageSha256" must be 64 hexadecimal digits)";
    QTest::newRow("hash not hex") << QByteArray("imageSha256")
                                  << QByteArray("\"") + QByteArray(64, 'g') + "\""
                                  << R"("imageSha256" must be 64 hexadecimal digits)";
    QTest::newRow("slots empty") << QByteArray("slots") << QByteArray("[]")
                                 << R"("slots" must name at least one port)";
    QTest::newRow("slots: an empty name") << QByteArray("slots") << QByteArray(R"(["/dev/a", ""])")
                                          << R"("slots" item 2 must name a port)";
    QTest::newRow("slots a text") << QByteArray("slots") << QByteArray(R"("/dev/ttyUSB0")")
                                  << R"("slots" must be a list of ports)";
    QTest::newRow("slots: one port twice")
        << QByteArray("slots") << QByteArray(R"(["/dev/a", "/dev/a"])")
        << R"("slots" names /dev/a twice)";
    QTest::newRow("baud as text") << QByteArray("+") << QByteArray(R"("baud": "115200")")
                                  << R"("baud" must be 9600 or 115200)";
    QTest::newRow("baud 57600") << QByteArray("+") << QByteArray(R"("baud": 57600)")
                                << R"("baud" must be 9600 or 115200)";
    QTest::newRow("verify as text") << QByteArray("+") << QByteArray(R"("verify": "yes")")
                                    << R"("verify" must be true or false)";
    QTest::newRow("pace over 4.6 s")
        << QByteArray("+") << QByteArray(R"("pace": 4601)")
        << R"("pace" must be a whole number of milliseconds from 0 to 4600)";
    QTest::newRow("pace a fraction")
        << QByteArray("+") << QByteArray(R"("pace": 50.5)") << R"("pace" must be a whole number)";
    QTest::newRow("attempts 21") << QByteArray("+") << QByteArray(R"("attempts": 21)")
                                 << R"("attempts" must be a whole number from 1 to 20)";
    QTest::newRow("attempts 0") << QByteArray("+") << QByteArray(R"("attempts": 0)")
                                << R"("attempts" must be a whole number from 1 to 20)";
    QTest::newRow("quantity 0") << QByteArray("+") << QByteArray(R"("quantity": 0)")
                                << R"("quantity" must be a whole number from 1 to 1000000)";
    QTest::newRow("quantity negative") << QByteArray("+") << QByteArray(R"("quantity": -5)")
                                       << R"("quantity" must be a whole number from 1)";
    QTest::newRow("quantity as text") << QByteArray("+") << QByteArray(R"("quantity": "500")")
                                      << R"("quantity" must be a whole number from 1)";
    QTest::newRow("skipIfVersion empty") << QByteArray("+") << QByteArray(R"("skipIfVersion": "")")
                                         << R"("skipIfVersion" must be a text on one line)";
}

void TestJobFile::refused()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QString, error);
    const QString path = m_dir.filePath("job.json");
    QFile::remove(path);
    QVERIFY(writeFile(path, jobText(key, value)));
    const flash::ParsedJob parsed = flash::parseJob(path);
    QVERIFY2(parsed.error.startsWith("job file " + path + ": "), qPrintable(parsed.error));
    QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
}

void TestJobFile::unreadable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("error");
    QTest::newRow("missing") << "missing"
                             << "cannot be read: No such file or directory";
    QTest::newRow("a folder") << "folder"
                              << "a folder, not a job file";
    // Opened without waiting for a writer: it must not hang.
    QTest::newRow("a FIFO") << "fifo"
                            << "not a regular file";
    QTest::newRow("too large") << "large"
                               << "larger than 1048576 bytes";
}

void TestJobFile::unreadable()
{
    QFETCH(QString, kind);
    QFETCH(QString, error);
    const QString path = m_dir.filePath("odd-" + kind);
    if (kind == "folder")
        QVERIFY(QDir().mkpath(path));
    if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (kind == "large")
        QVERIFY(writeFile(path, jobText("+", R"("pad": ")" + QByteArray(1 << 20, 'x') + "\"")));
    const flash::ParsedJob parsed = flash::parseJob(path);
    QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
}

// The defaults, paths from the job file's folder whatever the working folder, the file's hash.
void TestJobFile::accepted()
{
    const QString folder = m_dir.filePath("line3");
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + "/job.json";
    // A byte order mark, an upper-case hash, a key's name inside a value, an absolute record.
    const QByteArray text =
        "\xEF\xBB\xBF" +
        jobText("imageSha256", QByteArray("\"") + QByteArray(kImageSha).toUpper() + "\"")
            .replace(R"("line3-east")", R"("line3-east\", \"name\": \"x")")
            .replace(R"("line3-east.jsonl")", R"("/var/lib/pelmar/l3.jsonl")");
    QVERIFY(writeFile(path, text));
    QVERIFY(QDir::setCurrent(m_dir.path()));
    const flash::ParsedJob parsed = flash::parseJob("line3/job.json");
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    const JobSettings &s = parsed.job.settings;
    QCOMPARE(s.station, QString("line3-east\", \"name\": \"x"));
    QCOMPARE(s.image, folder + "/PM-100_V1.1.bin");
    QCOMPARE(s.record, QString("/var/lib/pelmar/l3.jsonl"));
    QCOMPARE(s.imageSha256, QString(kImageSha));
    QCOMPARE(s.baud, 115200);
    QCOMPARE(s.verify, false);
    QCOMPARE(s.paceMs, 50);
    QCOMPARE(s.attempts, 1);
    QCOMPARE(s.quantity, 0);
    QCOMPARE(s.ports, QStringList({"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    QCOMPARE(parsed.job.file, path);
    QCOMPARE(parsed.job.fileSha256,
             QString(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()));
}

void TestJobFile::duplicateKeys_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("key"); // "-": none
    QTest::newRow("none") << QByteArray(R"({"a": 1, "b": [1, 2], "c": {"a": 2}})") << "-";
    QTest::newRow("top level") << QByteArray(R"({"a": 1, "a": 2})") << "a";
    QTest::newRow("nested object") << QByteArray(R"({"a": {"x": 1, "y": {}, "x": 2}})") << "x";
    QTest::newRow("objects in a list are apart")
        << QByteArray(R"({"a": [{"x": 1}, {"x": 2}]})") << "-";
    QTest::newRow("after a list and an object")
        << QByteArray(R"({"a": [1, {"b": [2]}], "c": 3, "a": 4})") << "a";
    QTest::newRow("quotes and a key inside a value")
        << QByteArray(R"({"a": "\"a\": 1, ", "b": 1})") << "-";
    QTest::newRow("a value holding an escaped quote")
        << QByteArray(R"({"a": "\"", "a": 1})") << "a";
    QTest::newRow("a value ending in a backslash") << QByteArray(R"({"x": "\\", "x": 1})") << "x";
    QTest::newRow("an escaped letter") << QByteArray(R"({"\u0061": 1, "a": 2})") << "a";
    QTest::newRow("a surrogate pair") << QByteArray(R"({"\ud83d\ude00": 1, "😀": 2})") << "😀";
    QTest::newRow("the empty key") << QByteArray(R"({"": 1, "": 2})") << "";
}

void TestJobFile::duplicateKeys()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, key);
    QVERIFY(!QJsonDocument::fromJson(json).isNull());
    const QString found = flash::firstDuplicateKey(json);
    if (key == "-")
        QVERIFY2(found.isNull(), qPrintable(found));
    else
        QCOMPARE(found, key);
    QVERIFY(key == "-" || !found.isNull());
}

void TestJobFile::roundTrip_data()
{
    QTest::addColumn<bool>("full");
    QTest::addColumn<QByteArray>("text");
    // The order of the keys is the one engineers know from the documentation.
    QTest::newRow("every key") << true << QByteArray(R"({
    "name": "WO-2026-1207 PM-100 V1.1",
    "station": "line3-east",
    "image": "images/PM-100_V1.1.bin",
    "imageSha256": ")" + QByteArray(kImageSha) + R"(",
    "baud": 9600,
    "verify": true,
    "expectVersion": "V1.1",
    "skipIfVersion": "V1.1",
    "pace": 0,
    "attempts": 3,
    "slots": [
        "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0",
        "/dev/ttyUSB1"
    ],
    "quantity": 500,
    "record": "/RECORD"
}
)");
    QTest::newRow("defaults") << false << QByteArray(R"({
    "name": "WO-7",
    "station": "s",
    "image": "/IMAGE",
    "imageSha256": ")" + QByteArray(kImageSha) + R"(",
    "baud": 115200,
    "verify": false,
    "slots": [
        "/dev/ttyUSB0"
    ],
    "record": "shift.jsonl"
}
)");
}

void TestJobFile::roundTrip()
{
    QFETCH(bool, full);
    QFETCH(QByteArray, text);
    QTemporaryDir outside;
    const QString folder = m_dir.filePath(full ? "trip-full" : "trip-defaults");
    QVERIFY(QDir().mkpath(folder + "/images"));
    JobSettings s;
    s.station = full ? "line3-east" : "s";
    s.name = full ? "WO-2026-1207 PM-100 V1.1" : "WO-7";
    s.image = full ? folder + "/images/PM-100_V1.1.bin" : outside.filePath("image.bin");
    s.record = full ? outside.filePath("shift.jsonl") : folder + "/shift.jsonl";
    s.ports = full ? QStringList{"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0",
                                 "/dev/ttyUSB1"}
                   : QStringList{"/dev/ttyUSB0"};
    if (full) {
        s.baud = 9600, s.verify = true, s.expectVersion = s.skipIfVersion = "V1.1";
        s.paceMs = 0, s.attempts = 3, s.quantity = 500;
    }
    QVERIFY(writeFile(s.image, kImageBytes));
    const flash::ParsedJob written = flash::writeJob(folder + "/job.json", s);
    QVERIFY2(written.error.isEmpty(), qPrintable(written.error));

    QFile file(folder + "/job.json");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString(file.readAll()),
             QString(text).replace("/RECORD", s.record).replace("/IMAGE", s.image));
    const flash::ParsedJob read = flash::parseJob(folder + "/job.json");
    QVERIFY2(read.error.isEmpty(), qPrintable(read.error));
    s.imageSha256 = kImageSha;
    QCOMPARE(described(read.job.settings), described(s));
    QCOMPARE(described(written.job.settings), described(s));
    QCOMPARE(written.job.fileSha256, read.job.fileSha256);
    // The temporary file is gone.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"job.json"});
}

void TestJobFile::writeRefusals_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("error");
    QTest::newRow("a file there") << "file"
                                  << "exists already";
    QTest::newRow("a dangling link there") << "link"
                                           << "exists already";
    QTest::newRow("no image") << "no image"
                              << "cannot use the image";
    QTest::newRow("no slot") << "no slot"
                             << R"("slots" must name at least one port)";
    QTest::newRow("no folder") << "no folder"
                               << "No such file or directory";
}

void TestJobFile::writeRefusals()
{
    QFETCH(QString, what);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString image = dir.filePath("image.bin");
    QVERIFY(writeFile(image, kImageBytes));
    JobSettings s{"WO-1",
                  "s",
                  image,
                  QString(),
                  9600,
                  false,
                  {},
                  {},
                  50,
                  1,
                  {"/dev/ttyUSB0"},
                  0,
                  dir.filePath("r.jsonl")};
    QString path = dir.filePath("job.json");
    if (what == "file")
        QVERIFY(writeFile(path, "keep"));
    if (what == "link")
        QCOMPARE(::symlink("/nonexistent/job.json", QFile::encodeName(path).constData()), 0);
    if (what == "no image")
        s.image = dir.filePath("missing.bin");
    if (what == "no slot")
        s.ports.clear();
    if (what == "no folder")
        path = dir.filePath("none/job.json");
    const QStringList before =
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);

    const flash::ParsedJob written = flash::writeJob(path, s);
    QVERIFY2(written.error.contains(error), qPrintable(written.error));
    // Nothing replaced, nothing left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System), before);
    if (what == "file") {
        QFile kept(path);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep"));
    }
}

QTEST_GUILESS_MAIN(TestJobFile)
#include "tst_jobfile.moc"
