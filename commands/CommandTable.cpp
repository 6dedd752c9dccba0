// The dispatch table, one row per command with every fact about it
// (ProcessRequest.h CommandRow): names in comparison order. A row without a
// handler is a command this build does not offer; the dispatcher refuses it.
#include "commands/ProcessRequest.h"
#include "commands/containers/ContainerCommands.h"
#include "commands/containers/EnvelopeCommands.h"
#include "commands/containers/KeyStoreCommands.h"
#include "commands/containers/OriginalCommand.h"
#include "commands/containers/InspectCommands.h"
#include "commands/datastore/DbCommands.h"
#include "commands/datastore/LocalData.h"
#include "commands/datastore/PasswordSlot.h"
#include "commands/signing/SmallCrypto.h"
#include "commands/service/ServiceCommands.h"
#include "commands/keys/CertCommands.h"
#include "commands/keys/KeyCommands.h"
#include "commands/keys/ListCommands.h"
#include "commands/signing/SignCommands.h"
#include "commands/keys/CertRequestCommand.h"
#include "commands/tokens/TokenCommands.h"
#include "commands/signing/ProtectedCommands.h"
#include "commands/containers/TimestampCommands.h"
#include "commands/containers/ValidationCommands.h"

namespace zk {
namespace {

using I = Inputs;
using R = Required;
using L = log::LogRules;
using Names = std::span<const std::string_view>;
constexpr Runs kAtOnce = Runs::AtOnce;
constexpr Runs kAtOnceSame = Runs::AtOnceSame;
constexpr Runs kWorker = Runs::OnWorker;

// Secret elements of each kind of command.
constexpr std::string_view kPass[] = {"Pass"};
constexpr std::string_view kKeyHolder[] = {"Pass", "SenderSK"};               // a signer's password or key bytes
constexpr std::string_view kOpener[] = {"Pass", "SenderSK", "RecipientSK"};   // who opens an envelope
constexpr std::string_view kNetwork[] = {"Pass", "SenderSK", "Password"};     // a requester's key, a proxy's password
constexpr std::string_view kKeyChecks[] = {"Pass", "OldPass", "NewPass", "SK"};
constexpr std::string_view kTokens[] = {"Pass", "OldPass", "NewPass", "AdminPass", "UserPass", "NamedKeyDevicePass",
                                        "PIN"};
constexpr std::string_view kCertRequest[] = {"Pass", "PIN", "PrivateKey"};
constexpr std::string_view kSymmetricKey[] = {"KEY"};
constexpr std::string_view kSeed[] = {"SEED"};
// Secret attributes: a protected database's key.
constexpr std::string_view kDbKey[] = {"KEY"};
// What the log shows as its length.
constexpr std::string_view kData[] = {"Data"};
constexpr std::string_view kRows[] = {"Query", "Result", "FIELD"};
// Documents and containers, and the big answers and validation data of the
// network commands (a stamped container, a timestamp or OCSP response,
// CRLs), where they hold text (a Data holding an answer's tree is walked).
constexpr std::string_view kDocuments[] = {"Data", "Content", "Container", "Signed", "Decrypted", "Response", "CRL",
                                           "OCSP"};

constexpr L Secrets(Names secrets) { return L{secrets, {}, {}, {}}; }
constexpr L SecretData(Names secrets, Names data) { return L{secrets, {}, data, {}}; }
constexpr L Ctx(Names secrets = {}) { return L{secrets, {}, {}, kDocuments}; }

constexpr CommandRow kCommands[] = {
    {"GET_VERSION", I::Params, R::None, GetVersionCommand, kAtOnceSame},
    {"GET_CERT_FILES", I::Params, R::None, GetCertFilesCommand, kWorker, Secrets(kPass)},
    {"GET_SK_FILES", I::Params, R::Params, GetSkFilesCommand, kWorker, Secrets(kPass)},
    {"CHECK_CERT_KEY", I::Params, R::Params, CheckCertKeyCommand, kWorker, Secrets(kKeyChecks)},
    {"CHANGE_KEY_PASS", I::Params, R::Params, ChangeKeyPassCommand, kWorker, Secrets(kKeyChecks)},
    {"SET_SIGN", I::ParamsDocument, R::ParamsData, SetSignCommand, kWorker, Secrets(kKeyHolder)},
    {"ENCRYPT", I::ParamsDocument, R::ParamsData, EncryptCommand, kWorker, SecretData(kKeyHolder, kData)},
    {"GET_ORIGINAL", I::ParamsDocument, R::ParamsData, GetOriginalCommand, kWorker, SecretData(kOpener, kData)},
    {"GET_SIGNED", I::ParamsDocument, R::ParamsData, GetSignedCommand, kWorker, SecretData(kOpener, kData)},
    {"CLEAN", I::Params, R::None, CleanCommand},
    {"SYMMETRIC", I::ParamsDocument, R::ParamsData, SymmetricCommand, kWorker, SecretData(kSymmetricKey, kData)},
    {"GET_CERT", I::Params, R::Params, GetCertCommand, kWorker, Secrets(kKeyHolder)},
    {"GET_INFO_CERT", I::Params, R::Params, GetInfoCertCommand},
    {"GET_RANDOM", I::Params, R::Params, GetRandomCommand, kWorker, Secrets(kSeed)},
    {"SAVE_DATA", I::Data, R::None, SaveDataCommand, kWorker, SecretData({}, kData)},
    {"LOAD_DATA", I::Nothing, R::None, LoadDataCommand, kWorker, SecretData({}, kData)},
    {"SAVE_PASSWORD", I::Params, R::Params, SavePasswordCommand, kWorker, Secrets(kPass)},
    {"RETRIEVE_PASSWORD", I::Nothing, R::None, RetrievePasswordCommand, kWorker, Secrets(kPass)},
    {"CLEAN_PASSWORD", I::Nothing, R::None, CleanPasswordCommand},
    {"GET_UPDATE_INFO", I::Nothing, R::None, GetUpdateInfoCommand, kAtOnce},
    {"DO_UPDATE", I::Nothing, R::None, DoUpdateCommand, kAtOnce},
    {"ONLOAD", I::Nothing, R::None, OnLoadCommand, kAtOnce},
    {"PARENT_XCHG", I::Data, R::Data, ParentExchangeCommand},
    {"SAVE_CERT", I::Params, R::Params, SaveCertCommand},
    {"KEY_FOLDER", I::Params, R::Params, KeyFolderCommand},
    {"SELECT_KEY_FOLDER", I::Nothing, R::None, SelectKeyFolderCommand},
    {"SET_EXTERNAL_SIGN", I::ParamsDocument, R::ParamsData, SetExternalSignCommand, kWorker, Secrets(kKeyHolder)},
    {"CHECK_EXTERNAL_SIGN", I::ParamsDocument, R::ParamsData, CheckExternalSignCommand},
    {"GET_SUBJ_KEY_ID", I::Params, R::None, GetSubjKeyIdCommand, kWorker, Secrets(kKeyChecks)},
    {"GEN_CERTIF_REQUEST", I::Params, R::None, GenCertifRequestCommand, kWorker, Secrets(kCertRequest)},
    {"DB_COMMAND", I::Params, R::Params, DbCommandCommand, kWorker, L{{}, kDbKey, kRows, {}}},
    {"DB_DROP", I::Params, R::None, DbDropCommand, kWorker, L{{}, kDbKey, {}, {}}},
    {"CTX_CREATE_CONTAINER", I::ParamsDocument, R::ParamsData, CtxCreateContainerCommand, kWorker, Ctx(kKeyHolder)},
    {"CTX_ADD_SIGNATURE", I::ParamsDocument, R::ParamsData, CtxAddSignatureCommand, kWorker, Ctx(kKeyHolder)},
    {"CTX_REQUEST_TIMESTAMP", I::ParamsDocument, R::ParamsData, CtxRequestTimestampCommand, kWorker, Ctx(kNetwork)},
    {"CTX_ADD_TIMESTAMP", I::ParamsDocument, R::ParamsData, CtxAddTimestampCommand, kWorker, Ctx(kNetwork)},
    {"CTX_GET_TIMESTAMP_INFO", I::Document, R::Data, CtxGetTimestampInfoCommand, kWorker, Ctx()},
    {"CTX_REMOVE_SIGNATURE", I::ParamsDocument, R::ParamsData, CtxRemoveSignatureCommand, kWorker, Ctx()},
    {"CTX_REQUEST_OCSP", I::Params, R::Params, CtxRequestOcspCommand, kWorker, Ctx(kNetwork)},
    {"CTX_GET_OCSP_INFO", I::Document, R::Data, CtxGetOcspInfoCommand, kWorker, Ctx()},
    {"CTX_REQUEST_CMP", I::Params, R::Params, CtxRequestCmpCommand, kWorker, Ctx(kNetwork)},
    {"CTX_ADD_COMPLETEINFO", I::ParamsDocument, R::ParamsData, CtxAddCompleteInfoCommand, kWorker, Ctx(kNetwork)},
    {"CTX_GET_CONTAINER_INFO", I::ParamsDocument, R::ParamsData, CtxGetContainerInfoCommand, kWorker, Ctx()},
    {"CTX_MERGE_CONTAINER", I::Params, R::Params, CtxMergeContainerCommand, kWorker, Ctx()},
    {"CTX_VERIFY_SIGNS", I::Document, R::Data, CtxVerifySignsCommand, kWorker, Ctx()},
    {"CTX_VERIFY_EXTERNAL_SIGNS", I::ParamsDocument, R::ParamsData, CtxVerifyExternalSignsCommand, kWorker, Ctx()},
    {"CTX_REMOVE_CONTENT", I::Document, R::Data, CtxRemoveContentCommand, kWorker, Ctx()},
    {"CTX_ADD_CONTENT", I::ParamsDocument, R::ParamsData, CtxAddContentCommand, kWorker, Ctx()},
    {"CTX_ENCRYPT", I::ParamsDocument, R::ParamsData, CtxEncryptCommand, kWorker, Ctx(kKeyHolder)},
    {"CTX_DECRYPT", I::ParamsDocument, R::ParamsData, CtxDecryptCommand, kWorker, Ctx(kOpener)},
    {"CTX_GET_ENVELOPE_TYPE", I::Document, R::Data, CtxGetEnvelopeTypeCommand, kWorker, Ctx()},
    {"CTX_GET_SENDER_CERT", I::ParamsDocument, R::ParamsData, CtxGetSenderCertCommand, kWorker, Ctx()},
    {"CTX_GET_RECIPIENTS", I::Document, R::Data, CtxGetRecipientsCommand, kWorker, Ctx()},
    {"CTX_VERIFY_CERT_SIGN", I::ParamsDocument, R::ParamsData, CtxVerifyCertSignCommand, kWorker, Ctx()},
    {"CTX_GET_SIGNER_CERT", I::ParamsDocument, R::ParamsData, CtxGetSignerCertCommand, kWorker, Ctx()},
    {"CTX_GET_ORIGINAL", I::ParamsDocument, R::ParamsData, CtxGetOriginalCommand, kWorker, Ctx(kOpener)},
    {"CTX_GET_JKS_CERTS", I::ParamsData, R::ParamsData, CtxGetJksCertsCommand, kWorker, Ctx(kPass)},
    {"CTX_GET_JKS_KEYS", I::ParamsData, R::ParamsData, CtxGetJksKeysCommand, kWorker, Ctx(kPass)},
    {"CTX_GET_HASH", I::ParamsDocument, R::ParamsData, CtxGetHashCommand, kWorker, Ctx()},
    {"DONGLES_LIST", I::Params, R::None, DonglesListCommand, kWorker, Secrets(kTokens)},
    {"DONGLES_INIT", I::Params, R::None, DonglesInitCommand, kWorker, Secrets(kTokens)},
    {"DONGLES_CHANGE_PASS", I::Params, R::None, DonglesChangePassCommand, kWorker, Secrets(kTokens)},
    {"DONGLES_UNLOCK", I::Params, R::None, DonglesUnlockCommand, kWorker, Secrets(kTokens)},
    {"DONGLES_KEY_SET_LABEL", I::Params, R::None, DonglesKeySetLabelCommand, kWorker, Secrets(kTokens)},
    {"DONGLES_KEY_DELETE", I::Params, R::None, DonglesKeyDeleteCommand, kWorker, Secrets(kTokens)},
    {"DONGLES_FILES_ENUM", I::Params, R::None, DonglesFilesEnumCommand, kWorker, Secrets(kTokens)},
    {"DONGLES_FILE_GET", I::Params, R::None, DonglesFileGetCommand, kWorker, SecretData(kTokens, kData)},
    {"DONGLES_FILE_SET", I::ParamsData, R::None, DonglesFileSetCommand, kWorker, SecretData(kTokens, kData)},
};
static_assert(sizeof kCommands / sizeof kCommands[0] == 68);

}  // namespace

const CommandRow* CommandTable(size_t* count) {
    *count = sizeof kCommands / sizeof kCommands[0];
    return kCommands;
}

}  // namespace zk
