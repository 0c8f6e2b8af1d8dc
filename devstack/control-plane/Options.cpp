#include "Options.h"

#include <QCommandLineParser>
#include <stdexcept>

namespace {

const char *const description = R"(Stand-in for the Tovren control plane, for development and tests.

Serves the client's API under the base path over HTTP and HTTPS on loopback and prints
the base URLs as the first line of standard output, separated by one space (HTTP first):
  http://127.0.0.1:PORT/api https://127.0.0.1:PORT/api
Every request is logged on standard error.

Devstack-only paths (outside the API, loopback clients only):
  GET    /__devstack/health       {"ok": true}
  GET    /__devstack/state        accounts, devices, codes sent, protocol-config requests,
                                  connection and crash reports, tickets, faults, recent requests
  GET    /__devstack/certificate  the HTTPS certificate (PEM) a client must trust
  GET    /__devstack/faults       the fault switches in force
  POST   /__devstack/faults       add one ({"path", "method", "status", "delayMs", "drop",
                                  "malformed", "body", "times"}) or several ({"faults": [...]})
  DELETE /__devstack/faults       remove every fault switch
  POST   /__devstack/settings     change {"upstream", "provisioningDelayMs", "retryAfterMs",
                                  "maxWaitMs", "revealDebugCode"}
  POST   /__devstack/sessions/expire  end every session, or those of {"identity"}
  POST   /__devstack/reset        back to the data set and the start-up options

Fault rules (--fault, repeatable): "[METHOD ]PATH=ACTION[,ACTION...]" where PATH is an API
path below the base path ("*" matches within one path segment) and ACTION is one of
  status:N      answer with HTTP status N (and an error body)
  delay:MS      wait MS milliseconds first (alone: then answer normally)
  drop          close the connection without an answer
  malformed     send a body that is not valid JSON
  times:N       apply to the next N matching requests only (default: all)
  body:TEXT     send TEXT as the body (must come last)
Examples: --fault "/nodes=status:503"  --fault "POST /auth/login=delay:2000,times:1"
          --fault "/client/devices/*/protocol-config=drop")";

int integerOption(const QCommandLineParser &parser, const QString &name, int min, int max)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < min || value > max)
        throw std::invalid_argument(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                                        .arg(name)
                                        .arg(min)
                                        .arg(max)
                                        .arg(parser.value(name))
                                        .toStdString());
    return value;
}

} // namespace

