#include "WireGuardConfigRouter.h"

#include "base/TextLines.h"

namespace WireGuardConfigRouter {

namespace {

QString trimmedLowerOfBlanks(const QString &line)
{
    return TextLines::trimmedOfBlanks(line).toLower();
}

} // namespace

const QStringList &smartModeAddresses()
{
    static const QStringList addresses{
        "1.0.0.1/32",      "1.1.1.1/32",       "8.8.4.4/32",     "8.8.8.8/32",     "64.18.0.0/20",
        "64.233.160.0/19", "66.102.0.0/20",    "66.249.80.0/20", "72.14.192.0/18", "74.125.0.0/16",
        "91.108.4.0/22",   "91.108.8.0/22",    "91.108.12.0/22", "91.108.16.0/22", "91.108.20.0/22",
        "91.108.56.0/22",  "95.161.64.0/20",   "104.16.0.0/13",  "104.18.0.0/15",  "108.177.8.0/21",
        "142.250.0.0/15",  "149.154.160.0/20", "172.217.0.0/16", "173.194.0.0/16", "209.85.128.0/17",
        "216.58.192.0/19", "216.239.32.0/19",
    };
    return addresses;
}

const QStringList &enhancedModeAddresses()
{
    static const QStringList addresses{"0.0.0.0/0", "::/0"};
    return addresses;
}

QString replaceAllowedIPs(const QString &text, const QStringList &addresses)
{
    const QString allowed = QStringLiteral("AllowedIPs = ") + addresses.join(QStringLiteral(", "));
    QStringList lines = text.split(u'\n');
    bool replaced = false;
    for (QString &line : lines) {
        if (trimmedLowerOfBlanks(line).startsWith(QLatin1String("allowedips"))) {
            line = allowed;
            replaced = true;
        }
    }
    return replaced ? lines.join(u'\n') : text + u'\n' + allowed;
}

QString ensureDNS(const QString &text)
{
    QStringList lines = text.split(u'\n');
    for (const QString &line : lines) {
        if (trimmedLowerOfBlanks(line).startsWith(QLatin1String("dns")))
            return text;
    }
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (trimmedLowerOfBlanks(lines.at(i)) == QLatin1String("[interface]")) {
            lines.insert(i + 1, QStringLiteral("DNS = 1.1.1.1, 8.8.8.8"));
            break;
        }
    }
    return lines.join(u'\n');
}

QString prepared(const QString &text, OutboundMode outboundMode)
{
    QString body = text.trimmed();
    if (outboundMode == OutboundMode::enhanced)
        body = replaceAllowedIPs(body, enhancedModeAddresses());
    else
        body = replaceAllowedIPs(ensureDNS(body), smartModeAddresses());
    return QStringLiteral("# Tovren outbound mode: ") + rawValue(outboundMode) + u'\n' + body;
}

} // namespace WireGuardConfigRouter
