#include "identity.h"

namespace {

// Copies the value between the first colon at or after `marker` and `end`. Without a colon there
// is no value at all; with the end missing (or before the colon) nothing is copied either.
QString valueAfter(const QString &text, int marker, int end)
{
    const int colon = text.indexOf(QLatin1Char(':'), marker);
    if (colon < 0 || end < 0 || colon + 1 >= end)
        return QString();
    return text.mid(colon + 1, end - colon - 1);
}

} // namespace

Identity parseIdentity(const QByteArray &batch, const IdentityLabels &labels)
{
    const int nul = batch.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? batch : batch.left(nul));

    Identity id;
    id.text = QStringLiteral("\r\n");

    // The device may echo the query in front of its reply; the search starts at position 1, so a
    // marker at the very first character is not taken.
    const int name = text.indexOf(QLatin1String("PRODUCT"), 1);
    if (name >= 0) {
        // The name runs up to LF and keeps a CR in front of it: the device ends the line CR LF.
        id.productName = valueAfter(text, name, text.indexOf(QLatin1Char('\n'), name));
        id.text += labels.name + id.productName;
        id.nameFound = true;
    }

    const int serial = text.indexOf(QLatin1String("PRODUCT SN"), 1);
    if (serial >= 0) {
        id.serialNumber = valueAfter(text, serial, text.indexOf(QLatin1String("\r\n"), serial));
        id.text += QLatin1Char('\n') + labels.serial + id.serialNumber;
    }

    const int version = text.indexOf(QLatin1String("SW VERSION"), 1);
    if (version >= 0) {
        id.version = valueAfter(text, version, text.indexOf(QLatin1String("\r\n"), version));
        id.text += QLatin1String("\r\n") + labels.version + id.version;
    }
    return id;
}

QByteArray identityReply(const QByteArray &product, const QByteArray &serial,
                         const QByteArray &version)
{
    return "\r\nPRODUCT:" + product + "\r\nPRODUCT SN:" + serial + "\r\nSW VERSION:" + version +
           "\r\n";
}
