#pragma once

#include <QByteArray>
#include <QString>

struct IdentityLabels
{
    QString name;
    QString serial;
    QString version;
};

struct Identity
{
    QString text;        // begins with CR LF; exactly CR LF when no marker was found
    QString productName; // value of the PRODUCT line, trailing CR kept
    bool nameFound = false;
    // The other two values as they appear in the text; empty when their marker was not found.
    QString serialNumber;
    QString version;
};

// Builds the identity text from one batch of bytes the device sent. The labels are put in front
// of the values as given, so the caller decides the language at the moment of parsing.
Identity parseIdentity(const QByteArray &batch, const IdentityLabels &labels);

// The reply a device gives to the identity query, as the lines above are read from it: the name
// line before the serial-number line, none at the first character. The simulated device and the
// tests' devices answer with it.
QByteArray identityReply(const QByteArray &product, const QByteArray &serial,
                         const QByteArray &version);
