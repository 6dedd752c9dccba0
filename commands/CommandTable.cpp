// The dispatch table: names in comparison order, the inputs each handler
// receives and what must be present before it is called. A row without a
// handler is a command this build does not offer; the dispatcher refuses it.
#include "commands/ProcessRequest.h"
#include "commands/datastore/DbCommands.h"
#include "commands/datastore/LocalData.h"
#include "commands/datastore/PasswordSlot.h"
#include "commands/signing/SmallCrypto.h"
#include "commands/keys/ServiceCommands.h"
#include "commands/keys/CertCommands.h"
#include "commands/keys/KeyCommands.h"
#include "commands/keys/ListCommands.h"
#include "commands/signing/SignCommands.h"

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
    {"ENCRYPT", I::ParamsData, R::None, nullptr},
    {"GET_ORIGINAL", I::ParamsData, R::None, nullptr},
    {"GET_SIGNED", I::ParamsData, R::None, nullptr},
    {"CLEAN", I::Params, R::None, nullptr},
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
    {"GEN_CERTIF_REQUEST", I::Params, R::None, nullptr},
    {"DB_COMMAND", I::Params, R::None, DbCommandCommand},
    {"DB_DROP", I::Params, R::None, DbDropCommand},
    {"CTX_CREATE_CONTAINER", I::ParamsData, R::None, nullptr},
    {"CTX_ADD_SIGNATURE", I::ParamsData, R::None, nullptr},
    {"CTX_REQUEST_TIMESTAMP", I::ParamsData, R::None, nullptr},
    {"CTX_ADD_TIMESTAMP", I::ParamsData, R::None, nullptr},
    {"CTX_GET_TIMESTAMP_INFO", I::Data, R::None, nullptr},
    {"CTX_REMOVE_SIGNATURE", I::ParamsData, R::None, nullptr},
    {"CTX_REQUEST_OCSP", I::Params, R::None, nullptr},
    {"CTX_GET_OCSP_INFO", I::Data, R::None, nullptr},
    {"CTX_REQUEST_CMP", I::Params, R::None, nullptr},
    {"CTX_ADD_COMPLETEINFO", I::ParamsData, R::None, nullptr},
    {"CTX_GET_CONTAINER_INFO", I::ParamsData, R::None, nullptr},
    {"CTX_MERGE_CONTAINER", I::Params, R::None, nullptr},
    {"CTX_VERIFY_SIGNS", I::Data, R::None, nullptr},
    {"CTX_VERIFY_EXTERNAL_SIGNS", I::ParamsData, R::None, nullptr},
    {"CTX_REMOVE_CONTENT", I::Data, R::None, nullptr},
    {"CTX_ADD_CONTENT", I::ParamsData, R::None, nullptr},
    {"CTX_ENCRYPT", I::ParamsData, R::None, nullptr},
    {"CTX_DECRYPT", I::ParamsData, R::None, nullptr},
    {"CTX_GET_ENVELOPE_TYPE", I::Data, R::None, nullptr},
    {"CTX_GET_SENDER_CERT", I::ParamsData, R::None, nullptr},
    {"CTX_GET_RECIPIENTS", I::Data, R::None, nullptr},
    {"CTX_VERIFY_CERT_SIGN", I::ParamsData, R::None, nullptr},
    {"CTX_GET_SIGNER_CERT", I::ParamsData, R::None, nullptr},
    {"CTX_GET_ORIGINAL", I::ParamsData, R::None, nullptr},
    {"CTX_GET_JKS_CERTS", I::ParamsData, R::None, nullptr},
    {"CTX_GET_JKS_KEYS", I::ParamsData, R::None, nullptr},
    {"CTX_GET_HASH", I::ParamsData, R::None, nullptr},
    {"DONGLES_LIST", I::Params, R::None, nullptr},
    {"DONGLES_INIT", I::Params, R::None, nullptr},
    {"DONGLES_CHANGE_PASS", I::Params, R::None, nullptr},
    {"DONGLES_UNLOCK", I::Params, R::None, nullptr},
    {"DONGLES_KEY_SET_LABEL", I::Params, R::None, nullptr},
    {"DONGLES_KEY_DELETE", I::Params, R::None, nullptr},
    {"DONGLES_FILES_ENUM", I::Params, R::None, nullptr},
    {"DONGLES_FILE_GET", I::Params, R::None, nullptr},
    {"DONGLES_FILE_SET", I::ParamsData, R::None, nullptr},
};
static_assert(sizeof kCommands / sizeof kCommands[0] == 68);

}  // namespace

const CommandRow* CommandTable(size_t* count) {
    *count = sizeof kCommands / sizeof kCommands[0];
    return kCommands;
}

}  // namespace zk
