#include "jobcount.h"
#include "jobimage.h"
#include "joblock.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// What a job does at its start, before any port: pin the image (and watch its file), count what
// the record already holds, and lock the job on the machine.
class TestJobStart : public QObject
{
    Q_OBJECT

private slots:
    void pin_data();
    void pin();
    void watcher_data();
    void watcher();
    void watcherOnItsTimer();
    void watcherGoneWhileHashing();
    void count();
    void lockOncePerMachine();
    void lockGoesWithAKilledHolder();

private:
    QTemporaryDir m_dir;
};

namespace {

// sha256sum of each.
const QByteArray kV11 = "PM-100          V1.1 firmware";
const char kV11Sha[] = "0d35f5c9f34f48f57a65a5021c3e867d9b8389a66bdfc3f7d8e4458ea6a8c5c9";
const QByteArray kV12 = "PM-100          V1.2 firmware";
const char kV12Sha[] = "65738e6ee727fde5358a8fdb3fa392832c19aef700793fb4840346b290d7f696";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Two looks (a change is judged once it held still), and the hash they may start.
void look(flash::ImageWatcher &w)
{
    for (int i = 0; i < 2; ++i) {
        w.check();
        QTRY_VERIFY(!w.hashing());
    }
}

} // namespace

void TestJobStart::pin_data()
{
    QTest::addColumn<QByteArray>("onDisk"); // empty: no file
    QTest::addColumn<QString>("jobSha");
    QTest::addColumn<QString>("error");
    QTest::newRow("the job's image") << kV11 << kV11Sha << "";
    QTest::newRow("the hash in capitals") << kV11 << QString(kV11Sha).toUpper() << "";
    QTest::newRow("another image")
        << kV12 << kV11Sha
        << QString("its SHA-256 is %1, the job's imageSha256 is %2").arg(kV12Sha, kV11Sha);
    QTest::newRow("no file") << QByteArray() << kV11Sha << "cannot use the image";
}

void TestJobStart::pin()
{
    QFETCH(QByteArray, onDisk);
    QFETCH(QString, jobSha);
    QFETCH(QString, error);
    const QString path = m_dir.filePath("pin.bin");
    QFile::remove(path);
    if (!onDisk.isEmpty())
        QVERIFY(writeFile(path, onDisk));
    const flash::ImagePin pin = flash::pinImage(path, jobSha);
    QVERIFY2(error.isEmpty() ? pin.error.isEmpty() : pin.error.contains(error),
             qPrintable(pin.error));
    QCOMPARE(pin.image.bytes, error.isEmpty() ? kV11 : QByteArray());
}

void TestJobStart::watcher_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("told");
    QTest::addColumn<int>("hashes");
    QTest::newRow("left alone: never read") << "none" << false << 0;
    QTest::newRow("touched, the same bytes") << "touch" << false << 1;
    QTest::newRow("the same bytes copied over it") << "copy" << false << 1;
    QTest::newRow("caught mid-copy, then whole again") << "copying" << false << 1;
    QTest::newRow("edited, the same size") << "edit" << true << 1;
    QTest::newRow("edited, its time put back (cp -p, rsync)") << "edit, old time" << true << 1;
    QTest::newRow("another size: no hash needed") << "grow" << true << 0;
    QTest::newRow("removed") << "remove" << true << 0;
}

