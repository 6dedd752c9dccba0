// An envelope between parties: made on behalf of a sender for its recipients,
// and opened by one recipient with its key. Every operation that encrypts or
// decrypts for certificates (the library frames of the protected documents,
// the bare envelopes of the container family) goes through here, so the
// checks are the same everywhere.
//
// The sender's key takes no part in the key agreement (each envelope has
// keys of its own), but it must open: encrypting proves that the sender
// holds the key of the certificate the envelope names as its sender.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "provider/ZelkorD.h"
#include "zelkord/Envelope.h"
#include "zelkord/Ossl.h"

namespace zkd {

class SenderEnvelope {
public:
    // Reads the certificates: 0; 56 when there is no recipient (or more than
    // kMaxEnvelopeRecipients) or no sender; 3 when a certificate cannot be read.
    int Prepare(const ZKBlob* recipients, int32_t count, const uint8_t* senderCert, uint32_t senderCertLen);

    X509* sender() const { return sender_.get(); }
    const std::vector<X509*>& recipients() const { return recipe_.recipients; }
    // An upper bound of the envelope of len bytes.
    size_t SizeBound(size_t len) const { return EnvelopeSizeBound(len, recipe_); }

    // Opens the sender's key (codes of OpenPrivateKey) and writes the
    // envelope of data into out (room for cap bytes): originatorInfo carries
    // the sender's certificate and then every recipient's.
    int Write(const uint8_t* data, size_t len, const uint8_t* key, ZKKeyLen keyLen, const char* pass, uint8_t* out,
              size_t cap, size_t& written) const;

private:
    std::vector<X509Ptr> owned_;
    X509Ptr sender_;
    EnvelopeRecipe recipe_;
};

// Parses the envelope and checks that cert (DER or PEM) is one of its
// recipients: 0; 3 when cert cannot be read; the codes of
// EnvelopeReader::Parse; 6 when cert is not a recipient.
int ReadEnvelopeFor(const uint8_t* envelope, size_t len, const uint8_t* cert, uint32_t certLen,
                    EnvelopeReader& reader, X509Ptr& recipient);

// Decrypts the envelope for the recipient cert with its key (file bytes, or
// a connected token key): 0 with *outLen the plaintext's length; the codes
// of ReadEnvelopeFor, OpenPrivateKey and EnvelopeReader::Decrypt.
int OpenEnvelopeFor(const uint8_t* envelope, size_t len, const uint8_t* key, ZKKeyLen keyLen, const char* pass,
                    const uint8_t* cert, uint32_t certLen, uint8_t* out, uint32_t* outLen);

}  // namespace zkd
