// Envelopes of the container family (bare CMS EnvelopedData): CTX_ENCRYPT
// (on behalf of the located sender, for the recipients in the page's
// order), CTX_DECRYPT (with the user's key, found by the recipient rules),
// CTX_GET_ENVELOPE_TYPE, CTX_GET_SENDER_CERT (index 0 the sender) and
// CTX_GET_RECIPIENTS.
#pragma once
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "provider/ZelkorD.h"

namespace zk {

bool CtxEncryptCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                       std::string& answer);
bool CtxDecryptCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                       std::string& answer);
bool CtxGetEnvelopeTypeCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer);
bool CtxGetSenderCertCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer);
bool CtxGetRecipientsCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer);

// Recipients with one Cert per record (the container certificate element),
// under parent.
void AppendRecipients(tinyxml2::XMLElement* parent, const std::vector<ProviderCertInfo>& recipients);

}  // namespace zk