void TestJobStart::watcher()
{
    QFETCH(QString, change);
    QFETCH(bool, told);
    QFETCH(int, hashes);
    const QString path = m_dir.filePath("watched.bin");
    QFile::remove(path);
    QVERIFY(writeFile(path, kV11));
    const flash::ImagePin pin = flash::pinImage(path, kV11Sha);
    QVERIFY(pin.error.isEmpty());
    flash::ImageWatcher w(pin.image);
    QSignalSpy spy(&w, &flash::ImageWatcher::imageChanged);
    look(w);

    const QByteArray name = QFile::encodeName(path);
    const struct timeval later[2] = {{2000000000, 0}, {2000000000, 0}};
    if (change == "touch")
        QCOMPARE(::utimes(name.constData(), later), 0);
    if (change == "copy")
        QVERIFY(writeFile(path + ".new", kV11) &&
                ::rename(QFile::encodeName(path + ".new"), name) == 0);
    struct stat before
    {
    };
    QCOMPARE(::stat(name.constData(), &before), 0);
    if (change.startsWith("edit") || change == "grow")
        QVERIFY(writeFile(path, change == "grow" ? kV12 + "!" : kV12));
    const struct timespec oldTimes[2] = {before.st_atim, before.st_mtim};
    if (change == "edit, old time")
        QCOMPARE(::utimensat(AT_FDCWD, name.constData(), oldTimes, 0), 0);
    if (change == "remove")
        QVERIFY(QFile::remove(path));
    if (change == "copying") {
        QVERIFY(writeFile(path, kV11.left(10)));
        w.check();
        QVERIFY(writeFile(path, kV11));
    }
    look(w);
    // Told once, and a file that matches again is not read again.
    look(w);
    QCOMPARE(spy.count(), told ? 1 : 0);
    QCOMPARE(w.hashesStarted(), hashes);
    if (told)
        QVERIFY2(spy.first().first().toString().contains(
                     "no longer matches the job (the image read at the start is still the one "
                     "flashed)"),
                 qPrintable(spy.first().first().toString()));
}

void TestJobStart::watcherOnItsTimer()
{
    const QString path = m_dir.filePath("timed.bin");
    QVERIFY(writeFile(path, kV11));
    flash::ImageWatcher w(flash::pinImage(path, kV11Sha).image, 10);
    QSignalSpy spy(&w, &flash::ImageWatcher::imageChanged);
    w.start();
    QVERIFY(QFile::remove(path));
    QTRY_COMPARE(spy.count(), 1);
    QVERIFY(w.told());
}

// The worker's result must not reach a watcher that is gone.
void TestJobStart::watcherGoneWhileHashing()
{
    const QString path = m_dir.filePath("big.bin");
    const QByteArray big = kV11 + QByteArray(32 << 20, 'x');
    QVERIFY(writeFile(path, big));
    const flash::ImagePin pin =
        flash::pinImage(path, QCryptographicHash::hash(big, QCryptographicHash::Sha256).toHex());
    QVERIFY(pin.error.isEmpty());
    auto w = std::make_unique<flash::ImageWatcher>(pin.image);
    const struct timeval later[2] = {{2000000000, 0}, {2000000000, 0}};
    QCOMPARE(::utimes(QFile::encodeName(path).constData(), later), 0);
    w->check();
    w->check();
    QVERIFY(w->hashing());
    w.reset();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}

