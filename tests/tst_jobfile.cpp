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

// A valid job changed: "KEY" leaves the key out; "\"KEY\": ..." sets it (and whatever follows);
// "= TEXT" is the whole file.
QByteArray jobText(const QByteArray &change)
{
    if (change.startsWith("= "))
        return change.mid(2);
    const QByteArray first =
        change.startsWith('"') ? change.mid(1, change.indexOf('"', 1) - 1) : change;
    QByteArrayList pairs;
    for (const auto &kv : kValid) {
        if (kv.first != first)
            pairs << "\"" + kv.first + "\": " + kv.second;
    }
    if (change.startsWith('"'))
        pairs << change;
    return "{" + pairs.join(", ") + "}";
}

struct Refusal
{
    const char *name;
    const char *change; // by jobText(); "@KIND": no job text but a missing file, a folder...
    const char *error;
};

const Refusal kRefusals[] = {
    {"a typo", R"("quantitiy": 500)", R"("quantitiy" is not a key of a job file)"},
    {"a key twice", R"("slots": ["/dev/a"], "slots": ["/dev/b"])", R"("slots" is given twice)"},
    {"a key twice, spelled with an escape", R"("n\u0061me": "WO-1")", R"("name" is given twice)"},
    {"a key twice, nested", R"("slots": [{"a": 1, "a": 2}])", R"("a" is given twice)"},
    {"name empty", R"("name": "  ")", R"("name" must be a text on one line)"},
    {"name on two lines", R"("name": "WO-1\nWO-2")", R"("name" must be a text on one line)"},
    {"station a number", R"("station": 3)", R"("station" must be a text on one line)"},
    {"hash too short", R"("imageSha256": "0d35f5c9")", R"("imageSha256" must be 64 hexadecimal)"},
    {"hash not hex",
     R"("imageSha256": "0x35f5c9f34f48f57a65a5021c3e867d9b8389a66bdfc3f7d8e4458ea)"
     R"(6a8c5c9")",
     R"("imageSha256" must be 64 hexadecimal digits)"},
    {"slots empty", R"("slots": [])", R"("slots" must name at least one port)"},
    {"slots: an empty name", R"("slots": ["/dev/a", ""])", R"("slots" item 2 must name a port)"},
    {"slots a text", R"("slots": "/dev/ttyUSB0")", R"("slots" must be a list of ports)"},
    {"slots: a port twice", R"("slots": ["/dev/a", "/dev/a"])", R"("slots" names /dev/a twice)"},
    {"slots: one port under two names", R"("slots": ["/dev/ttyS0", "ttyS0"])",
     R"("slots" names one port twice: /dev/ttyS0 and ttyS0)"},
    {"baud as text", R"("baud": "115200")", R"("baud" must be 9600 or 115200)"},
    {"baud 57600", R"("baud": 57600)", R"("baud" must be 9600 or 115200)"},
    {"verify as text", R"("verify": "yes")", R"("verify" must be true or false)"},
    {"pace over 4.6 s", R"("pace": 4601)",
     R"("pace" must be a whole number of milliseconds from 0 to 4600)"},
    {"pace a fraction", R"("pace": 50.5)", R"("pace" must be a whole number)"},
    {"attempts 21", R"("attempts": 21)", R"("attempts" must be a whole number from 1 to 20)"},
    {"quantity 0", R"("quantity": 0)", R"("quantity" must be a whole number from 1 to 1000000)"},
    {"skipIfVersion empty", R"("skipIfVersion": "")", R"("skipIfVersion" must be a text)"},
    {"expectVersion without verify", R"("expectVersion": "V1.1")",
     R"("expectVersion" needs "verify": true)"},
    {"the record is the job file", R"("record": "job.json")",
     R"("record" names the job file itself)"},
    {"not JSON", R"(= {"name": "WO-1",})", "not JSON"},
    {"an empty file", "= ", "not JSON"},
    {"a list", R"(= [{"name": "WO-1"}])", "not a JSON object"},
    {"no file", "@missing", "cannot be read: No such file or directory"},
    {"a folder", "@folder", "a folder, not a job file"},
    {"a FIFO, not waited on", "@fifo", "not a regular file"},
    {"too large", "@large", "larger than 1048576 bytes"},
};

// Keys and duplicates found by the tokenizer; `key` null: none.
const struct
{
    const char *json;
    const char *key;
} kDuplicates[] = {
    {R"({"a": 1, "b": [1, 2], "c": {"a": 2}})", nullptr},
    {R"({"a": {"x": 1, "y": {}, "x": 2}})", "x"},
    {R"({"a": [{"x": 1}, {"x": 2}]})", nullptr},
    {R"({"a": [1, {"b": [2]}], "c": 3, "a": 4})", "a"},
    // Plain literals: moc misreads some raw ones.
    {"{\"a\": \"\\\"a\\\": 1, \", \"b\": 1}", nullptr},
    {"{\"a\": \"\\\"\", \"a\": 1}", "a"},
    {"{\"x\": \"\\\\\", \"x\": 1}", "x"},
    {R"({"\u0061": 1, "a": 2})", "a"},
    {R"({"\ud83d\ude00": 1, "😀": 2})", "😀"},
    {R"({"": 1, "": 2})", ""},
};

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
        .join(" ; ");
}

} // namespace

class TestJobFile : public QObject
{
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void accepted();
    void duplicateKeys();
    void roundTrip_data();
    void roundTrip();
    void writeRefusals_data();
    void writeRefusals();

private:
    QTemporaryDir m_dir;
};

