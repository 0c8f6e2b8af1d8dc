#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

// One injected failure: for requests whose method and API path match, wait `delayMs`, then drop the
// connection, or answer with `status` and/or a malformed or given body. Without drop, status or body the
// request is served normally after the delay.
struct FaultRule
{
    int id = 0;
    QString method;      // upper case; empty matches every method
    QString pathPattern; // API path such as "/devices/*"; "*" matches any run of characters except "/"
    std::optional<int> status;
    int delayMs = 0;
    bool drop = false;
    bool malformed = false;
    std::optional<QByteArray> body;
    int remaining = -1; // requests left to hit; -1 is unlimited

    bool matches(const QString &requestMethod, const QString &apiPath) const;
    bool servesNormally() const { return !drop && !status && !malformed && !body; }
    QJsonObject toJson() const;

    // "[METHOD ]PATH=ACTION[,ACTION...]" with ACTION one of status:N, delay:MS, drop, malformed, times:N,
    // body:TEXT (last, as TEXT may hold commas). Throws std::invalid_argument with a readable reason.
    static FaultRule parse(const QString &text);
    // {"method", "path", "status", "delayMs", "drop", "malformed", "body", "times"}; throws like parse.
    static FaultRule fromJson(const QJsonObject &object);
};

class FaultTable final
{
public:
    int add(FaultRule rule);
    void clear() { m_rules.clear(); }
    // The first rule matching the request, counted as used (a rule whose count runs out is removed).
    std::optional<FaultRule> take(const QString &method, const QString &apiPath);
    QJsonArray toJson() const;

private:
    QList<FaultRule> m_rules;
    int m_nextId = 1;
};
