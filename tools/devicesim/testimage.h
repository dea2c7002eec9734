#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Firmware images for the demo, the benchmarks and the tests: a 16-byte name field (the product
// name in Latin-1, cut at 16 and padded with spaces) and a payload of pseudo-random bytes. The same
// seed gives the same bytes, so a test can compare what the device received.
namespace testimage {

inline QByteArray nameField(const QByteArray &name)
{
    QByteArray field = name.left(16);
    field.append(QByteArray(16 - field.size(), ' '));
    return field;
}

inline QByteArray payload(qint64 size, quint32 seed = 1)
{
    QByteArray bytes(static_cast<int>(size), '\0');
    quint32 x = seed;
    for (char &c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

inline QByteArray image(const QByteArray &name, qint64 payloadSize, quint32 seed = 1)
{
    return nameField(name) + payload(payloadSize, seed);
}

// False when the file cannot be written whole.
inline bool write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace testimage
