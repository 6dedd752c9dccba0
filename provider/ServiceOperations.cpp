// Operations that reach a service (timestamps, OCSP, CMP) and the validation data they bring.
#include "provider/Operations.h"

#include <algorithm>
#include <limits>

#include "provider/OperationCalls.h"

namespace zk::provider {
using namespace calls;

namespace {

void PrepareTimestamp(TimestampOutcome& out) {
    out = TimestampOutcome{};
    out.certBuffer.assign(ZK_KEY_BUFFER_SIZE, 0);
    out.info.CertBuffer = out.certBuffer.data();
    out.info.CertLength = ZK_KEY_BUFFER_SIZE;
}

// The record's certificate length kept within its buffer, the output cut to
// what the provider wrote (nothing on failure).
int FinishTimestamp(int code, uint32_t written, TimestampOutcome& out) {
    out.response.resize(code == 0 ? std::min<size_t>(written, out.response.size()) : 0);
    if (code != 0 || out.info.CertLength > out.certBuffer.size()) out.info.CertLength = 0;
    return code;
}

// Runs a network operation under the target's rule, which holds for that
// call alone.
template <typename Body>
int UnderRule(const ServiceTarget& target, Body&& body) {
    if (target.rule == 0) return body();
    if (int code = Call<&Exports::ZKLNET_SetRule>(target.rule)) return code;
    const int code = body();
    Call<&Exports::ZKLNET_SetRule>(0);
    return code;
}

}  // namespace

int CtxRequestTimestamp(const Site& site, ByteView data, ByteView cert, const ServiceTarget& target,
                        TimestampOutcome& out) {
    return Logged(site, "RequestTimestamp", [&] {
        PrepareTimestamp(out);
        if (!Fits(data) || !Fits(cert)) return kInputTooLarge;
        out.response.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_RequestTimestamp>(
            data.data(), Len(data), cert.empty() ? nullptr : cert.data(), Len(cert), out.response.data(), &len,
            &out.info, &out.socketError, target.server.c_str(), target.port, target.timeout); });
        return FinishTimestamp(code, len, out);
    });
}

int CtxAddTimestamp(const Site& site, ByteView container, int32_t signIndex, ByteView cert,
                    const ServiceTarget& target, TimestampOutcome& out) {
    return Logged(site, "AddTimestamp", [&] {
        PrepareTimestamp(out);
        if (!Fits(cert) || container.size() > std::numeric_limits<uint32_t>::max() - ZK_KEY_BUFFER_SIZE)
            return kInputTooLarge;
        out.response.assign(container.size() + ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = Len32(out.response.size());
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_AddTimestamp>(
            container.data(), Len(container), signIndex, cert.empty() ? nullptr : cert.data(), Len(cert),
            out.response.data(), &len, &out.info, &out.socketError, target.server.c_str(), target.port,
            target.timeout); });
        return FinishTimestamp(code, len, out);
    });
}

int CtxGetTimestampInfo(const Site& site, ByteView response, TimestampOutcome& out) {
    return Logged(site, "GetTimestampInfo", [&] {
        PrepareTimestamp(out);
        if (!Fits(response)) return kInputTooLarge;
        const int code = Call<&Exports::ZKLCTX_GetTimestampInfo>(response.data(), Len(response), &out.info);
        return FinishTimestamp(code, 0, out);
    });
}

int CtxRequestOCSP(const Site& site, std::span<const ByteView> certs, ByteView requesterCert, const KeyRef& key,
                   const char* pass, const ServiceTarget& target, size_t responseCapacity, OcspOutcome& out) {
    return Logged(site, "RequestOCSP", [&] {
        out = OcspOutcome{};
        if (certs.empty() || certs.size() > ZK_OCSP_MAX_STATUSES || !Fits(requesterCert) || !Fits(key.bytes) ||
            responseCapacity > std::numeric_limits<uint32_t>::max())
            return kInputTooLarge;
        std::vector<ZKBlob> blobs;
        if (!Pairs(certs, blobs)) return kInputTooLarge;
        out.statuses.assign(certs.size(), OcspCertStatus{});
        out.response.assign(responseCapacity, 0);
        uint32_t len = Len32(responseCapacity);
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_RequestOCSP>(
            blobs.data(), static_cast<int32_t>(blobs.size()), requesterCert.empty() ? nullptr : requesterCert.data(),
            Len(requesterCert), KeyData(key), KeyLength(key), pass ? pass : "", out.response.data(), &len, &out.info,
            out.statuses.data(), &out.socketError, target.server.c_str(), target.port, target.timeout); });
        out.response.resize(code == 0 ? std::min<size_t>(len, out.response.size()) : 0);
        if (code != 0) out.statuses.clear();
        return code;
    });
}

