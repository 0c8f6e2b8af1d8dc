// The public catalogue (endpoints, plans, client versions) and the plan pages on the web.
#include "AccountService.h"
#include "ControlPlaneMapping.h"
#include "EndpointRanking.h"
#include "VersionPolicy.h"
#include "Workspace.h"
#include "api/Deployment.h"

namespace {

// Every key and value fully percent-encoded: a "+" stays a plus sign, and an address given as a value (the
// sign-in page's "next") keeps its own "&" and "=" to itself.
QString queryText(const QList<QPair<QString, QString>> &items)
{
    QStringList pairs;
    for (const auto &[key, value] : items)
        pairs.append(QString::fromLatin1(QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value)));
    return pairs.join(QLatin1Char('&'));
}

// `base` with `segment` put after its path, whether or not the path ends with "/".
QUrl below(const QUrl &base, const QString &segment)
{
    QUrl url = base;
    QString path = base.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + segment);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

} // namespace

QCoro::Task<void> AccountService::refreshPublicData()
{
    const StateModel::BusyMark busy(m_model);

    try {
        const APINodesResponse answer = co_await m_dependencies.api->nodes();
        QList<Endpoint> reachable;
        for (const APINode &node : answer.nodes) {
            Endpoint endpoint = endpointFromNode(node);
            if (endpoint.status != NodeStatus::offline)
                reachable.append(endpoint);
        }
        m_model.setEndpoints(reachable);
        if (!m_model.selectedEndpointId()) {
            if (const std::optional<Endpoint> recommended = m_ranking.recommendedEndpoint(reachable))
                m_model.setSelectedEndpointId(recommended->id);
        }
        m_model.appendLog(QStringLiteral("节点列表同步完成。"));
    } catch (const std::exception &error) {
        m_model.present(error, QStringLiteral("节点列表同步失败"));
    }

    try {
        const APIPlansResponse answer = co_await m_dependencies.api->plans();
        QList<Plan> plans;
        for (qsizetype i = 0; i < answer.plans.size(); ++i)
            plans.append(planFromAPI(answer.plans.at(i), i == 1)); // the second plan is the highlighted one
        m_model.setPlans(plans);
    } catch (const std::exception &error) {
        m_model.present(error, QStringLiteral("套餐列表同步失败"));
    }

    try {
        const APIVersionsResponse answer = co_await m_dependencies.api->versions();
        const auto macos = std::find_if(answer.versions.cbegin(), answer.versions.cend(),
                                        [](const APIAppVersion &v) { return v.platform == u"macos"; });
        if (macos != answer.versions.cend()) {
            m_model.setLatestVersion(versionWithLeadingV(macos->latestVersion));
            applyVersionPolicy(*macos);
        }
    } catch (const std::exception &error) {
        m_model.present(error, QStringLiteral("版本信息同步失败"));
    }
}

void AccountService::applyVersionPolicy(const APIAppVersion &version)
{
    const VersionPolicy policy = VersionPolicy::of(version, m_appVersion);
    m_model.setVersionPolicyText(policy.text);
    m_model.setRequiresVersionAction(policy.requiresAction);
    m_model.setVersionDownloadURL(policy.downloadAddress);
}

void AccountService::applyBootstrapEndpoints(const QList<APIEndpoint> &records)
{
    QList<Endpoint> reachable;
    for (const APIEndpoint &record : records) {
        Endpoint endpoint = endpointFromAPI(record);
        if (endpoint.status != NodeStatus::offline)
            reachable.append(endpoint);
    }
    m_model.setEndpoints(reachable);

    // Keep the user's choice unless it is gone, or it is a WireGuard endpoint while others speak something else.
    const auto selected = std::find_if(reachable.cbegin(), reachable.cend(), [this](const Endpoint &e) {
        return m_model.selectedEndpointId() && e.id == *m_model.selectedEndpointId();
    });
    const bool otherProtocolOffered = std::any_of(reachable.cbegin(), reachable.cend(), [](const Endpoint &e) {
        return e.preferredProtocol != ProtocolKind::wireguard;
    });
    const bool chooseAnew = selected == reachable.cend() ||
                            (selected->preferredProtocol == ProtocolKind::wireguard && otherProtocolOffered);
    if (chooseAnew) {
        const std::optional<Endpoint> recommended = m_ranking.recommendedEndpoint(reachable);
        m_model.setSelectedEndpointId(recommended ? std::optional<QString>(recommended->id) : std::nullopt);
    }
    m_model.appendLog(QStringLiteral("多协议节点启动信息同步完成。"));
}

QUrl AccountService::publicPricingURL(const QUrl &baseURL, const Plan &plan,
                                      const std::optional<QString> &account) const
{
    QUrl url = below(baseURL, QStringLiteral("pricing/"));
    QList<QPair<QString, QString>> items{{QStringLiteral("plan"), plan.id},
                                         {QStringLiteral("source"), QStringLiteral("macos")},
                                         {QStringLiteral("client_version"), m_appVersion}};
    if (account && !account->isEmpty())
        items.append({QStringLiteral("account"), *account});
    url.setQuery(queryText(items), QUrl::StrictMode);
    return url;
}

QUrl AccountService::publicLoginURL(const QUrl &baseURL, const QUrl &next) const
{
    QUrl url = below(baseURL, QStringLiteral("login/"));
    url.setQuery(queryText({{QStringLiteral("next"), next.toString(QUrl::FullyEncoded)},
                            {QStringLiteral("source"), QStringLiteral("macos")}}),
                 QUrl::StrictMode);
    return url;
}

std::optional<QUrl> AccountService::publicPlanURL(const Plan &plan) const
{
    const QUrl origin = Deployment::publicWebOrigin();
    const QUrl url = m_model.token() && m_model.currentUser()
                         ? publicPricingURL(origin, plan, m_model.currentUser()->identity)
                         : publicLoginURL(origin, publicPricingURL(origin, plan, std::nullopt));
    if (!url.isValid())
        return std::nullopt;
    return url;
}

void AccountService::purchase(const Plan &plan)
{
    const std::optional<QUrl> url = publicPlanURL(plan);
    if (!url || !Workspace::isWebAddress(*url)) {
        m_model.alert(QStringLiteral("套餐页面地址生成失败，请稍后重试。"));
        return;
    }
    if (!Workspace::openURL(*url)) {
        m_model.alert(QStringLiteral("无法打开") + plan.name + QStringLiteral("页面，请稍后重试。"));
        return;
    }
    m_model.appendLog(QStringLiteral("已打开公网") + plan.name + QStringLiteral("页面。"));
}