void TestJobStart::count()
{
    const QByteArray sha = kV11Sha;
    const QByteArray pass = R"({"result":"success","job":"WO-1","imageSha256":")" + sha + "\",";
    const QByteArrayList lines = {
        pass + R"("id":"a1","time":"2026-12-06T07:00:00.000Z","serialNumber":"SN1"})", // yesterday
        R"({"result":"success","job":"WO-2","imageSha256":")" + sha + R"(","serialNumber":"SN2"})",
        R"({"result":"success","job":"WO-1","imageSha256":")" + QByteArray(kV12Sha) +
            R"(","serialNumber":"SN8"})", // the job's earlier image
        pass + R"("id":"a4","serialNumber":"SN1","serialNumberAfter":"SN1"})", // again
        pass + R"("id":"a5","serialNumber":null,"serialNumberAfter":"SN3"})",  // recovered
        pass + R"("id":"a6","serialNumber":null,"serialNumberAfter":null})",   // no serial
        pass + R"("id":"a6","serialNumber":null,"serialNumberAfter":null})",   // found twice
        R"({"result":"verifyFailed","job":"WO-1","imageSha256":")" + sha +
            R"(","serialNumber":"SN4"})",
        R"({"result":"skipped","job":"WO-1","imageSha256":")" + sha + R"(","serialNumber":"SN5"})",
        R"({"result":"success","job":"WO-1","imageSha256":")" + sha.toUpper() +
            R"(","serialNumber":"SN7"})",
        pass + R"("serialNumber":"SN6")",                                              // cut off
        pass + R"("serialNumber":"SN9","pad":")" + QByteArray(64 * 1024, 'x') + "\"}", // too long
        R"({"result":"success","job":"WO-1 ","imageSha256":")" + sha + R"(","serialNumber":"SNA"})",
        R"({"result":"success","imageSha256":")" + sha + R"(","serialNumber":"SNB"})", // no job
    };
    const QString path = m_dir.filePath("record.jsonl");
    QVERIFY(writeFile(path, lines.join('\n') + '\n'));
    const flash::JobPasses passes = flash::countJobPasses(path, "WO-1", kV11Sha);
    QVERIFY2(passes.error.isEmpty(), qPrintable(passes.error));
    QCOMPARE(passes.serials, QSet<QString>({"SN1", "SN3", "SN7"}));
    QCOMPARE(passes.withoutSerial, 1);

    // Not there yet: nothing passed. A folder or a FIFO (not waited on): the count is unknown.
    QVERIFY(QDir().mkpath(m_dir.filePath("folder")));
    QCOMPARE(::mkfifo(QFile::encodeName(m_dir.filePath("fifo")).constData(), 0600), 0);
    for (const char *other : {"missing", "folder", "fifo"}) {
        const flash::JobPasses none = flash::countJobPasses(m_dir.filePath(other), "WO-1", kV11Sha);
        QVERIFY(none.serials.isEmpty());
        QCOMPARE(none.error.contains("not a regular file"), QByteArray(other) != "missing");
    }
}

void TestJobStart::lockOncePerMachine()
{
    QCOMPARE(flash::JobLock::fileName("WO-1"),
             QString("pelmar-job-8ff4011036c880c0a8b06d531cac89f0e1f1638026a8646961e522a41e3041c3"
                     ".lock"));
    QString error;
    flash::JobLock first, second, other;
    QCOMPARE(first.acquire("WO-1", m_dir.path(), &error), flash::JobLock::Outcome::Locked);
    QCOMPARE(second.acquire("WO-1", m_dir.path(), &error), flash::JobLock::Outcome::Busy);
    QVERIFY2(error.startsWith("job already running"), qPrintable(error));
    QCOMPARE(other.acquire("WO-1/2", m_dir.path(), &error), flash::JobLock::Outcome::Locked);
    first.release();
    QCOMPARE(second.acquire("WO-1", m_dir.path(), &error), flash::JobLock::Outcome::Locked);
    QCOMPARE(QFileInfo(second.path()).permissions() & QFile::ReadOther, QFile::ReadOther);

    // A link planted at a lock's path is not followed.
    QVERIFY(writeFile(m_dir.filePath("elsewhere"), "someone's file"));
    QVERIFY(QFile::link(m_dir.filePath("elsewhere"),
                        m_dir.filePath(flash::JobLock::fileName("WO-link"))));
    flash::JobLock planted;
    QCOMPARE(planted.acquire("WO-link", m_dir.path(), &error), flash::JobLock::Outcome::Failed);
}

// The kernel lets the lock go with its holder, even one killed outright.
void TestJobStart::lockGoesWithAKilledHolder()
{
    const QString path = m_dir.filePath(flash::JobLock::fileName("WO-9"));
    QProcess holder;
    // -o: the lock is the flock process's alone, not its command's; "held" once it has it.
    holder.start("flock", {"-o", path, "sh", "-c", "echo held; exec sleep 5"});
    QVERIFY(holder.waitForReadyRead(5000));
    QString error;
    flash::JobLock lock;
    QCOMPARE(lock.acquire("WO-9", m_dir.path(), &error), flash::JobLock::Outcome::Busy);
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QCOMPARE(lock.acquire("WO-9", m_dir.path(), &error), flash::JobLock::Outcome::Locked);
}

QTEST_GUILESS_MAIN(TestJobStart)
#include "tst_jobstart.moc"
