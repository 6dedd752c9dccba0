#include "commands/containers/ContainerCommands.h"

#include <cstring>
#include <vector>

#include "base/CBase64.h"
#include "base/Params.h"
#include "commands/AttachedContent.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerParams.h"
#include "commands/signer/SignerLocator.h"
#include "provider/Operations.h"

namespace zk {
namespace {

// The signing commands: a signer must be named; the located signer's code
// ends the command when it is not 0; a token key is disconnected whatever
// the outcome. sign() makes the container from the decoded Data.
template <typename Sign>
bool SigningCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer,
                    Sign&& sign) {
    SignerParams signer = ReadSignerParams(params, 0);  // Lib is not read:
    signer.lib = "QLB";  // the container commands locate files with the one library
    if (!signer.Sufficient()) return false;
    SignerLocation loc = LocateSigner(signer);
    int code = loc.code;
    DocumentPieces out;
    if (code == 0) {
        const AdditionalAttributesParam attrs(params);
        const provider::SignerRef ref{loc.cert, loc.Key(), loc.password.c_str()};
        code = sign(TakeRequestDocument(data), ref, attrs.record(), out);
    }
    loc.DisconnectToken();
    answer = DocumentAnswer(command, code, std::move(out), loc.detail);
    return true;
}

}  // namespace

bool CtxCreateContainerCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer) {
    const std::string store = ChildText(params, "StoreContent");
    const bool keepContent = store.empty() || IsTrueText(store);
    return SigningCommand(command, params, data, answer,
                          [&](SharedBytes document, const provider::SignerRef& signer,
                              const AdditionalAttributes& attrs, DocumentPieces& container) {
                              const auto site = ZK_SITE("CtxCreateContainerCommand");
                              // A large content is framed into the answer where it lies.
                              const bool framed = keepContent && document.size() >= kFrameFrom;
                              provider::Output out;
                              const int code = provider::CtxCreateContainer(site, keepContent && !framed,
                                                                            document.view(), signer, attrs, out);
                              if (code != 0) return code;
                              if (framed) return AttachContent(site, std::move(out), std::move(document), container);
                              container = OnePiece(std::move(out));
                              return 0;
                          });
}

bool CtxAddSignatureCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                            std::string& answer) {
    const std::vector<uint8_t> content = Base64Decode(ChildText(params, "Content"));
    return SigningCommand(command, params, data, answer,
                          [&](SharedBytes container, const provider::SignerRef& signer,
                              const AdditionalAttributes& attrs, DocumentPieces& result) {
                              const provider::ByteView view(content);
                              provider::Output out;
                              const int code =
                                  provider::CtxAddSignature(ZK_SITE("CtxAddSignatureCommand"), container.view(),
                                                            content.empty() ? nullptr : &view, signer, attrs, out);
                              result = OnePiece(std::move(out));
                              return code;
                          });
}

bool CtxRemoveSignatureCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer) {
    const std::optional<int32_t> index = ReadIndex(params, "SignIndex");
    const std::optional<int32_t> options = ReadInt32(params, "Options", 0);
    if (!index || !options) return false;
    provider::Output out;
    const int code = provider::Invoke<ZK_EXPORT(ZKLCTX_RemoveSignature)>(
        ZK_SITE("CtxRemoveSignatureCommand"), TakeRequestDocument(data).view(), *index, *options, out);
    answer = DocumentAnswer(command, code, provider::Shared(std::move(out)));
    return true;
}

bool CtxRemoveContentCommand(const char* command, const tinyxml2::XMLElement*, const char* data,
                             std::string& answer) {
    provider::Output out;
    const int code = provider::Invoke<ZK_EXPORT(ZKLCTX_RemoveContent)>(ZK_SITE("CtxRemoveContentCommand"),
                                                                       TakeRequestDocument(data).view(), out);
    answer = DocumentAnswer(command, code, provider::Shared(std::move(out)));
    return true;
}

bool CtxAddContentCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                          std::string& answer) {
    const std::vector<uint8_t> content = Base64Decode(ChildText(params, "Content"));
    if (content.empty()) return false;
    provider::Output out;
    const int code = provider::Invoke<ZK_EXPORT(ZKLCTX_AddContent)>(
        ZK_SITE("CtxAddContentCommand"), TakeRequestDocument(data).view(), provider::ByteView(content), out);
    answer = DocumentAnswer(command, code, provider::Shared(std::move(out)));
    return true;
}

bool CtxMergeContainerCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                              std::string& answer) {
    std::vector<std::vector<uint8_t>> containers;
    for (const tinyxml2::XMLElement* c : Children(LastChild(params, "Containers"), "Container")) {
        if (containers.size() == kMaxMergedContainers) return false;  // one more than allowed
        containers.push_back(Base64Decode(ElementText(c)));
    }
    if (containers.empty()) return false;
    const std::vector<provider::ByteView> views(containers.begin(), containers.end());
    provider::Output out;
    const int code =
        provider::CtxMergeSignedData(ZK_SITE("CtxMergeContainerCommand"), ChildIsTrue(params, "CheckHash"), views, out);
    answer = DocumentAnswer(command, code, provider::Shared(std::move(out)));
    return true;
}

}  // namespace zk
