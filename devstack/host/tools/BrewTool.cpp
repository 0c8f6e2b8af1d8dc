// brew: installs the stand-ins of bash and wireguard-tools into the root, or fails with the configured text.
#include "HostLayout.h"
#include "Tools.h"

namespace SimHost {

namespace {

struct Formula
{
    const char *name;
    const char *version;
    Package package;
};

constexpr Formula formulae[] = {
    {"bash", "5.2.37", Package::HomebrewBash},
    {"wireguard-tools", "1.0.20210914", Package::WireGuardTools},
};

const Formula *findFormula(const QString &name)
{
    for (const Formula &formula : formulae) {
        if (name == QLatin1String(formula.name))
            return &formula;
    }
    return nullptr;
}

ToolResult install(const ToolContext &context, const QStringList &names)
{
    QList<const Formula *> wanted;
    for (const QString &name : names) {
        if (name.startsWith(u'-'))
            continue;
        const Formula *formula = findFormula(name);
        if (!formula) {
            return ToolResult::failure(1, QStringLiteral("Warning: No available formula with the name \"%1\".\n"
                                                         "Error: No formulae or casks found for %1.\n")
                                              .arg(name));
        }
        wanted << formula;
    }
    if (wanted.isEmpty())
        return ToolResult::failure(1, QStringLiteral("Error: Invalid usage: This command requires at least 1 named "
                                                     "formula or cask argument.\n"));
    const QString failure = context.store.read().brewInstallFailure;
    if (!failure.isEmpty())
        return ToolResult::failure(1, failure.endsWith(u'\n') ? failure : failure + u'\n');

    QString out;
    QString err;
    for (const Formula *formula : wanted) {
        const QString name = QLatin1String(formula->name);
        const QString version = QLatin1String(formula->version);
        if (isPackageInstalled(context.store, formula->package)) {
            err += QStringLiteral("Warning: %1 %2 is already installed and up-to-date.\n").arg(name, version);
            continue;
        }
        if (!setPackageInstalled(context.store, formula->package, true))
            return ToolResult::failure(1, QStringLiteral("Error: could not link %1\n").arg(name));
        out += QStringLiteral("==> Fetching %1\n==> Pouring %1--%2.arm64_sequoia.bottle.tar.gz\n"
                              "🍺  /opt/homebrew/Cellar/%1/%2: 12 files, 1.2MB\n")
                   .arg(name, version);
    }
    return {0, out.toUtf8(), err.toUtf8()};
}

} // namespace

ToolResult runBrew(const ToolContext &context, const QStringList &arguments)
{
    if (context.privileged) {
        return ToolResult::failure(1, QStringLiteral("Error: Running Homebrew as root is extremely dangerous and no "
                                                     "longer supported.\n"));
    }
    const QString command = arguments.value(0);
    if (command == QLatin1String("install"))
        return install(context, arguments.mid(1));
    if (command == QLatin1String("--prefix"))
        return ToolResult::output(QStringLiteral("/opt/homebrew\n"));
    if (command == QLatin1String("--version"))
        return ToolResult::output(QStringLiteral("Homebrew 4.4.0\n"));
    if (command == QLatin1String("list")) {
        QString text;
        for (const Formula &formula : formulae) {
            if (isPackageInstalled(context.store, formula.package))
                text += QLatin1String(formula.name) + u'\n';
        }
        return ToolResult::output(text);
    }
    return ToolResult::failure(1, QStringLiteral("Error: Unknown command: %1\n").arg(command));
}

} // namespace SimHost
