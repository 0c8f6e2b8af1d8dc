// Feeds arbitrary bytes as the control plane's version records and as the date texts it sends (expiry,
// last login, ticket creation). A version policy only demands action for "rollback" and "force" and only
// offers a web address; a date is shown as "MM-dd", as at most ten characters of the text, or as "-".
#include "FuzzSupport.h"

#include "api/CatalogueRecords.h"
#include "base/JsonDecoding.h"
#include "state/ControlPlaneMapping.h"
#include "state/VersionPolicy.h"
#include "state/Workspace.h"

#include <QRegularExpression>

using Fuzz::require;

namespace {

void checkVersions(const QByteArray &bytes)
{
    APIVersionsResponse answer;
    try {
        answer = decodeAnswer<APIVersionsResponse>(bytes);
    } catch (const DecodingError &) {
        return;
    }
    for (const APIAppVersion &version : answer.versions) {
        const QString latest = versionWithLeadingV(version.latestVersion);
        require(latest.startsWith(u'v') && latest.endsWith(version.latestVersion), "a shown version keeps its text");
        for (const QString &appVersion : {QStringLiteral("v9.7.3"), latest}) {
            const VersionPolicy policy = VersionPolicy::of(version, appVersion);
            const QString mode = version.updateMode.toLower();
            require(policy.requiresAction == (mode == u"rollback" || mode == u"force"),
                    "only rollback and force demand action");
            require(!policy.text.isEmpty(), "a policy always has a text");
            require(!policy.downloadAddress || Workspace::isWebAddress(*policy.downloadAddress),
                    "only a web address is offered");
            if (!policy.requiresAction && appVersion == latest && version.rolloutPercent.value_or(100) >= 100)
                require(policy.text == QStringLiteral("已是最新"), "the running latest version is up to date");
        }
    }
}

void checkDate(const QString &text)
{
    static const QRegularExpression monthDay(QStringLiteral("^\\d\\d-\\d\\d$"));
    const QString shown = shortDateText(text);
    if (text.isEmpty()) {
        require(shown == QLatin1String("-"), "no date shows as a dash");
        return;
    }
    require(shown == text.left(10) || monthDay.match(shown).hasMatch(), "a date is month-day or the text's start");
    require(shown.size() <= 10, "a date text is short");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzz::bytes(data, size);
    checkVersions(bytes);
    const QString text = Fuzz::text(data, size);
    checkDate(text);
    for (const QString &line : text.split(u'\n'))
        checkDate(line);
    return 0;
}
