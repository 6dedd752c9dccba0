// The shared return codes and their Ukrainian messages.
#pragma once
#include <string>

namespace zk {

enum ReturnCode : int {
    kOk = 0,
    kBufferEmpty = 1,
    kProviderNotSupported = 2,
    kCertInfoError = 3,
    kCertNotUsable = 4,
    kPasswordCancelled = 5,
    kKeyMismatch = 6,
    kBadKeyFormat = 7,
    kWrongPassword = 8,
    kNoSignature = 9,
    kDamaged = 10,
    kBadSignature = 11,
    kVerifyInternal = 12,
    kIntegrity = 13,
    kSignBlocksDiffer = 14,
    kRootCheckFailed = 15,
    kDongleError = 16,
    kHashNotSupported = 21,
    kRequestEncoding = 22,
    kEnvelopeEncoding = 23,
    kNoHash = 24,
    kSocketError = 25,
    kServerResponse = 26,
    kTimestampMismatch = 27,
    kUserDeclined = 50,
    kUserBusy = 51,
    kNoCertFile = 52,
    kNoKeyFile = 53,
    kProviderTypeUnknown = 54,
    kBadRequestXml = 55,
    kBadRequestParams = 56,
    kNoSenderBeforeEncrypted = 57,
};

// The message of a code in Windows-1251; empty text for a code without a row.
const std::string& ReturnMessage(int code);

}  // namespace zk
