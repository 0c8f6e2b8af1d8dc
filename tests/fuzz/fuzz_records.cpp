// Feeds arbitrary bytes to every decoder of control-plane answers and stored records. A decoder may only ever
// throw DecodingError; whatever decodes must survive writing and reading back unchanged.
#include "api/AccountRecords.h"
#include "api/CatalogueRecords.h"
#include "api/DeviceRecords.h"
#include "api/GenericRecords.h"
#include "api/ProtocolConfiguration.h"
#include "api/TovrenRuntimeError.h"
#include "state/EndpointQuality.h"
#include "state/QuickConnectCache.h"

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

template<typename T> std::optional<T> tryDecode(const QByteArray &bytes)
{
    try {
        return decodeAnswer<T>(bytes);
    } catch (const DecodingError &) {
        return std::nullopt;
    }
}

template<typename T> void roundTrips(const T &value)
{
    require(decodeAnswer<T>(jsonBytes(value.toJson())) == value);
}

void checkProtocolAnswer(const QByteArray &bytes)
{
    const auto answer = tryDecode<APIProtocolConfigResponse>(bytes);
    if (!answer)
        return;
    const APIProtocolReadiness readiness = answer->readiness();
    require(!readiness.status.isEmpty());
    require(answer->runtimeDebugSummary().count(QLatin1Char('=')) >= 9);
    try {
        const ProtocolConfiguration configuration = ProtocolConfiguration::from(*answer, QStringLiteral("fallback"));
        require(configuration.protocolKind != ProtocolKind::unknown);
        if (configuration.protocolKind == ProtocolKind::wireguard)
            require(configuration.wireGuardConfigText && !configuration.wireGuardConfigText->isEmpty());
        else
            require(configuration.singBoxConfig || configuration.singBoxConfigText);
        roundTrips(configuration);
    } catch (const TovrenRuntimeError &error) {
        require(error.kind() == TovrenRuntimeError::Kind::missingProtocolConfig);
    }
}

void checkStoredRecords(const QByteArray &bytes)
{
    if (const auto configuration = tryDecode<ProtocolConfiguration>(bytes))
        roundTrips(*configuration);
    if (const auto record = tryDecode<QuickConnectCacheRecord>(bytes))
        roundTrips(*record);

    EndpointQualityStatsMap stats;
    try {
        stats = decodeQualityStatsMap(bytes);
    } catch (const DecodingError &) {
        return;
    }
    require(decodeQualityStatsMap(encodeQualityStatsMap(stats)) == stats);
    const Endpoint endpoint = placeholderEndpoints().first();
    for (const EndpointQualityStats &entry : stats) {
        EndpointQuality::score(endpoint, true, &entry, 1.7e9);
        EndpointQuality::afterSuccess(entry, endpoint.latencyMs, 1.7e9);
        EndpointQuality::afterFailure(entry, 1.7e9);
    }
    EndpointQuality::candidates(placeholderEndpoints(), endpoint, {}, false, stats, 1.7e9);
}

void checkJsonValue(const QByteArray &bytes)
{
    QJsonValue parsed;
    try {
        parsed = parseJsonBody(bytes);
    } catch (const DecodingError &) {
        return;
    }
    const JSONValue value = JSONValue::decode(parsed);
    require(JSONValue::decode(value.toJson()) == value);
    if (value.isObject())
        require(JSONValue::decode(parseJsonBody(jsonBytes(value.toJson().toObject()))) == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    decodeAnswer<APIOkResponse>(bytes); // never throws
    tryDecode<APIErrorResponse>(bytes);
    tryDecode<APIVerificationCodeResponse>(bytes);
    tryDecode<APIAuthResponse>(bytes);
    tryDecode<APIMeResponse>(bytes);
    tryDecode<APIPlansResponse>(bytes);
    tryDecode<APINodesResponse>(bytes);
    tryDecode<APIVersionsResponse>(bytes);
    tryDecode<APIOrdersResponse>(bytes);
    tryDecode<APITicketsResponse>(bytes);
    tryDecode<APITicketResponse>(bytes);
    tryDecode<APIClientBootstrapResponse>(bytes);
    tryDecode<APIDevicesResponse>(bytes);
    tryDecode<APIDeviceResponse>(bytes);
    checkProtocolAnswer(bytes);
    checkStoredRecords(bytes);
    checkJsonValue(bytes);
    return 0;
}
