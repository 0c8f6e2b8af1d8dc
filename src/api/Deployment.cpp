#include "Deployment.h"

#include <QtGlobal>

namespace Deployment {

const QList<QUrl> &productionBaseURLs()
{
    // Three origins on two registrars and two providers, so that losing one name or one network still leaves a
    // way in.
    static const QList<QUrl> urls{
        QUrl(QStringLiteral("https://api.tovren.com/api")),
        QUrl(QStringLiteral("https://api.tovren.net/api")),
        QUrl(QStringLiteral("https://cp.tovren.io/api")),
    };
    return urls;
}

QUrl productionBaseURL()
{
    return productionBaseURLs().first();
}

QUrl controlPlaneBaseURL()
{
    const QString value = qEnvironmentVariable(controlPlaneVariable).trimmed();
    if (value.isEmpty())
        return productionBaseURL();
    const QUrl url(value, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        qWarning("%s is not an absolute http or https URL; using the production control plane", controlPlaneVariable);
        return productionBaseURL();
    }
    return url;
}

QUrl publicWebOrigin()
{
    return QUrl(QStringLiteral("https://tovren.com"));
}

QUrl webClientURL()
{
    QUrl url = publicWebOrigin();
    url.setPath(QStringLiteral("/client/"));
    return url;
}

} // namespace Deployment
