// Feeds arbitrary bytes, as one batch from the device, to the identity parser and checks the
// parse against a step-by-step reading of the reply format written here.
#include "identity.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The shortest labels of the catalogue (the Chinese source texts): with them any found field must
// still make the text longer than 6 characters, which the handshake relies on.
const IdentityLabels &labels()
{
    static const IdentityLabels l{QString::fromUtf8("设备名称:"), QString::fromUtf8("设备序列号:"),
                                  QString::fromUtf8("固件版本:")};
    return l;
}

// Characters after the first colon at or after the marker, up to the line end; nothing when no
// colon follows or the line end comes first or is missing.
QString referenceValue(const QString &t, int marker, const QString &lineEnd)
{
    const int colon = t.indexOf(QLatin1Char(':'), marker);
    const int end = t.indexOf(lineEnd, marker);
    QString value;
    if (colon < 0)
        return value;
    for (int i = colon + 1; i < end; ++i)
        value.append(t.at(i));
    return value;
}

Identity referenceIdentity(const char *data, size_t size)
{
    const void *nul = std::memchr(data, 0, size);
    const size_t textSize = nul ? static_cast<const char *>(nul) - data : size;
    const QString t = QString::fromUtf8(data, static_cast<int>(textSize));

    Identity id;
    id.text = QStringLiteral("\r\n");
    const int p = t.indexOf(QLatin1String("PRODUCT"), 1);
    if (p >= 0) {
        id.productName = referenceValue(t, p, QStringLiteral("\n"));
        id.text += labels().name + id.productName;
        id.nameFound = true;
    }
    const int s = t.indexOf(QLatin1String("PRODUCT SN"), 1);
    if (s >= 0)
        id.text += QLatin1Char('\n') + labels().serial + referenceValue(t, s, "\r\n");
    const int v = t.indexOf(QLatin1String("SW VERSION"), 1);
    if (v >= 0)
        id.text += QStringLiteral("\r\n") + labels().version + referenceValue(t, v, "\r\n");
    return id;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    // A view of the fuzzer's exact-size buffer: a read past its end is caught, which it would not
    // be behind the terminating NUL of a copied QByteArray.
    const QByteArray batch = QByteArray::fromRawData(bytes, static_cast<int>(size));
    const Identity id = parseIdentity(batch, labels());

    require(id.text.startsWith(QLatin1String("\r\n")), "text starts with CR LF");
    require(id.nameFound || id.productName.isEmpty(),
            "no product name unless the marker was found");
    require(!id.productName.contains(QLatin1Char('\n')), "product name ends before the LF");
    require(!id.productName.contains(QChar(0)), "product name stops at the first NUL");
    if (id.nameFound)
        require(id.text.startsWith(QStringLiteral("\r\n") + labels().name + id.productName),
                "the name line comes first");
    require((id.text.size() == 2) == (id.text == QLatin1String("\r\n")), "CR LF alone");
    require(id.text.size() == 2 || id.text.size() > 6,
            "a found field makes the text longer than 6");

    const Identity ref = referenceIdentity(bytes, size);
    require(id.nameFound == ref.nameFound, "nameFound matches the reference");
    require(id.productName == ref.productName, "productName matches the reference");
    require(id.text == ref.text, "text matches the reference");

    // Bytes after the first NUL are not searched.
    const int nul = batch.indexOf('\0');
    if (nul >= 0) {
        const Identity head = parseIdentity(batch.left(nul), labels());
        require(head.text == id.text && head.productName == id.productName &&
                    head.nameFound == id.nameFound,
                "bytes after the first NUL change nothing");
    }
    return 0;
}
