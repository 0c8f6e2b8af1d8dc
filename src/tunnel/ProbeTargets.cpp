#include "ProbeTargets.h"

#include "runtime/HostPaths.h"

#include <QRegularExpression>

namespace ProbeTargets {

const Lists &production()
{
    static const Lists lists{
        {QStringLiteral("https://www.google.com/generate_204"), QStringLiteral("https://www.gstatic.com/generate_204")},
        {QStringLiteral("https://www.google.com/generate_204"), QStringLiteral("https://www.gstatic.com/generate_204"),
         QStringLiteral("https://x.com/robots.txt")},
        {QStringLiteral("https://chatgpt.com/"), QStringLiteral("https://api.openai.com/v1/models"),
         QStringLiteral("https://claude.ai/"), QStringLiteral("https://api.anthropic.com/")},
    };
    return lists;
}

Lists withOverride(const Lists &base, const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    Lists lists = base;
    for (const QString &entry : text.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype equals = entry.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString name = entry.left(equals).trimmed().toLower();
        const QStringList urls = entry.mid(equals + 1).split(separators, Qt::SkipEmptyParts);
        if (name == QLatin1String("web"))
            lists.web = urls;
        else if (name == QLatin1String("direct"))
            lists.direct = urls;
        else if (name == QLatin1String("ai"))
            lists.ai = urls;
    }
    return lists;
}

Lists current()
{
    // Only a simulated Mac may be pointed elsewhere: the product on a real Mac always probes the real services.
    if (HostPaths::root().isEmpty())
        return production();
    const QString text = qEnvironmentVariable("TOVREN_PROBE_TARGETS");
    return text.isEmpty() ? production() : withOverride(production(), text);
}

} // namespace ProbeTargets
