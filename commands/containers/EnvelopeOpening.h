// Opening an envelope of the container family for the user (CTX_DECRYPT,
// CTX_GET_ORIGINAL): the recipient's key found by its rules, the
// originator's certificate, the decryption.
#pragma once
#include <optional>
#include <span>
#include <vector>

#include <tinyxml2.h>

#include "commands/signer/SignerLocator.h"
#include "platform/SecureWipe.h"
#include "provider/Operations.h"

namespace zk {

struct RecipientParams {
    // DRFO, Type, Serial, Pass (with Preserve), DongleProviderName,
    // DongleSlotId; files are located with the crypto library "QLB".
    SignerParams key;
    std::optional<std::vector<uint8_t>> recipientCert;  // RecipientCert
    std::optional<SecretBytes> recipientKey;            // RecipientSK
    std::vector<uint8_t> originatorCert;                // SenderCert; empty: taken from the envelope
};

RecipientParams ReadRecipientParams(const tinyxml2::XMLElement* params);

// The recipient's key, by the first rule that applies:
//  1. RecipientCert with RecipientSK: that pair (on the token when
//     DongleProviderName is given too);
//  2. RecipientCert with DongleProviderName: the token's key of that certificate;
//  3. neither DRFO nor Serial: the envelope's recipients (listed here when
//     recipients is null; the listing's code when the data is no envelope), with DongleProviderName the first certificate of
//     the certificate list that is one of them and whose key is on the
//     token, else each recipient in envelope order through the key files
//     until one's key opens (the code of the last try when none does; the
//     given parameters alone when the list is empty);
//  4. DRFO or Serial: the token, or the certificate list and key files.
// The parameters are used up (the key bytes move into the search).
SignerLocation LocateRecipientKey(RecipientParams& params, provider::ByteView envelope,
                                  const std::vector<ProviderCertInfo>* recipients);

struct OpenedEnvelope {
    int code = 0;
    int detail = -1;  // the key location's detail value
    provider::Output plain;  // wiped when dropped
    size_t inPlace = 0;      // the plaintext's length, when it was written over the envelope
};

// The recipient's key, the originator's certificate (index 0 of the
// envelope's when SenderCert is empty), ZKLCTX_DecryptData; a token key is
// disconnected afterwards. With overwrite (the envelope's own memory) the
// plaintext is written over the envelope (inPlace) instead of into plain:
// the envelope is gone then, whatever the outcome.
OpenedEnvelope OpenEnvelope(RecipientParams& params, provider::ByteView envelope,
                            const std::vector<ProviderCertInfo>* recipients, const provider::Site& site,
                            std::span<uint8_t> overwrite = {});

}  // namespace zk
