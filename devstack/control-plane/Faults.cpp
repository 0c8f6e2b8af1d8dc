#include "Faults.h"

#include <QRegularExpression>
#include <stdexcept>

namespace {

[[noreturn]] void refuse(const QString &why)
{
    throw std::invalid_argument(why.toStdString());
}

int number(const QString &text, const QString &what, int min, int max)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < min || value > max)
        refuse(QStringLiteral("%1 must be a whole number from %2 to %3, not \"%4\"")
                   .arg(what)
                   .arg(min)
                   .arg(max)
                   .arg(text));
    return value;
}

void checkRule(const FaultRule &rule)
{
    if (!rule.pathPattern.startsWith(QLatin1Char('/')))
        refuse(QStringLiteral("the path must start with \"/\": \"%1\"").arg(rule.pathPattern));
    if (rule.servesNormally() && rule.delayMs == 0)
        refuse(QStringLiteral("a fault needs at least one of status, delay, drop, malformed or body"));
    if (rule.drop && (rule.status || rule.malformed || rule.body))
        refuse(QStringLiteral("a dropped connection sends no status or body"));
}

} // namespace

bool FaultRule::matches(const QString &requestMethod, const QString &apiPath) const
{
    if (!method.isEmpty() && method != requestMethod)
        return false;
    QStringList pieces;
    for (const QString &piece : pathPattern.split(QLatin1Char('*')))
        pieces << QRegularExpression::escape(piece);
    const QString pattern = pieces.join(QStringLiteral("[^/]*"));
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(apiPath).hasMatch();
}

QJsonObject FaultRule::toJson() const
{
    QJsonObject out{
        {QStringLiteral("id"), id},     {QStringLiteral("path"), pathPattern},    {QStringLiteral("delayMs"), delayMs},
        {QStringLiteral("drop"), drop}, {QStringLiteral("malformed"), malformed}, {QStringLiteral("times"), remaining}};
    if (!method.isEmpty())
        out.insert(QStringLiteral("method"), method);
    if (status)
        out.insert(QStringLiteral("status"), *status);
    if (body)
        out.insert(QStringLiteral("body"), QString::fromUtf8(*body));
    return out;
}

FaultRule FaultRule::parse(const QString &text)
{
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq < 0)
        refuse(QStringLiteral("expected [METHOD ]PATH=ACTION[,ACTION...], got \"%1\"").arg(text));
    FaultRule rule;
    const QStringList target = text.left(eq).trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (target.size() == 2) {
        rule.method = target[0].toUpper();
        rule.pathPattern = target[1];
    } else if (target.size() == 1) {
        rule.pathPattern = target[0];
    } else {
        refuse(QStringLiteral("expected [METHOD ]PATH before \"=\", got \"%1\"").arg(text.left(eq)));
    }

    QString actions = text.mid(eq + 1);
    const qsizetype bodyAt = actions.indexOf(QStringLiteral("body:"));
    if (bodyAt >= 0) {
        rule.body = actions.mid(bodyAt + 5).toUtf8();
        actions = actions.left(bodyAt);
    }
    for (const QString &raw : actions.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString action = raw.trimmed();
        const QString name = action.section(QLatin1Char(':'), 0, 0);
        const QString value = action.section(QLatin1Char(':'), 1);
        if (name == QLatin1String("status"))
            rule.status = number(value, QStringLiteral("status"), 100, 599);
        else if (name == QLatin1String("delay"))
            rule.delayMs = number(value, QStringLiteral("delay"), 0, 600000);
        else if (name == QLatin1String("times"))
            rule.remaining = number(value, QStringLiteral("times"), 1, 1000000);
        else if (action == QLatin1String("drop"))
            rule.drop = true;
        else if (action == QLatin1String("malformed"))
            rule.malformed = true;
        else if (!action.isEmpty())
            refuse(QStringLiteral("unknown fault action \"%1\"").arg(action));
    }
    checkRule(rule);
    return rule;
}

FaultRule FaultRule::fromJson(const QJsonObject &object)
{
    FaultRule rule;
    const QJsonValue path = object.value(QStringLiteral("path"));
    if (!path.isString())
        refuse(QStringLiteral("\"path\" must be a string"));
    rule.pathPattern = path.toString();
    const auto integer = [&](const QString &key, int min, int max) -> std::optional<int> {
        const QJsonValue v = object.value(key);
        if (v.isUndefined() || v.isNull())
            return std::nullopt;
        if (!v.isDouble() || v.toDouble() != static_cast<double>(v.toInt()) || v.toInt() < min || v.toInt() > max)
            refuse(QStringLiteral("\"%1\" must be a whole number from %2 to %3").arg(key).arg(min).arg(max));
        return v.toInt();
    };
    const auto flag = [&](const QString &key) {
        const QJsonValue v = object.value(key);
        if (!v.isUndefined() && !v.isNull() && !v.isBool())
            refuse(QStringLiteral("\"%1\" must be true or false").arg(key));
        return v.toBool(false);
    };
    const QJsonValue method = object.value(QStringLiteral("method"));
    if (!method.isUndefined() && !method.isNull() && !method.isString())
        refuse(QStringLiteral("\"method\" must be a string"));
    rule.method = method.toString().toUpper();
    rule.status = integer(QStringLiteral("status"), 100, 599);
    rule.delayMs = integer(QStringLiteral("delayMs"), 0, 600000).value_or(0);
    rule.remaining = integer(QStringLiteral("times"), 1, 1000000).value_or(-1);
    rule.drop = flag(QStringLiteral("drop"));
    rule.malformed = flag(QStringLiteral("malformed"));
    const QJsonValue body = object.value(QStringLiteral("body"));
    if (body.isString())
        rule.body = body.toString().toUtf8();
    else if (!body.isUndefined() && !body.isNull())
        refuse(QStringLiteral("\"body\" must be a string"));
    checkRule(rule);
    return rule;
}

int FaultTable::add(FaultRule rule)
{
    rule.id = m_nextId++;
    m_rules.append(rule);
    return rule.id;
}

std::optional<FaultRule> FaultTable::take(const QString &method, const QString &apiPath)
{
    for (qsizetype i = 0; i < m_rules.size(); ++i) {
        FaultRule &rule = m_rules[i];
        if (!rule.matches(method, apiPath))
            continue;
        const FaultRule hit = rule;
        if (rule.remaining > 0 && --rule.remaining == 0)
            m_rules.removeAt(i);
        return hit;
    }
    return std::nullopt;
}

QJsonArray FaultTable::toJson() const
{
    QJsonArray out;
    for (const FaultRule &rule : m_rules)
        out.append(rule.toJson());
    return out;
}