int CtxGetOCSPResponseInfo(const Site& site, ByteView response, OcspOutcome& out) {
    return Logged(site, "GetOCSPResponseInfo", [&] {
        out = OcspOutcome{};
        if (!Fits(response)) return kInputTooLarge;
        out.statuses.assign(ZK_OCSP_MAX_STATUSES, OcspCertStatus{});
        int32_t count = ZK_OCSP_MAX_STATUSES;
        const int code = Call<&Exports::ZKLCTX_GetOCSPResponseInfo>(response.data(), Len(response), &out.info,
                                                                     out.statuses.data(), &count);
        out.statuses.resize(code == 0 ? static_cast<size_t>(std::clamp<int32_t>(count, 0, ZK_OCSP_MAX_STATUSES)) : 0);
        return code;
    });
}

int CtxRequestCMP(const Site& site, const std::string& keyId1, const std::string& keyId2, bool acquireChain,
                  int32_t slots, const ServiceTarget& target, std::vector<std::vector<uint8_t>>& certs,
                  int32_t& socketError) {
    return Logged(site, "RequestCMP", [&] {
        certs.assign(static_cast<size_t>(std::max<int32_t>(slots, 0)), std::vector<uint8_t>(ZK_KEY_BUFFER_SIZE));
        std::vector<ZKBlob> blobs;
        for (std::vector<uint8_t>& c : certs) blobs.push_back({c.data(), ZK_KEY_BUFFER_SIZE});
        int32_t count = slots;
        socketError = 0;
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_RequestCMP>(keyId1.c_str(), keyId2.c_str(),
                                                            static_cast<uint8_t>(acquireChain ? 1 : 0), blobs.data(),
                                                            &count, &socketError, target.server.c_str(), target.port,
                                                            target.timeout); });
        const size_t delivered = code == 0 ? static_cast<size_t>(std::clamp<int32_t>(count, 0, slots)) : 0;
        certs.resize(delivered);
        for (size_t i = 0; i < delivered; ++i) certs[i].resize(std::min<size_t>(blobs[i].length, ZK_KEY_BUFFER_SIZE));
        return code;
    });
}

int CtxSetCompleteInfo(const Site& site, ByteView container, int32_t signIndex,
                       std::span<const ValidationObject> objects, Output& result) {
    return Logged(site, "SetCompleteInfo", [&] {
        if (!Fits(container)) return kInputTooLarge;
        std::vector<CompleteInfoObject> records(objects.size());
        const auto blob = [](ByteView b) { return ZKBlob{const_cast<uint8_t*>(b.data()), Len(b)}; };
        for (size_t i = 0; i < objects.size(); ++i) {
            const ValidationObject& o = objects[i];
            if (!Fits(o.cert)) return kInputTooLarge;
            records[i].Cert = blob(o.cert);
            for (size_t k = 0; k < o.crls.size() && k < ZK_COMPLETE_MAX_ITEMS; ++k) {
                if (!Fits(o.crls[k])) return kInputTooLarge;
                records[i].CRLs[k] = blob(o.crls[k]);
            }
            for (size_t k = 0; k < o.ocsps.size() && k < ZK_COMPLETE_MAX_ITEMS; ++k) {
                if (!Fits(o.ocsps[k])) return kInputTooLarge;
                records[i].OCSPs[k] = blob(o.ocsps[k]);
            }
        }
        if (records.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_SetCompleteInfo>(container.data(), Len(container), signIndex, records.data(),
                                                          static_cast<int32_t>(records.size()), buffer, len);
        });
    });
}

}  // namespace zk::provider
