// Token operations: listings, files and requests whose keys stay on the token.
#include "provider/Operations.h"

#include <algorithm>
#include <limits>
#include <array>

#include "provider/OperationCalls.h"

namespace zk::provider {
using namespace calls;

int DonglesEnumTokenKeys(const Site& site, ZKTokenKey token, std::vector<TokenKey>& keys) {
    return Logged(site, "EnumTokenKeys", [&] {
        int32_t count = 0;
        keys.clear();
        int code = Call<&Exports::ZKLDongles_EnumTokenKeys>(token, nullptr, &count);
        keys.resize(count > 0 ? static_cast<size_t>(count) : 0);
        if (code == 0 && !keys.empty()) code = Call<&Exports::ZKLDongles_EnumTokenKeys>(token, keys.data(), &count);
        keys.resize(code == 0 ? std::min(keys.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

int DonglesEnumTokens(const Site& site, std::vector<TokenInfo>& tokens) {
    return Logged(site, "EnumTokens", [&] {
        int32_t count = 0;
        tokens.clear();
        int code = Call<&Exports::ZKLDongles_EnumTokens>(nullptr, &count);
        tokens.resize(code == 0 && count > 0 ? static_cast<size_t>(count) : 0);
        if (code == 0 && !tokens.empty()) code = Call<&Exports::ZKLDongles_EnumTokens>(tokens.data(), &count);
        tokens.resize(code == 0 ? std::min(tokens.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

namespace {
// The two-call listing of 65-byte names.
template <auto Member>
int EnumNames(ZKTokenKey token, std::vector<std::string>& names) {
    int32_t count = 0;
    names.clear();
    int code = Call<Member>(token, nullptr, &count);
    std::vector<std::array<char, ZK_NAME_SIZE>> buffer(code == 0 && count > 0 ? static_cast<size_t>(count) : 0);
    static_assert(sizeof(buffer[0]) == sizeof(ZKName));
    if (code == 0 && !buffer.empty()) code = Call<Member>(token, reinterpret_cast<ZKName*>(buffer.data()), &count);
    if (code != 0) return code;
    const size_t n = std::min(buffer.size(), static_cast<size_t>(std::max(count, 0)));
    for (size_t i = 0; i < n; ++i) names.push_back(Text(buffer[i].data(), buffer[i].size()));
    return code;
}
}  // namespace

int DonglesEnumNamedKeys(const Site& site, ZKTokenKey token, std::vector<std::string>& names) {
    return Logged(site, "EnumNamedKeys", [&] { return EnumNames<&Exports::ZKLDongles_EnumNamedKeys>(token, names); });
}

std::string DonglesTokenOID(const TokenInfo& token) {
    auto fn = Get().exports.ZKLDongles_TokenOID;
    const char* text = fn ? fn(&token) : nullptr;
    return text ? text : "";
}

int DonglesEnumFiles(const Site& site, ZKTokenKey token, std::vector<std::string>& names) {
    return Logged(site, "EnumFiles", [&] { return EnumNames<&Exports::ZKLDongles_EnumFiles>(token, names); });
}

int DonglesGetFile(const Site& site, ZKTokenKey token, const char* name, Output& file) {
    return Logged(site, "GetFile", [&] {
        file.Release();
        uint32_t size = 0;
        int code = Call<&Exports::ZKLDongles_GetFile>(token, name, nullptr, &size);
        if (code != 0 || size == 0) return code;
        uint8_t* buffer = file.Allocate(size, true);
        uint32_t written = size;
        code = Call<&Exports::ZKLDongles_GetFile>(token, name, buffer, &written);
        if (code != 0) file.Release();
        else file.SetSize(written);
        return code;
    });
}

int DonglesCreateSimpleCertRequest(const Site& site, const char* pin, const char* providerName, int32_t slotId,
                                   const char* text2, const char* text3, CertRequestSubject& subject1,
                                   CertRequestSubject* subject2, CertRequestOutputs& out) {
    return Logged(site, "CreateSimpleCertRequest", [&] {
        return RequestCalls(out, [&](uint8_t*, uint32_t* keyLen, uint8_t* r1, uint32_t* len1, uint8_t* r2,
                                     uint32_t* len2) {
            *keyLen = 0;  // the keys stay on the token
            return Call<&Exports::ZKLDongles_CreateSimpleCertRequest>(pin, providerName, slotId, text2, text3,
                                                                      &subject1, subject2, r1, len1, r2, len2);
        });
    });
}

}  // namespace zk::provider
