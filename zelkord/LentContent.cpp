#include "zelkord/LentContent.h"

#include <openssl/cms.h>
#include <openssl/err.h>

#include <vector>

#include "zelkord/Der.h"

namespace zkd {
namespace {

constexpr uint8_t kOidSigned[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// The content octets of ContentInfo { signedData, [0] SignedData { version,
// digestAlgorithms, encapContentInfo { type, [0] { OCTET STRING } }, ... } }.
bool LocateContent(const uint8_t* d, size_t len, std::vector<der::Item>& path, der::Item& explicitContent,
                   der::Item& octets) {
    der::Item info, oid, explicit0, signedData, version, digests, encap, type;
    if (!der::ReadItem(d, len, 0, info) || info.tag != der::kSequence || info.End() != len ||
        !der::ReadItem(d, len, info.ContentStart(), oid) || oid.tag != der::kOid ||
        !der::ContentEquals(d, oid, kOidSigned, sizeof kOidSigned) ||
        !der::ReadItem(d, len, oid.End(), explicit0) || explicit0.tag != der::kContext0 ||
        !der::ReadItem(d, explicit0.End(), explicit0.ContentStart(), signedData) ||
        signedData.tag != der::kSequence)
        return false;
    const size_t end = signedData.End();
    if (!der::ReadItem(d, end, signedData.ContentStart(), version) || version.tag != der::kInteger ||
        !der::ReadItem(d, end, version.End(), digests) || digests.tag != der::kSet ||
        !der::ReadItem(d, end, digests.End(), encap) || encap.tag != der::kSequence ||
        !der::ReadItem(d, encap.End(), encap.ContentStart(), type) || type.tag != der::kOid ||
        !der::ReadItem(d, encap.End(), type.End(), explicitContent) || explicitContent.tag != der::kContext0 ||
        explicitContent.End() != encap.End() ||
        !der::ReadItem(d, explicitContent.End(), explicitContent.ContentStart(), octets) ||
        octets.tag != der::kOctetString || octets.End() != explicitContent.End())
        return false;
    path = {info, explicit0, signedData, encap};
    return true;
}

}  // namespace

bool ParseLent(const uint8_t* data, size_t len, SignedBlock& out) {
    std::vector<der::Item> path;
    der::Item explicitContent, octets;
    if (!data || !LocateContent(data, len, path, explicitContent, octets)) return false;
    Bytes prefix, suffix;
    der::Splice(data, path, explicitContent.start, explicitContent.End(), 0, prefix, suffix);
    prefix.insert(prefix.end(), suffix.begin(), suffix.end());
    const unsigned char* p = prefix.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(prefix.size())));
    const bool whole = cms && p == prefix.data() + prefix.size();
    ERR_clear_error();
    if (!whole) return false;
    out.cms = std::move(cms);
    out.content = data + octets.ContentStart();
    out.contentLen = octets.length;
    out.lent = true;
    return true;
}

}  // namespace zkd
