// Signed containers: creating, adding to, merging, describing, verifying, hashing.
#include "provider/Operations.h"

#include <algorithm>
#include <limits>

#include "provider/OperationCalls.h"

namespace zk::provider {
using namespace calls;

int CtxCreateContainer(const Site& site, bool keepContent, ByteView document, const SignerRef& signer,
                       const AdditionalAttributes& attrs, Output& container) {
    return Logged(site, keepContent ? "CreateContainer" : "CreateContainerExt", [&] {
        if (!Fits(document) || !Fits(signer.cert) || !Fits(signer.key.bytes)) return kInputTooLarge;
        return TwoCalls(container, false, [&](uint8_t* buffer, uint32_t* len) {
            auto create = [&](auto fn) {
                return fn(document.data(), Len(document), signer.cert.data(), Len(signer.cert), KeyData(signer.key),
                          KeyLength(signer.key), signer.pass, buffer, len, &attrs);
            };
            return keepContent ? create([](auto&&... a) { return Call<&Exports::ZKLCTX_CreateContainer>(a...); })
                               : create([](auto&&... a) { return Call<&Exports::ZKLCTX_CreateContainerExt>(a...); });
        });
    });
}

int CtxAddSignature(const Site& site, ByteView container, const ByteView* content, const SignerRef& signer,
                    const AdditionalAttributes& attrs, Output& result) {
    return Logged(site, content ? "AddSignatureExt" : "AddSignature", [&] {
        if (!Fits(container) || (content && !Fits(*content)) || !Fits(signer.cert) || !Fits(signer.key.bytes))
            return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            if (buffer && content)
                return Call<&Exports::ZKLCTX_AddSignatureExt>(
                    container.data(), Len(container), content->data(), Len(*content), signer.cert.data(),
                    Len(signer.cert), KeyData(signer.key), KeyLength(signer.key), signer.pass, buffer, len, &attrs);
            return Call<&Exports::ZKLCTX_AddSignature>(container.data(), Len(container), signer.cert.data(),
                                                       Len(signer.cert), KeyData(signer.key), KeyLength(signer.key),
                                                       signer.pass, buffer, len, &attrs);
        });
    });
}

int CtxMergeSignedData(const Site& site, bool checkHash, std::span<const ByteView> containers, Output& result) {
    return Logged(site, "MergeSignedData", [&] {
        std::vector<ZKBlob> pairs;
        for (ByteView c : containers) {
            if (!Fits(c)) return kInputTooLarge;
            pairs.push_back({const_cast<uint8_t*>(c.data()), Len(c)});
        }
        if (pairs.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_MergeSignedData>(static_cast<uint8_t>(checkHash ? 1 : 0), pairs.data(),
                                                          static_cast<int32_t>(pairs.size()), buffer, len);
        });
    });
}

int CtxGetContainerInfo(const Site& site, ByteView container, int32_t signIndex, ContainerDescription& out) {
    return Logged(site, "GetContainerInfo", [&] {
        if (!Fits(container)) return kInputTooLarge;
        out.info = ContainerInfo{};
        out.work = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(container.size(), 1));
        out.info.Work = {out.work.get(), Len(container)};
        return Call<&Exports::ZKLCTX_GetContainerInfo>(container.data(), Len(container), signIndex, &out.info);
    });
}

int CtxGetContainerInfos(const Site& site, ByteView container, ContainerDescriptions& out) {
    return Logged(site, "GetContainerInfos", [&] {
        if (!Fits(container)) return kInputTooLarge;
        out.infos.clear();
        int32_t count = 0;
        int code = Call<&Exports::ZKLCTX_GetContainerInfos>(container.data(), Len(container), nullptr, &count,
                                                            nullptr);
        if (code != 0 || count <= 0) return code;
        out.infos.assign(static_cast<size_t>(std::min(count, ZK_VERIFY_MAX_RESULTS)), ContainerInfo{});
        out.work = std::make_unique_for_overwrite<uint8_t[]>(container.size());
        ZKBlob work{out.work.get(), Len(container)};
        count = static_cast<int32_t>(out.infos.size());
        code = Call<&Exports::ZKLCTX_GetContainerInfos>(container.data(), Len(container), out.infos.data(), &count,
                                                        &work);
        out.infos.resize(code == 0 ? std::min(out.infos.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

int CtxVerify(const Site& site, ByteView container, const ByteView* content, std::vector<int32_t>& results) {
    return Logged(site, content ? "VerifyExternal" : "Verify", [&] {
        results.assign(ZK_VERIFY_MAX_RESULTS, 0);
        int32_t count = ZK_VERIFY_MAX_RESULTS;
        int code = kInputTooLarge;
        if (content && Fits(container) && Fits(*content))
            code = Call<&Exports::ZKLCTX_VerifyExternal>(container.data(), Len(container), content->data(),
                                                         Len(*content), results.data(), &count);
        else if (!content && Fits(container))
            code = Call<&Exports::ZKLCTX_Verify>(container.data(), Len(container), results.data(), &count);
        results.resize(code == 0 ? static_cast<size_t>(std::clamp(count, 0, ZK_VERIFY_MAX_RESULTS)) : 0);
        return code;
    });
}

int CtxGetSignedDataCertificate(const Site& site, ByteView container, int32_t index, std::vector<uint8_t>& cert) {
    return Logged(site, "GetSignedDataCertificate", [&] {
        cert.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        const int code = Fits(container) ? Call<&Exports::ZKLCTX_GetSignedDataCertificate>(
                                               container.data(), Len(container), index, cert.data(), &len)
                                         : kInputTooLarge;
        cert.resize(code == 0 ? std::min<size_t>(len, ZK_KEY_BUFFER_SIZE) : 0);
        return code;
    });
}

int CtxHash(const Site& site, ByteView document, const std::string& algOid, ByteView cert,
            std::vector<uint8_t>& hash) {
    return Logged(site, algOid.empty() ? "HashData" : "HashDataAlg", [&] {
        hash.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        int code = kInputTooLarge;
        if (!Fits(document) || !Fits(cert))
            code = kInputTooLarge;
        else if (!algOid.empty())
            code = Call<&Exports::ZKLCTX_HashDataAlg>(document.data(), Len(document), algOid.c_str(), hash.data(),
                                                      &len);
        else
            code = Call<&Exports::ZKLCTX_HashData>(document.data(), Len(document),
                                                   cert.empty() ? nullptr : cert.data(), Len(cert), hash.data(),
                                                   &len);
        hash.resize(code == 0 ? std::min<size_t>(len, ZK_KEY_BUFFER_SIZE) : 0);
        return code;
    });
}

}  // namespace zk::provider
