// The devstack's stand-in for the web sites the client probes: answers the probe paths the way the real
// sites do (204 for /generate_204, 401 for an API without a key, 200 for pages), on loopback only.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovren-devstack-web"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the probe paths of the devstack's local internet on 127.0.0.1:\n"
        "  /generate_204  -> 204 (web probes)\n"
        "  /robots.txt    -> 200 text (direct probe)\n"
        "  /v1/...        -> 401 JSON, as an API without a key answers (AI probes)\n"
        "  anything else  -> 200 HTML page naming the requested host\n"
        "The first line on standard output is the base URL, e.g. http://127.0.0.1:18080"));
    parser.addHelpOption();
    QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on (default: a free one)."),
                                  QStringLiteral("port"), QStringLiteral("0"));
    QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Do not log requests on standard error."));
    parser.addOption(portOption);
    parser.addOption(quietOption);
    parser.process(app);
    const bool quiet = parser.isSet(quietOption);

    QHttpServer server;
    server.route(QStringLiteral("/generate_204"), [] { return QHttpServerResponse(QHttpServerResponder::StatusCode::NoContent); });
    server.route(QStringLiteral("/robots.txt"), [] {
        return QHttpServerResponse(QByteArrayLiteral("text/plain"), QByteArrayLiteral("User-agent: *\nDisallow:\n"));
    });
    server.route(QStringLiteral("/v1/<arg>"), [](const QString &) {
        return QHttpServerResponse(QByteArrayLiteral("application/json"),
                                   QByteArrayLiteral("{\"error\":{\"message\":\"missing api key\"}}"),
                                   QHttpServerResponder::StatusCode::Unauthorized);
    });
    server.afterRequest([quiet](QHttpServerResponse &&response, const QHttpServerRequest &request) {
        if (!quiet)
            QTextStream(stderr) << request.value("Host") << ' ' << request.url().path() << " -> "
                                << int(response.statusCode()) << Qt::endl;
        return std::move(response);
    });
    server.setMissingHandler([](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
        const QByteArray host = QString::fromUtf8(request.value("Host")).toHtmlEscaped().toUtf8();
        responder.write("<!doctype html><title>devstack</title><p>Tovren devstack internet: " + host + "</p>",
                        "text/html; charset=utf-8", QHttpServerResponder::StatusCode::Ok);
    });

    const int port = server.listen(QHostAddress::LocalHost, parser.value(portOption).toUShort());
    if (port == 0) {
        QTextStream(stderr) << "tovren-devstack-web: cannot listen on port " << parser.value(portOption) << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << "http://127.0.0.1:" << port << Qt::endl;
    return QCoreApplication::exec();
}
