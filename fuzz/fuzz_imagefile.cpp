// Writes arbitrary bytes to a file, loads it as a firmware image and runs the name check with a
// device name taken from the same bytes.
#include "imagefile.h"
#include "namecheck.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// One file for the whole run, rewritten for each input. On a disk the file system flushes a
// truncated file when it is closed (about 1 ms a run), so a memory file system is taken if there.
char gPath[4096];

void removeImageFile()
{
    unlink(gPath);
}

const QString &imagePath()
{
    static const QString path = [] {
        const QByteArray dir =
            access("/dev/shm", W_OK) == 0 ? QByteArray("/dev/shm") : QDir::tempPath().toLocal8Bit();
        std::snprintf(gPath, sizeof gPath, "%s/fuzz_imagefile.XXXXXX", dir.constData());
        const int fd = mkstemp(gPath);
        require(fd >= 0, "temporary file created");
        close(fd);
        // Removed at a normal exit; a crashed run leaves it behind.
        std::atexit(removeImageFile);
        return QString::fromLocal8Bit(gPath);
    }();
    return path;
}

void writeFile(const QString &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.toLocal8Bit().constData(), "wb");
    require(f != nullptr, "temporary file opened for writing");
    require(size == 0 || std::fwrite(data, 1, size, f) == size, "temporary file written");
    require(std::fclose(f) == 0, "temporary file closed");
}

// Latin-1 code units as they are, anything else '?', cut at the first NUL, padded with spaces
// to 16 bytes.
QByteArray referenceField(const QString &name)
{
    QByteArray field;
    for (const QChar c : name) {
        if (c.unicode() == 0)
            break;
        field.append(c.unicode() < 256 ? static_cast<char>(c.unicode()) : '?');
    }
    while (field.size() < 16)
        field.append(' ');
    return field;
}

} // namespace

// The whole input is the file. Its last byte L chooses the device name: bits 0-4 its length
// (up to 31 bytes, taken from just before L), bit 5 whether a name was received at all, bit 6
// whether the name bytes are read as UTF-8 or as Latin-1, bit 7 a size limit for the loader.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString &path = imagePath();
    writeFile(path, data, size);
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));

    const FirmwareImage image = loadFirmwareImage(path);
    require(image.ok, "a regular file under the limit loads");
    require(image.bytes == input, "loaded bytes equal the file");
    require(image.error.isEmpty(), "no error text on success");

    const uint8_t control = size ? data[size - 1] : 0;
    if (control & 0x80) {
        const qint64 limit = size > 1 ? data[0] * 16 : 0;
        const FirmwareImage limited = loadFirmwareImage(path, limit);
        require(limited.ok == (static_cast<qint64>(size) <= limit), "size limit applied exactly");
        require(limited.ok ? limited.bytes == input : limited.bytes.isEmpty(),
                "a refused file yields no bytes");
        require(limited.ok || !limited.error.isEmpty(), "a refusal says why");
    }

    const size_t nameSize = qMin<size_t>(control & 0x1F, size ? size - 1 : 0);
    const char *nameBytes = reinterpret_cast<const char *>(data) + (size ? size - 1 : 0) - nameSize;
    const bool received = control & 0x20;
    const QString name = (control & 0x40)
                             ? QString::fromUtf8(nameBytes, static_cast<int>(nameSize))
                             : QString::fromLatin1(nameBytes, static_cast<int>(nameSize));
    // The window trims the received name before asking for its field.
    const QString trimmed = name.trimmed();

    const QByteArray field = expectedNameField(trimmed);
    require(field == referenceField(trimmed), "name field: Latin-1, cut at NUL, padded to 16");

    const bool accepted = nameFieldAccepted(image.bytes, field, received);
    // The exact-size view catches a read past the image that the copy's NUL would hide.
    require(nameFieldAccepted(input, field, received) == accepted, "same verdict on the view");
    const bool expected =
        input.size() >= 16 &&
        (!received || (field.size() == 16 && std::memcmp(data, field.constData(), 16) == 0));
    require(accepted == expected,
            "accepted exactly when the image has a name field and no name or a match");
    if (accepted)
        require(image.bytes.size() >= 16, "acceptance needs the whole name field");
    if (accepted && received)
        require(image.bytes.left(16) == field, "a named device's field matches");
    return 0;
}
