// The dispatch table: names in comparison order, the inputs each handler
// receives and what must be present before it is called. A row without a
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
#include "commands/keys/ServiceCommands.h"
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

constexpr CommandRow kCommands[] = {
    {"GET_VERSION", I::Params, R::None, GetVersionCommand},
    {"GET_CERT_FILES", I::Params, R::None, GetCertFilesCommand},
    {"GET_SK_FILES", I::Params, R::None, GetSkFilesCommand},
    {"CHECK_CERT_KEY", I::Params, R::Params, CheckCertKeyCommand},
    {"CHANGE_KEY_PASS", I::Params, R::Params, ChangeKeyPassCommand},
    {"SET_SIGN", I::ParamsData, R::None, SetSignCommand},
    {"ENCRYPT", I::ParamsData, R::None, EncryptCommand},
    {"GET_ORIGINAL", I::ParamsData, R::None, GetOriginalCommand},
    {"GET_SIGNED", I::ParamsData, R::None, GetSignedCommand},
    {"CLEAN", I::Params, R::None, CleanCommand},
    {"SYMMETRIC", I::ParamsData, R::None, SymmetricCommand},
    {"GET_CERT", I::Params, R::Params, GetCertCommand},
    {"GET_INFO_CERT", I::Params, R::Params, GetInfoCertCommand},
    {"GET_RANDOM", I::Params, R::Params, GetRandomCommand},
    {"SAVE_DATA", I::Data, R::None, SaveDataCommand},
    {"LOAD_DATA", I::Nothing, R::None, LoadDataCommand},
    {"SAVE_PASSWORD", I::Params, R::Params, SavePasswordCommand},
    {"RETRIEVE_PASSWORD", I::Nothing, R::None, RetrievePasswordCommand},
    {"CLEAN_PASSWORD", I::Nothing, R::None, CleanPasswordCommand},
    {"GET_UPDATE_INFO", I::Nothing, R::None, GetUpdateInfoCommand},
    {"DO_UPDATE", I::Nothing, R::None, DoUpdateCommand},
    {"ONLOAD", I::Nothing, R::None, OnLoadCommand},
    {"PARENT_XCHG", I::Data, R::Data, ParentExchangeCommand},
    {"SAVE_CERT", I::Params, R::Params, SaveCertCommand},
    {"KEY_FOLDER", I::Params, R::Params, KeyFolderCommand},
    {"SELECT_KEY_FOLDER", I::Nothing, R::None, SelectKeyFolderCommand},
    {"SET_EXTERNAL_SIGN", I::ParamsData, R::None, SetExternalSignCommand},
    {"CHECK_EXTERNAL_SIGN", I::ParamsData, R::None, CheckExternalSignCommand},
    {"GET_SUBJ_KEY_ID", I::Params, R::None, GetSubjKeyIdCommand},
    {"GEN_CERTIF_REQUEST", I::Params, R::None, GenCertifRequestCommand},
    {"DB_COMMAND", I::Params, R::None, DbCommandCommand},
    {"DB_DROP", I::Params, R::None, DbDropCommand},
    {"CTX_CREATE_CONTAINER", I::ParamsData, R::None, CtxCreateContainerCommand},
    {"CTX_ADD_SIGNATURE", I::ParamsData, R::None, CtxAddSignatureCommand},
    {"CTX_REQUEST_TIMESTAMP", I::ParamsData, R::None, CtxRequestTimestampCommand},
    {"CTX_ADD_TIMESTAMP", I::ParamsData, R::None, CtxAddTimestampCommand},
    {"CTX_GET_TIMESTAMP_INFO", I::Data, R::None, CtxGetTimestampInfoCommand},
    {"CTX_REMOVE_SIGNATURE", I::ParamsData, R::None, CtxRemoveSignatureCommand},
    {"CTX_REQUEST_OCSP", I::Params, R::None, CtxRequestOcspCommand},
    {"CTX_GET_OCSP_INFO", I::Data, R::None, CtxGetOcspInfoCommand},
    {"CTX_REQUEST_CMP", I::Params, R::None, CtxRequestCmpCommand},
    {"CTX_ADD_COMPLETEINFO", I::ParamsData, R::None, CtxAddCompleteInfoCommand},
    {"CTX_GET_CONTAINER_INFO", I::ParamsData, R::None, CtxGetContainerInfoCommand},
    {"CTX_MERGE_CONTAINER", I::Params, R::None, CtxMergeContainerCommand},
    {"CTX_VERIFY_SIGNS", I::Data, R::None, CtxVerifySignsCommand},
    {"CTX_VERIFY_EXTERNAL_SIGNS", I::ParamsData, R::None, CtxVerifyExternalSignsCommand},
    {"CTX_REMOVE_CONTENT", I::Data, R::None, CtxRemoveContentCommand},
    {"CTX_ADD_CONTENT", I::ParamsData, R::None, CtxAddContentCommand},
    {"CTX_ENCRYPT", I::ParamsData, R::None, CtxEncryptCommand},
    {"CTX_DECRYPT", I::ParamsData, R::None, CtxDecryptCommand},
    {"CTX_GET_ENVELOPE_TYPE", I::Data, R::None, CtxGetEnvelopeTypeCommand},
    {"CTX_GET_SENDER_CERT", I::ParamsData, R::None, CtxGetSenderCertCommand},
    {"CTX_GET_RECIPIENTS", I::Data, R::None, CtxGetRecipientsCommand},
    {"CTX_VERIFY_CERT_SIGN", I::ParamsData, R::None, CtxVerifyCertSignCommand},
    {"CTX_GET_SIGNER_CERT", I::ParamsData, R::None, CtxGetSignerCertCommand},
    {"CTX_GET_ORIGINAL", I::ParamsData, R::None, CtxGetOriginalCommand},
    {"CTX_GET_JKS_CERTS", I::ParamsData, R::None, CtxGetJksCertsCommand},
    {"CTX_GET_JKS_KEYS", I::ParamsData, R::None, CtxGetJksKeysCommand},
    {"CTX_GET_HASH", I::ParamsData, R::None, CtxGetHashCommand},
    {"DONGLES_LIST", I::Params, R::None, DonglesListCommand},
    {"DONGLES_INIT", I::Params, R::None, DonglesInitCommand},
    {"DONGLES_CHANGE_PASS", I::Params, R::None, DonglesChangePassCommand},
    {"DONGLES_UNLOCK", I::Params, R::None, DonglesUnlockCommand},
    {"DONGLES_KEY_SET_LABEL", I::Params, R::None, DonglesKeySetLabelCommand},
    {"DONGLES_KEY_DELETE", I::Params, R::None, DonglesKeyDeleteCommand},
    {"DONGLES_FILES_ENUM", I::Params, R::None, DonglesFilesEnumCommand},
    {"DONGLES_FILE_GET", I::Params, R::None, DonglesFileGetCommand},
    {"DONGLES_FILE_SET", I::ParamsData, R::None, DonglesFileSetCommand},
};
static_assert(sizeof kCommands / sizeof kCommands[0] == 68);

}  // namespace

const CommandRow* CommandTable(size_t* count) {
    *count = sizeof kCommands / sizeof kCommands[0];
    return kCommands;
}

}  // namespace zk