std::optional<Options> parseOptions(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    const QCommandLineOption help = parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("data"),
         QStringLiteral("Catalogue and accounts (JSON). Default: the built-in demo data set "
                        "(devstack/control-plane/demo-data.json)."),
         QStringLiteral("file")},
        {QStringLiteral("listen"), QStringLiteral("Address to listen on. Default: 127.0.0.1."),
         QStringLiteral("address")},
        {QStringLiteral("port"), QStringLiteral("HTTP port; 0 picks a free one. Default: 0."), QStringLiteral("port")},
        {QStringLiteral("https-port"), QStringLiteral("HTTPS port; 0 picks a free one. Default: 0."),
         QStringLiteral("port")},
        {QStringLiteral("no-http"), QStringLiteral("Serve HTTPS only.")},
        {QStringLiteral("no-https"), QStringLiteral("Serve plain HTTP only.")},
        {QStringLiteral("base-path"), QStringLiteral("Path the API lives under. Default: /api."),
         QStringLiteral("path")},
        {QStringLiteral("tls-cert"), QStringLiteral("HTTPS certificate (PEM), with --tls-key."),
         QStringLiteral("file")},
        {QStringLiteral("tls-key"), QStringLiteral("Private key (PEM) of --tls-cert."), QStringLiteral("file")},
        {QStringLiteral("openssl"),
         QStringLiteral("openssl used to make a fresh self-signed certificate at start. Default: openssl on PATH; "
                        "without it the built-in test certificate is used."),
         QStringLiteral("path")},
        {QStringLiteral("certificate-out"),
         QStringLiteral("Write the HTTPS certificate (PEM) here for clients to trust."), QStringLiteral("file")},
        {QStringLiteral("upstream"),
         QStringLiteral("Where every endpoint's proxy outbound leads: socks://[user:pass@]host:port or "
                        "http://[user:pass@]host:port. Default: the data set's settings.upstream."),
         QStringLiteral("url")},
        {QStringLiteral("provisioning-ms"),
         QStringLiteral("How long a node provisions a device's credentials before its configuration is ready."),
         QStringLiteral("ms")},
        {QStringLiteral("retry-after-ms"), QStringLiteral("retry_after_ms sent while not ready."),
         QStringLiteral("ms")},
        {QStringLiteral("max-wait-ms"), QStringLiteral("max_wait_ms sent while not ready."), QStringLiteral("ms")},
        {QStringLiteral("fault"), QStringLiteral("Fault switch, repeatable (see below)."), QStringLiteral("rule")},
        {QStringLiteral("max-body-bytes"),
         QStringLiteral("Largest request body accepted (413 above). Default: 1048576."), QStringLiteral("bytes")},
        {QStringLiteral("hide-debug-code"),
         QStringLiteral("Leave debugCode out of verification-code answers (codes stay visible in /__devstack/state).")},
        {QStringLiteral("quiet"), QStringLiteral("Do not log requests on standard error.")},
    });

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return std::nullopt;
    }

    Options o;
    try {
        o.dataFile = parser.value(QStringLiteral("data"));
        if (parser.isSet(QStringLiteral("listen")) && !o.listen.setAddress(parser.value(QStringLiteral("listen"))))
            throw std::invalid_argument("--listen takes an IP address");
        o.http = !parser.isSet(QStringLiteral("no-http"));
        o.https = !parser.isSet(QStringLiteral("no-https"));
        if (!o.http && !o.https)
            throw std::invalid_argument("--no-http and --no-https leave nothing to serve");
        if (parser.isSet(QStringLiteral("port")))
            o.port = static_cast<quint16>(integerOption(parser, QStringLiteral("port"), 0, 65535));
        if (parser.isSet(QStringLiteral("https-port")))
            o.httpsPort = static_cast<quint16>(integerOption(parser, QStringLiteral("https-port"), 0, 65535));
        if (parser.isSet(QStringLiteral("base-path"))) {
            o.basePath = parser.value(QStringLiteral("base-path"));
            while (o.basePath.endsWith(QLatin1Char('/')))
                o.basePath.chop(1);
            if (!o.basePath.isEmpty() && !o.basePath.startsWith(QLatin1Char('/')))
                throw std::invalid_argument("--base-path must start with \"/\"");
        }
        o.tlsCertificate = parser.value(QStringLiteral("tls-cert"));
        o.tlsKey = parser.value(QStringLiteral("tls-key"));
        o.openssl = parser.value(QStringLiteral("openssl"));
        o.certificateOut = parser.value(QStringLiteral("certificate-out"));
        if (parser.isSet(QStringLiteral("upstream")))
            o.overrides.upstream = Upstream::fromUrl(parser.value(QStringLiteral("upstream")));
        if (parser.isSet(QStringLiteral("provisioning-ms")))
            o.overrides.provisioningDelayMs = integerOption(parser, QStringLiteral("provisioning-ms"), 0, 3600000);
        if (parser.isSet(QStringLiteral("retry-after-ms")))
            o.overrides.retryAfterMs = integerOption(parser, QStringLiteral("retry-after-ms"), 0, 3600000);
        if (parser.isSet(QStringLiteral("max-wait-ms")))
            o.overrides.maxWaitMs = integerOption(parser, QStringLiteral("max-wait-ms"), 0, 3600000);
        for (const QString &rule : parser.values(QStringLiteral("fault")))
            o.overrides.faults.append(FaultRule::parse(rule));
        if (parser.isSet(QStringLiteral("max-body-bytes")))
            o.maxBodyBytes = integerOption(parser, QStringLiteral("max-body-bytes"), 1, 1 << 30);
        o.overrides.hideDebugCode = parser.isSet(QStringLiteral("hide-debug-code"));
        o.quiet = parser.isSet(QStringLiteral("quiet"));
    } catch (const std::invalid_argument &e) {
        *error = QString::fromStdString(e.what());
        return std::nullopt;
    }
    return o;
}