void TestJobFile::refusals_data()
{
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<QString>("error");
    for (const Refusal &r : kRefusals)
        QTest::newRow(r.name) << QByteArray(r.change) << QString(r.error);
    for (const auto &kv : kValid)
        QTest::newRow(("without " + kv.first).constData())
            << kv.first << QString("\"%1\" is missing").arg(kv.first.data());
}

void TestJobFile::refusals()
{
    QFETCH(QByteArray, change);
    QFETCH(QString, error);
    const QString path = m_dir.filePath(QString(QTest::currentDataTag()) + "/job.json");
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    if (change == "@folder")
        QVERIFY(QDir().mkpath(path));
    else if (change == "@fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (change == "@large")
        QVERIFY(writeFile(path, jobText(R"("pad": ")" + QByteArray(1 << 20, 'x') + "\"")));
    else if (change != "@missing")
        QVERIFY(writeFile(path, jobText(change)));
    const QString parsed = flash::parseJob(path).error;
    QVERIFY2(parsed.startsWith("job file " + path + ": ") && parsed.contains(error),
             qPrintable(parsed));
}

// The defaults, paths from the job file's folder whatever the working folder, the file's hash.
void TestJobFile::accepted()
{
    const QString folder = m_dir.filePath("line3");
    QVERIFY(QDir().mkpath(folder));
    // A byte order mark, an upper-case hash, a key's name inside a value, an absolute record.
    const QByteArray text =
        "\xEF\xBB\xBF" + jobText(R"("imageSha256": ")" + QByteArray(kImageSha).toUpper() + "\"")
                             .replace(R"("line3-east")", R"("line3-east\", \"name\": \"x")")
                             .replace(R"("line3-east.jsonl")", R"("/var/lib/pelmar/l3.jsonl")");
    QVERIFY(writeFile(folder + "/job.json", text));
    QVERIFY(QDir::setCurrent(m_dir.path()));
    const flash::ParsedJob parsed = flash::parseJob("line3/job.json");
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    QCOMPARE(described(parsed.job.settings),
             QString("WO-2026-1207 PM-100 V1.1 ; line3-east\", \"name\": \"x ; %1 ; %2 ; 115200 ; "
                     "0 ;  ;  ; 50 ; 1 ; /dev/ttyUSB0|/dev/ttyUSB1 ; 0 ; /var/lib/pelmar/l3.jsonl")
                 .arg(folder + "/PM-100_V1.1.bin", kImageSha));
    QCOMPARE(parsed.job.file, folder + "/job.json");
    QCOMPARE(parsed.job.fileSha256,
             QString(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()));
}

void TestJobFile::duplicateKeys()
{
    for (const auto &d : kDuplicates) {
        const QString found = flash::firstDuplicateKey(d.json);
        QVERIFY2(d.key ? found == QString(d.key) && !found.isNull() : found.isNull(), d.json);
    }
}

void TestJobFile::roundTrip_data()
{
    QTest::addColumn<bool>("full");
    QTest::addColumn<QByteArray>("text");
    // The key order of the documentation's example.
    QTest::newRow("every key") << true << QByteArray(R"({
    "name": "WO-2026-1207 PM-100 V1.1",
    "station": "line3-east",
    "image": "images/PM-100_V1.1.bin",
    "imageSha256": "SHA",
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
    "record": "/OUTSIDE/shift.jsonl"
}
)");
    QTest::newRow("defaults") << false << QByteArray(R"({
    "name": "WO-7",
    "station": "s",
    "image": "/OUTSIDE/image.bin",
    "imageSha256": "SHA",
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
    const QString folder = m_dir.filePath(QTest::currentDataTag());
    QVERIFY(QDir().mkpath(folder + "/images"));
    JobSettings s{
        "WO-7",           "s", outside.filePath("image.bin"), {}, 115200, false, {}, {}, 50, 1,
        {"/dev/ttyUSB0"}, 0,   folder + "/shift.jsonl"};
    if (full)
        s = {"WO-2026-1207 PM-100 V1.1",
             "line3-east",
             folder + "/images/PM-100_V1.1.bin",
             {},
             9600,
             true,
             "V1.1",
             "V1.1",
             0,
             3,
             {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0", "/dev/ttyUSB1"},
             500,
             outside.filePath("shift.jsonl")};
    QVERIFY(writeFile(s.image, kImageBytes));
    const flash::ParsedJob written = flash::writeJob(folder + "/job.json", s);
    QVERIFY2(written.error.isEmpty(), qPrintable(written.error));

    QFile file(folder + "/job.json");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString(file.readAll()),
             QString(text).replace("/OUTSIDE", outside.path()).replace("SHA", kImageSha));
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
                  {},
                  9600,
                  false,
                  {},
                  {},
                  50,
                  1,
                  {"/dev/ttyUSB0"},
                  0,
                  dir.filePath("r.jsonl")};
    const QString path = dir.filePath("job.json");
    if (what == "file")
        QVERIFY(writeFile(path, "keep"));
    if (what == "link")
        QVERIFY(QFile::link("/nonexistent/job.json", path));
    if (what == "no image")
        s.image = dir.filePath("missing.bin");
    if (what == "no slot")
        s.ports.clear();
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);

    const flash::ParsedJob written = flash::writeJob(path, s);
    QVERIFY2(written.error.contains(error), qPrintable(written.error));
    // Nothing replaced, nothing left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), before);
    QFile kept(path);
    QVERIFY(what != "file" || (kept.open(QIODevice::ReadOnly) && kept.readAll() == "keep"));
}

QTEST_GUILESS_MAIN(TestJobFile)
#include "tst_jobfile.moc"
