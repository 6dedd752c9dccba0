// Block detection and the header readers on any bytes: the tag classifier,
// the three header readers, the envelope prefix, and the provider's own
// readers of the blocks it detects (slot 5; the text forms of slot 22; the
// envelope frames and recipient lists of slots 50 and 53; the signed data of
// slot 16; the timestamped data of slot 32). Nothing may crash, overrun or
// claim a length beyond the block.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/protected/TransportHeaders.h"
#include "provider/Invoke.h"
#include "provider/Operations.h"
#include "ProviderForFuzzing.h"

namespace {

int g_lib = -1;

void CheckInside(zk::ByteSpan block, zk::ByteSpan part) {
    if (part.size() > block.size() || part.data() < block.data() ||
        part.data() + part.size() > block.data() + block.size())
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LoadProviderForFuzzing("[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n[UA1]\nSenderCertHeader=1\n");
    g_lib = zk::provider::SelectLibrary("UA1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const zk::ByteSpan block(data, size);
    int32_t lib = -1;
    const int type = zk::DetectBlock(block, &lib);
    zk::ClassifyTag(block);

    zk::ByteSpan cursor = block, body;
    if (zk::ReadTransportable(cursor, body) == 0) CheckInside(block, body), CheckInside(block, cursor);
    cursor = block;
    if (zk::ReadZPostTransportable(cursor, body) == 0) CheckInside(block, body), CheckInside(block, cursor);
    cursor = block;
    if (zk::ReadCertCrypt(cursor, body) == 0) CheckInside(block, body), CheckInside(block, cursor);
    uint32_t declared = 0;
    if (zk::ReadPackedXmlHeader(block, declared, body) == 0) CheckInside(block, body);
    std::vector<uint8_t> cert;
    zk::ReadEnvelopePrefixCert(block, zk::provider::LibraryCode(lib), cert);

    const zk::provider::Site quiet{};
    if (type == ZK_BLOCK_PEM || type == ZK_BLOCK_BASE64) {
        std::vector<uint8_t> copy(block.begin(), block.end());
        size_t decoded = 0;
        if (zk::provider::Unwrap(quiet, copy, decoded) == 0 && decoded > copy.size()) abort();
    }
    std::vector<std::vector<uint8_t>> certs;
    std::vector<ProviderCertInfo> infos;
    zk::provider::RecipientCerts(quiet, block, certs);
    zk::provider::RecipientInfos(quiet, block, infos);
    zk::provider::Output content, signer;
    const int removed = zk::provider::LibRemoveSignature(quiet, g_lib, block, content, signer);
    if (removed == 0 && content.size() > size) abort();
    // The same content moved to the start of the block it lies in (a block
    // that holds something: the peeling never calls it on nothing).
    std::vector<uint8_t> over(block.begin(), block.end());
    size_t length = 0;
    zk::provider::Output signerOver;
    if (!over.empty() && zk::provider::LibRemoveSignatureInPlace(quiet, g_lib, over, length, signerOver) != removed)
        abort();
    if (removed == 0 && (length != content.size() || !std::equal(over.begin(), over.begin() + length, content.data())))
        abort();
    TimestampInfo stamp{};
    zk::provider::Invoke<ZK_METHOD(ZKLD_SLOT_TIMESTAMP_READ)>(quiet, block, &stamp);
    return 0;
}
