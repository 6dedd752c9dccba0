/*
 * The contract between ZelkorH and its crypto provider library ZelkorD
 * (libZelkorD.so): every export with its C function type, the methods-table
 * slot numbers with their function types, and the records exchanged by
 * address. The host and the provider both include this header.
 *
 * Conventions
 * - Every operation returns an int: 0 is success, anything else a return code
 *   of the shared table (ZKReturnCode below; commands/Messages.h holds the
 *   texts).
 * - Variable-size output: call first with a null buffer to learn the length
 *   (written through the in/out length pointer), then with a buffer of exactly
 *   that length. Output buffers are the caller's memory.
 * - A private key is a pair (bytes, length), or (NULL, token key handle) for a
 *   key on a hardware token; the second member therefore has pointer width.
 * - Texts are NUL-terminated Windows-1251 strings.
 * - Records are byte-packed. Their documented offsets are those of a 32-bit
 *   build and are checked there; on 64-bit builds address fields are 8 bytes
 *   wide, so later offsets shift. Use sizeof, never a literal record size.
 */
#ifndef ZELKORD_H
#define ZELKORD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- basics */

typedef uintptr_t ZKTokenKey;   /* handle of a connected token key, 0 = none */
typedef uintptr_t ZKKeyLen;     /* key length, or a ZKTokenKey when key == NULL */
typedef void* ZKLDContext;      /* library context that slot 0 creates */

#define ZK_ID_TEXT_SIZE 72      /* key identifier buffers of GetSubjectKeyIdentifier */
#define ZK_NAME_SIZE 65         /* names, identifiers, file names in fixed fields */
#define ZK_KEY_BUFFER_SIZE 10240
#define ZK_CRYPTO_LIB_COUNT 50
#define ZK_INIT_MESSAGE_SIZE 1024
#define ZK_EKU_SLOTS 128

/* The shared table of return codes: the provider's operations and the
 * system's own answers use the same values. */
typedef enum ZKReturnCode {
    ZK_E_OK = 0,
    ZK_E_BUFFER_EMPTY = 1,
    ZK_E_PROVIDER_NOT_SUPPORTED = 2,  /* also: the provider does not offer the operation */
    ZK_E_CERT_INFO = 3,
    ZK_E_CERT_NOT_USABLE = 4,
    ZK_E_PASSWORD_CANCELLED = 5,
    ZK_E_KEY_MISMATCH = 6,
    ZK_E_BAD_KEY_FORMAT = 7,
    ZK_E_SIGN_OR_PASSWORD = 8,        /* signing or encryption failed, perhaps a wrong password */
    ZK_E_BAD_FILE_FORMAT = 9,         /* the identifying signature of the format is missing */
    ZK_E_DAMAGED = 10,
    ZK_E_BAD_SIGNATURE = 11,
    ZK_E_VERIFY_INTERNAL = 12,
    ZK_E_INTEGRITY = 13,
    ZK_E_SIGN_BLOCKS_DIFFER = 14,
    ZK_E_ROOT_CHECK = 15,
    ZK_E_DONGLE = 16,
    ZK_E_HASH_NOT_SUPPORTED = 21,
    ZK_E_REQUEST_ENCODING = 22,
    ZK_E_ENVELOPE_ENCODING = 23,
    ZK_E_NO_HASH = 24,
    ZK_E_SOCKET = 25,
    ZK_E_SERVER_RESPONSE = 26,
    ZK_E_TIMESTAMP_MISMATCH = 27,
    ZK_E_USER_DECLINED = 50,
    ZK_E_USER_BUSY = 51,
    ZK_E_NO_CERT_FILE = 52,
    ZK_E_NO_KEY_FILE = 53,
    ZK_E_PROVIDER_TYPE_UNKNOWN = 54,
    ZK_E_BAD_REQUEST_XML = 55,
    ZK_E_BAD_REQUEST_PARAMS = 56,
    ZK_E_NO_SENDER_BEFORE_ENCRYPTED = 57
} ZKReturnCode;

/* Load codes of slot 0 (a table of their own). */
typedef enum ZKLoadCode {
    ZK_LOAD_OK = 0,
    ZK_LOAD_LIBRARY = 1,       /* a crypto library cannot be loaded */
    ZK_LOAD_CERT = 2,          /* its certificate cannot be loaded */
    ZK_LOAD_KEY = 3,           /* its private key cannot be loaded */
    ZK_LOAD_KEY_PASSWORD = 4,  /* its key password is not set */
    ZK_LOAD_NO_SECTION = 5,    /* the parameter file has no [CryptoLibs] section */
    ZK_LOAD_CA_SIGNATURE = 6,  /* the certificate's signature is bad */
    ZK_LOAD_EXPORTS = 7        /* a library module lacks the required exports */
} ZKLoadCode;

#pragma pack(push, 1)

/* An (address, length) pair of the record and array arguments. */
typedef struct ZKBlob {
    uint8_t* data;
    uint32_t length;
} ZKBlob;

typedef char ZKName[ZK_NAME_SIZE];

/* ------------------------------------------------------ crypto library table */

typedef void* (*ZKAllocFn)(size_t size);
typedef void (*ZKFreeFn)(void* block);
typedef char* (*ZKStrDupFn)(const char* text);

/* One entry of the crypto library table (50 entries, created by the host and
 * filled by slot 0). Texts placed here by the provider are allocated with the
 * entry's own Alloc/StrDup so that the host can release them with Free. */
typedef struct CryptoLibInfo {
    ZKAllocFn Alloc;              /*   0 */
    ZKFreeFn Free;                /*   4 */
    ZKStrDupFn StrDup;            /*   8 */
    int32_t Zero12[4];            /*  12..27 */
    char Code[4];                 /*  28 "USC", "QLB", "UA1"; empty = unused */
    char* Title;                  /*  32 */
    void* Module;                 /*  36 module handle the provider loaded */
    char* Profile;                /*  40 */
    char* ParamsSection;          /*  44 */
    int32_t Value48;              /*  48 */
    char* CertPath;               /*  52 */
    char* KeyPath;                /*  56 */
    int32_t Value60;              /*  60 */
    char* Text64;                 /*  64 */
    char* Text68;                 /*  68 */
    char* Text72;                 /*  72 */
    int32_t Value76;              /*  76 */
    char* Text80;                 /*  80 */
    char* Text84;                 /*  84 */
    int32_t Value88;              /*  88 */
    char* Text92;                 /*  92 */
    char* Text96;                 /*  96 */
    char* Text100;                /* 100 */
    int32_t Value104;             /* 104 */
    char* Text108;                /* 108 */
    char* Text112;                /* 112 */
    int32_t Value116;             /* 116 */
    char* Text120;                /* 120 */
    char* Text124;                /* 124 */
    char* Text128;                /* 128 */
    int32_t Value132;             /* 132 */
    char* Text136;                /* 136 */
    char* Text140;                /* 140 */
    int32_t Value144;             /* 144 */
    char* Text148;                /* 148 */
    uint8_t NeedsSenderCert;      /* 152 1 before initialisation; then the library's
                                         "prefix the sender certificate" flag */
    uint8_t Reserved153[199];     /* 153..351 */
} CryptoLibInfo;

/* ------------------------------------------------- certificate information */

/* Filled by ZKLCTX_GetCertInfo; 3399 bytes on a 32-bit build. */
typedef struct ProviderCertInfo {
    char SN[65];                  /*    0 serial number, upper-case hex */
    char Serial[65];              /*   65 key identifier pairing cert and key */
    char SubjectCN[65];           /*  130 */
    char Issuer[65];              /*  195 */
    char IssuerSN[65];            /*  260 issuer's serialNumber, e.g. "UA-12345678" */
    int32_t DateBeg;              /*  325 seconds since 1970 UTC, 0 = not set */
    int32_t DateEnd;              /*  329 */
    char EDRPOU[15];              /*  333 */
    char DRFO[15];                /*  348 */
    char Name[65];                /*  363 */
    char Email[65];               /*  428 */
    char Title[65];               /*  493 */
    char PostalCode[15];          /*  558 */
    char Obl[65];                 /*  573 */
    char Rayon[65];               /*  638 */
    char Adres[65];               /*  703 */
    char Tel[65];                 /*  768 */
    char Country[65];             /*  833 */
    char Surname[65];             /*  898 */
    char GivenName[65];           /*  963 */
    char SerialNumber[65];        /* 1028 subject serialNumber attribute */
    char OrgNm[65];               /* 1093 */
    char UnitName[65];            /* 1158 */
    char EDDRU[15];               /* 1223 */
    uint32_t KeyUsage;            /* 1238 low byte = first byte of the key usage bits */
    uint32_t ExtKeyUsage;         /* 1242 */
    char Reserved1246[260];       /* 1246..1505 */
    char IssuerDN[256];           /* 1506 */
    char SubjectDN[256];          /* 1762 */
    char AccessTSP[256];          /* 2018 timestamp service access point */
    char AccessOCSP[65];          /* 2274 OCSP access point */
    char Reserved2339[65];        /* 2339..2403 */
    int32_t Reserved2404;         /* 2404 the caller sets 255 */
    char Reserved2408[65];        /* 2408..2472 */
    int32_t IsQualified;          /* 2473 */
    int32_t IsKeyInDevice;        /* 2477 */
    int32_t Reserved2481;         /* 2481 */
    uint8_t Reserved2485;         /* 2485 */
    uint8_t Reserved2486[3];      /* 2486..2488 */
    int32_t Reserved2489;         /* 2489 */
    int32_t Reserved2493;         /* 2493 */
    int32_t Type;                 /* 2497 the caller sets -1 */
    char Reserved2501[890];       /* 2501..3390 */
    ZKName* ExtKeyUsageOids;      /* 3391 caller's buffer of ExtKeyUsageSlots names */
    int32_t ExtKeyUsageSlots;     /* 3395 in: slots; out: identifiers written */
} ProviderCertInfo;

/* ------------------------------------------- certificate request subject */

/* Subject description of a certificate request; 1079 bytes on 32-bit. */
typedef struct CertRequestSubject {
    char Reserved0[65];           /*    0 */
    char SubjectKeyId[65];        /*   65 written by the provider */
    int32_t SigningSchema;        /*  130 default 9 */
    char EDRPOU[15];              /*  134 */
    char DRFO[15];                /*  149 */
    char Name[65];                /*  164 */
    char Email[65];               /*  229 */
    char Title[65];               /*  294 */
    char PostalCode[15];          /*  359 */
    char Obl[65];                 /*  374 */
    char Rayon[65];               /*  439 */
    char Adres[65];               /*  504 */
    char Tel[65];                 /*  569 */
    char Qualifier[65];           /*  634 */
    char Surname[65];             /*  699 */
    char GivenName[65];           /*  764 */
    char SerialNumber[65];        /*  829 */
    char OrganizationName[65];    /*  894 */
    char OrganizationalUnitName[65]; /* 959 */
    char EDDRU[15];               /* 1024 */
    uint32_t KeyUsage;            /* 1039 */
    uint32_t ExtKeyUsage;         /* 1043 */
    int32_t IsQualified;          /* 1047 */
    int32_t IsKeyInDevice;        /* 1051 */
    int32_t HasTransactionLimit;  /* 1055 */
    char CurrencyCode[4];         /* 1059 "UAH" when empty */
    int32_t LimitAmount;          /* 1063 */
    int32_t LimitExponent;        /* 1067 */
    ZKName* ExtKeyUsageOids;      /* 1071 */
    int32_t ExtKeyUsageCount;     /* 1075 */
} CertRequestSubject;

/* -------------------------------------------------- containers (CMS) */

enum {
    ZK_ATTR_SIGNING_TIME = 1 << 0,
    ZK_ATTR_POLICY_ID = 1 << 1,
    ZK_ATTR_POLICY_URI = 1 << 2,
    ZK_ATTR_POLICY_NOTICE = 1 << 3,
    ZK_ATTR_CONTENT_TIMESTAMP = 1 << 4
};

/* Optional signed attributes; 2668 bytes on 32-bit. */
typedef struct AdditionalAttributes {
    int32_t Zero0;                /*  0 */
    int32_t Zero4;                /*  4 */
    uint32_t Flags;               /*  8 ZK_ATTR_* */
    uint32_t SigningTime;         /* 12 */
    ZKBlob SigPolicy;             /* 16 */
    ZKBlob SigPolicyURI;          /* 24 */
    ZKBlob SigPolicyMessage;      /* 32 */
    ZKBlob ContentTimestamp;      /* 40 */
    uint8_t Zero48[2620];         /* 48..2667 */
} AdditionalAttributes;

#define ZK_CONTAINER_LIST_SIZE 20

/* Description of one signature of a container; 2668 bytes on 32-bit. */
typedef struct ContainerInfo {
    ZKBlob Work;                  /*    0 caller's work buffer, as large as the container */
    int32_t Reserved8;            /*    8 */
    uint32_t SigningTime;         /*   12 */
    ZKBlob SigPolicy;             /*   16 */
    ZKBlob SigPolicyURI;          /*   24 */
    ZKBlob SigPolicyMessage;      /*   32 */
    ZKBlob ContentTimestamp;      /*   40 */
    ZKBlob Content;               /*   48 */
    ZKBlob SignerCert;            /*   56 */
    uint8_t Reserved64[1100];     /*   64..1163 */
    ZKBlob Signature;             /* 1164 */
    ZKBlob SignatureTimestamp;    /* 1172 */
    ZKBlob Certs[ZK_CONTAINER_LIST_SIZE]; /* 1180 */
    ZKBlob CRLs[ZK_CONTAINER_LIST_SIZE];  /* 1340 */
    ZKBlob OCSPs[ZK_CONTAINER_LIST_SIZE]; /* 1500 */
    uint8_t Reserved1660[1008];   /* 1660..2667 */
} ContainerInfo;

#define ZK_VERIFY_MAX_RESULTS 256

/* ---------------------------------------------- timestamps, OCSP, CMP */

/* 1217 bytes on 32-bit. */
typedef struct TimestampInfo {
    int32_t Status;               /*   0 */
    int32_t FailInfo;             /*   4 */
    uint8_t Hash[32];             /*   8 message imprint */
    uint32_t Time;                /*  40 */
    char Serial[65];              /*  44 the token's serial number, upper-case hex (not read by the host) */
    uint8_t Reserved109[130];     /* 109..238 */
    uint8_t* CertBuffer;          /* 239 caller's buffer for the TSA certificate */
    uint32_t CertLength;          /* 243 in: buffer size; out: certificate length */
    uint8_t Reserved247[970];     /* 247..1216 */
} TimestampInfo;

/* 1043 bytes. */
typedef struct OcspInfo {
    int32_t Status;               /*    0 */
    uint32_t ProducedAt;          /*    4 */
    char Reserved8[65];           /*    8 */
    char SignerKeyIdentifier[65]; /*   73 */
    char EDRPOU[15];              /*  138 */
    char DRFO[15];                /*  153 */
    char Name[65];                /*  168 */
    char Email[65];               /*  233 */
    char Title[65];               /*  298 */
    char PostalCode[15];          /*  363 */
    char Obl[65];                 /*  378 */
    char Rayon[65];               /*  443 */
    char Adres[65];               /*  508 */
    char Tel[65];                 /*  573 */
    char Reserved638[195];        /*  638..832 */
    char SN[65];                  /*  833 */
    char OrgNm[65];               /*  898 */
    char UnitName[65];            /*  963 */
    char EDDRU[15];               /* 1028 */
} OcspInfo;

/* The most certificates one OCSP request asks about, and the entries of the
 * status array that ZKLCTX_GetOCSPResponseInfo is given. */
#define ZK_OCSP_MAX_STATUSES 256

/* 145 bytes. */
typedef struct OcspCertStatus {
    int32_t Status;               /*  0 */
    int32_t Reason;               /*  4 */
    uint32_t RevocationTime;      /*  8 0 when not revoked */
    uint32_t ThisUpdate;          /* 12 */
    char CertID[129];             /* 16 */
} OcspCertStatus;

#define ZK_COMPLETE_MAX_ITEMS 10

/* Validation data for one signature; 168 bytes on 32-bit. */
typedef struct CompleteInfoObject {
    ZKBlob Cert;
    ZKBlob CRLs[ZK_COMPLETE_MAX_ITEMS];
    ZKBlob OCSPs[ZK_COMPLETE_MAX_ITEMS];
} CompleteInfoObject;

/* ---------------------------------------------------- hardware tokens */

/* 296 bytes. */
typedef struct TokenInfo {
    char ProviderName[8];         /*   0 */
    int32_t SlotId;               /*   8 */
    char SlotDescription[64];     /*  12 */
    char SlotManufacturerID[32];  /*  76 */
    uint32_t SlotFlags;           /* 108 */
    uint8_t SlotHardwareVersionMajor; /* 112 */
    uint8_t SlotHardwareVersionMinor; /* 113 */
    uint8_t SlotFirmwareVersionMajor; /* 114 */
    uint8_t SlotFirmwareVersionMinor; /* 115 */
    char TokenLabel[32];          /* 116 */
    char TokenManufacturerID[32]; /* 148 */
    char TokenModel[16];          /* 180 */
    char TokenSerialNumber[16];   /* 196 */
    uint32_t TokenFlags;          /* 212 */
    uint32_t Counters[4];         /* 216 */
    uint32_t MaxPinLen;           /* 232 */
    uint32_t MinPinLen;           /* 236 */
    uint32_t Memory[8];           /* 240 */
    uint8_t TokenHardwareVersionMajor; /* 272 */
    uint8_t TokenHardwareVersionMinor; /* 273 */
    uint8_t TokenFirmwareVersionMajor; /* 274 */
    uint8_t TokenFirmwareVersionMinor; /* 275 */
    char Reserved276[16];         /* 276 */
    uint32_t Stationary;          /* 292 non-zero: the token holds named keys */
} TokenInfo;

/* 196 bytes. */
typedef struct TokenKey {
    char Id[65];                  /*   0 */
    char Index[66];               /*  65 */
    char Label[65];               /* 131 */
} TokenKey;

#pragma pack(pop)

/* ------------------------------------------------------------- exports */

typedef void (*ZKLogCallback)(const char* message, const char* function, const char* sourceFile, int line);
/* Asked on the thread of an operation: non-zero once the host has given up the request that the operation
 * serves (its client is gone, the service is stopping, or the request's budget for the work is spent). */
typedef int (*ZKGiveUpCheck)(void);
/* Certificates the host can see beyond those an operation is given: its certificate list, its certificate
 * storage, and the certificates that came with the request it serves. Asked on the thread of an operation for
 * the certificate that key names (below); the host hands each candidate to put with sink, as a file's or a
 * certificate's bytes (DER or PEM: a certificate, several, or a PKCS#7 bundle), and stops when put answers
 * non-zero. The provider checks every candidate itself: finding a certificate is no trust decision. */
#define ZK_CERT_BY_KEY_ID 1 /* text: a subject key identifier, or the SHA-1 of a public key; upper-case hex */
#define ZK_CERT_BY_SERIAL 2 /* text: a serial number, upper-case hex as ProviderCertInfo.SN writes it */
typedef int (*ZKCertPut)(void* sink, const uint8_t* data, uint32_t len);
typedef void (*ZKCertSource)(int32_t key, const char* text, ZKCertPut put, void* sink);
typedef void (*ZKLDProc)(void);

/* The operations, each in one place: its return type, name and parameters as
 * a sequence of (type, name) pairs; "(void, )" for none. From these lists the
 * header makes every export's prototype and pointer type "<name>_t", and
 * every slot's identifier (enum ZKLDSlot) and pointer type "<name>_t"; the
 * host binds and the provider defines and registers from the same lists.
 * A new operation is one entry here. */

#define ZK_PROVIDER_EXPORTS(X) \
    /* ZKLCTX_: containers, envelopes, certificates and keys */ \
    X(int, ZKLCTX_CreateContainer, (const uint8_t*, doc)(uint32_t, docLen)(const uint8_t*, cert)(uint32_t, certLen) \
      (const uint8_t*, key)(ZKKeyLen, keyLen)(const char*, pass)(uint8_t*, out)(uint32_t*, outLen) \
      (const AdditionalAttributes*, attrs)) \
    X(int, ZKLCTX_CreateContainerExt, (const uint8_t*, doc)(uint32_t, docLen)(const uint8_t*, cert) \
      (uint32_t, certLen)(const uint8_t*, key)(ZKKeyLen, keyLen)(const char*, pass)(uint8_t*, out) \
      (uint32_t*, outLen)(const AdditionalAttributes*, attrs)) \
    X(int, ZKLCTX_AddSignature, (const uint8_t*, container)(uint32_t, len)(const uint8_t*, cert)(uint32_t, certLen) \
      (const uint8_t*, key)(ZKKeyLen, keyLen)(const char*, pass)(uint8_t*, out)(uint32_t*, outLen) \
      (const AdditionalAttributes*, attrs)) \
    X(int, ZKLCTX_AddSignatureExt, (const uint8_t*, container)(uint32_t, len)(const uint8_t*, content) \
      (uint32_t, contentLen)(const uint8_t*, cert)(uint32_t, certLen)(const uint8_t*, key)(ZKKeyLen, keyLen) \
      (const char*, pass)(uint8_t*, out)(uint32_t*, outLen)(const AdditionalAttributes*, attrs)) \
    X(int, ZKLCTX_RequestTimestamp, (const uint8_t*, data)(uint32_t, len)(const uint8_t*, cert)(uint32_t, certLen) \
      (uint8_t*, response)(uint32_t*, responseLen)(TimestampInfo*, info)(int32_t*, socketError)(const char*, server) \
      (int32_t, port)(int32_t, timeout)) \
    X(int, ZKLCTX_AddTimestamp, (const uint8_t*, container)(uint32_t, len)(int32_t, signIndex)(const uint8_t*, cert) \
      (uint32_t, certLen)(uint8_t*, out)(uint32_t*, outLen)(TimestampInfo*, info)(int32_t*, socketError) \
      (const char*, server)(int32_t, port)(int32_t, timeout)) \
    X(int, ZKLCTX_GetTimestampInfo, (const uint8_t*, response)(uint32_t, len)(TimestampInfo*, info)) \
    X(int, ZKLCTX_RemoveSignature, (const uint8_t*, container)(uint32_t, len)(int32_t, signIndex)(int32_t, options) \
      (uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_RequestOCSP, (const ZKBlob*, certs)(int32_t, certCount)(const uint8_t*, requesterCert) \
      (uint32_t, requesterCertLen)(const uint8_t*, key)(ZKKeyLen, keyLen)(const char*, pass)(uint8_t*, response) \
      (uint32_t*, responseLen)(OcspInfo*, info)(OcspCertStatus*, statuses)(int32_t*, socketError) \
      (const char*, server)(int32_t, port)(int32_t, timeout)) \
    X(int, ZKLCTX_GetOCSPResponseInfo, (const uint8_t*, response)(uint32_t, len)(OcspInfo*, info) \
      (OcspCertStatus*, statuses)(int32_t*, count)) \
    X(int, ZKLCTX_RequestCMP, (const char*, keyId1)(const char*, keyId2)(uint8_t, acquireChain)(ZKBlob*, slots) \
      (int32_t*, slotCount)(int32_t*, socketError)(const char*, server)(int32_t, port)(int32_t, timeout)) \
    X(int, ZKLCTX_SetCompleteInfo, (const uint8_t*, container)(uint32_t, len)(int32_t, signIndex) \
      (const CompleteInfoObject*, objects)(int32_t, count)(uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_GetContainerInfo, (const uint8_t*, container)(uint32_t, len)(int32_t, signIndex) \
      (ContainerInfo*, info)) \
    X(int, ZKLCTX_GetContainerInfos, (const uint8_t*, container)(uint32_t, len)(ContainerInfo*, infos) \
      (int32_t*, count)(ZKBlob*, work)) \
    X(int, ZKLCTX_MergeSignedData, (uint8_t, checkHash)(const ZKBlob*, containers)(int32_t, count)(uint8_t*, out) \
      (uint32_t*, outLen)) \
    X(int, ZKLCTX_Verify, (const uint8_t*, container)(uint32_t, len)(int32_t*, results)(int32_t*, count)) \
    X(int, ZKLCTX_VerifyExternal, (const uint8_t*, container)(uint32_t, len)(const uint8_t*, content) \
      (uint32_t, contentLen)(int32_t*, results)(int32_t*, count)) \
    X(int, ZKLCTX_RemoveContent, (const uint8_t*, container)(uint32_t, len)(uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_AddContent, (const uint8_t*, container)(uint32_t, len)(const uint8_t*, content) \
      (uint32_t, contentLen)(uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_CheckKeyPair, (const uint8_t*, cert)(uint32_t, certLen)(const uint8_t*, key)(uint32_t, keyLen) \
      (const char*, pass)) \
    /* the pair check that keeps the key open: on 0 the handle stands for the key of cert in every operation */ \
    /* (no key bytes, the key length argument carries the handle) until ZKLCTX_CloseKey */ \
    X(int, ZKLCTX_OpenKey, (const uint8_t*, cert)(uint32_t, certLen)(const uint8_t*, key)(uint32_t, keyLen) \
      (const char*, pass)(ZKTokenKey*, handle)) \
    X(int, ZKLCTX_CloseKey, (ZKTokenKey, handle)) \
    X(int, ZKLCTX_ChangeKeyPassword, (const char*, oldPass)(const uint8_t*, key)(uint32_t, keyLen) \
      (const char*, newPass)(uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_EncryptDataForRecipients, (const uint8_t*, doc)(uint32_t, len)(const uint8_t*, senderCert) \
      (uint32_t, senderCertLen)(const uint8_t*, key)(ZKKeyLen, keyLen)(const char*, pass)(const ZKBlob*, recipients) \
      (int32_t, recipientCount)(uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_DecryptData, (const uint8_t*, envelope)(uint32_t, len)(const uint8_t*, key)(ZKKeyLen, keyLen) \
      (const char*, pass)(const uint8_t*, originatorCert)(uint32_t, originatorCertLen) \
      (const uint8_t*, recipientCert)(uint32_t, recipientCertLen)(uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_GetEnvelopeType, (const uint8_t*, block)(uint32_t, len)(int32_t*, type)) \
    X(int, ZKLCTX_GetOriginatorCertificate, (const uint8_t*, envelope)(uint32_t, len)(int32_t, index)(uint8_t*, out) \
      (uint32_t*, outLen)) \
    X(int, ZKLCTX_EnumerateRecipients, (const uint8_t*, envelope)(uint32_t, len)(ProviderCertInfo*, infos) \
      (int32_t*, count)) \
    X(int, ZKLCTX_GetCertInfo, (const uint8_t*, cert)(uint32_t, len)(ProviderCertInfo*, info)) \
    X(int, ZKLCTX_CheckSignatureCertificate, (const uint8_t*, cert)(uint32_t, len)(const uint8_t*, issuer) \
      (uint32_t, issuerLen)) \
    X(int, ZKLCTX_GetSignedDataCertificate, (const uint8_t*, container)(uint32_t, len)(int32_t, index) \
      (uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_GetSubjectKeyIdentifier, (const uint8_t*, key)(uint32_t, keyLen)(const char*, pass)(char*, id1) \
      (char*, id2)) \
    X(int, ZKLCTX_CreateSimpleCertRequest, (const char*, pass)(CertRequestSubject*, subject1) \
      (CertRequestSubject*, subject2)(uint8_t*, keyContainer)(uint32_t*, keyContainerLen)(uint8_t*, request1) \
      (uint32_t*, request1Len)(uint8_t*, request2)(uint32_t*, request2Len)) \
    /* the store's password checks its integrity (JKS digest, PKCS#12 MAC) and opens encrypted certificates; */ \
    /* without one (null) the certificates are listed unchecked, and encrypted PKCS#12 certificates give 8 */ \
    X(int, ZKLCTX_GetCertsFromPBContainer, (const uint8_t*, store)(uint32_t, len)(ZKBlob*, certs)(int32_t*, count) \
      (uint8_t, onlyUserCerts)(const char*, pass)) \
    X(int, ZKLCTX_GetKeysFromPBContainer, (const uint8_t*, store)(uint32_t, len)(const char*, pass) \
      (const ZKBlob*, certs)(int32_t, certCount)(ZKBlob*, keys)(int32_t*, keyCount)(ZKName*, names) \
      (int32_t*, nameCount)) \
    X(int, ZKLCTX_GetRandomBlock, (uint8_t*, out)(uint32_t, len)) \
    X(int, ZKLCTX_HashData, (const uint8_t*, doc)(uint32_t, len)(const uint8_t*, cert)(uint32_t, certLen) \
      (uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLCTX_HashDataAlg, (const uint8_t*, doc)(uint32_t, len)(const char*, algOid)(uint8_t*, out) \
      (uint32_t*, outLen)) \
    /* ZKLDongles_: hardware key tokens */ \
    X(int, ZKLDongles_Init, (int32_t*, providerNumber)) \
    X(int, ZKLDongles_EnumTokens, (TokenInfo*, tokens)(int32_t*, count)) \
    X(int, ZKLDongles_ConnectKey, (const char*, providerName)(int32_t, slotId)(const char*, pin) \
      (ZKTokenKey*, handle)) \
    X(int, ZKLDongles_DisconnectKey, (ZKTokenKey, handle)) \
    X(int, ZKLDongles_EnumTokenKeys, (ZKTokenKey, handle)(TokenKey*, keys)(int32_t*, count)) \
    X(int, ZKLDongles_InitSlot, (const char*, providerName)(int32_t, slotId)(const char*, adminPass) \
      (const char*, userPass)(const char*, label)) \
    X(int, ZKLDongles_ChangePassword, (const char*, providerName)(int32_t, slotId)(const char*, oldPass) \
      (const char*, newPass)) \
    X(int, ZKLDongles_ChangeNamedKeyPassword, (const char*, providerName)(int32_t, slotId)(const char*, devicePass) \
      (const char*, keyName)(const char*, subjectKeyId)(const char*, oldPass)(const char*, newPass)) \
    X(int, ZKLDongles_UnlockPin, (const char*, providerName)(int32_t, slotId)(const char*, adminPass) \
      (const char*, userPass)) \
    X(int, ZKLDongles_SetKeyLabel, (ZKTokenKey, handle)(const char*, keyId)(const char*, label)) \
    X(int, ZKLDongles_DeleteKey, (ZKTokenKey, handle)(const char*, keyId)) \
    X(int, ZKLDongles_EnumFiles, (ZKTokenKey, handle)(ZKName*, names)(int32_t*, count)) \
    X(int, ZKLDongles_GetFile, (ZKTokenKey, handle)(const char*, name)(uint8_t*, out)(uint32_t*, outLen)) \
    X(int, ZKLDongles_SetFile, (ZKTokenKey, handle)(const char*, name)(const uint8_t*, data)(uint32_t, len)) \
    X(int, ZKLDongles_ConnectNamedKey, (const char*, providerName)(int32_t, slotId)(const char*, devicePass) \
      (const char*, keyName)(const char*, keyId)(const char*, keyPass)(ZKTokenKey*, handle)) \
    /* opens a named key on an open token, by name or by key identifier */ \
    X(int, ZKLDongles_ConnectNamedKey2, (ZKTokenKey, token)(const char*, keyName)(const char*, keyId) \
      (const char*, keyPass)(ZKTokenKey*, handle)) \
    X(int, ZKLDongles_EnumNamedKeys, (ZKTokenKey, handle)(ZKName*, names)(int32_t*, count)) \
    X(const char*, ZKLDongles_TokenOID, (const TokenInfo*, token)) \
    X(int, ZKLDongles_CreateSimpleCertRequest, (const char*, pin)(const char*, providerName)(int32_t, slotId) \
      (const char*, text2)(const char*, text3)(CertRequestSubject*, subject1)(CertRequestSubject*, subject2) \
      (uint8_t*, request1)(uint32_t*, request1Len)(uint8_t*, request2)(uint32_t*, request2Len)) \
    /* services, errors, library life */ \
    X(int, ZKLSVC_AcquireKey, (const uint8_t*, key)(uint32_t, keyLen)(const char*, pass)(uint8_t*, key1) \
      (uint32_t*, key1Len)(uint8_t*, key2)(uint32_t*, key2Len)(char*, id1)(char*, id2)) \
    /* long work (key derivations) asks the check at points where it can stop, and then ends with code 50 */ \
    X(void, ZKLSVC_SetGiveUpCheck, (ZKGiveUpCheck, check)) \
    /* where the provider looks for a certificate that an operation names but does not carry (an OCSP */ \
    /* response's issuer, a timestamp service's certificate); null: nowhere beyond the CACert of the profiles */ \
    X(void, ZKLSVC_SetCertSource, (ZKCertSource, source)) \
    X(int, ZKErrors_GetLastCSPError, (void, )) \
    X(void, ZKErrors_ResetCSPError, (void, )) \
    X(const char*, ZKErrors_GetLastCSPMessage, (void, )) \
    /* the rule (ZK_NET_ flags; 0: none) of the network operations that follow on the calling thread, */ \
    /* until it is set again; 0 when it holds */ \
    X(int, ZKLNET_SetRule, (int32_t, rule)) \
    X(int, ZKLLIB_Init, (void, )) \
    X(int, ZKLLIB_Term, (void, )) \
    X(const ZKLDProc*, ZKLD_GetMethods, (void, )) \
    /* a block that begins with the "CERTCRYPT" sender certificate header, for the recipient cert */ \
    X(int, ZKLUA1_Decrypt, (const uint8_t*, data)(uint32_t, len)(const uint8_t*, key)(ZKKeyLen, keyLen) \
      (const char*, pass)(const uint8_t*, cert)(uint32_t, certLen)(uint8_t*, out)(uint32_t*, outLen))

#define ZK_PROVIDER_SLOTS(S) \
    S(0, ZKLD_SLOT_INIT, int, ZKLD_Init, (const char*, paramsPath)(char*, message)(int32_t, messageSize) \
      (ZKLDContext*, context)(CryptoLibInfo*, table)) \
    S(2, ZKLD_SLOT_END, int, ZKLD_End, (ZKLDContext, ctx)) \
    S(3, ZKLD_SLOT_THREAD_ATTACH, int, ZKLD_ThreadAttach, (ZKLDContext, ctx)) \
    S(4, ZKLD_SLOT_THREAD_DETACH, int, ZKLD_ThreadDetach, (ZKLDContext, ctx)) \
    /* the provider type of the block (0 = not recognised) and, when asked, the index of the crypto library that made it */ \
    S(5, ZKLD_SLOT_DETECT_BLOCK, int, ZKLD_DetectBlock, (ZKLDContext, ctx)(const uint8_t*, data)(uint32_t, len) \
      (int32_t*, libIndex)) \
    S(8, ZKLD_SLOT_LIB_LOADED, int, ZKLD_LibLoaded, (ZKLDContext, ctx)(const char*, code)) \
    S(10, ZKLD_SLOT_LIB_IDENTITY_BY_INDEX, int, ZKLD_LibIdentityByIndex, (ZKLDContext, ctx)(int32_t, libIndex)) \
    S(11, ZKLD_SLOT_LIB_IDENTITY_BY_CODE, int, ZKLD_LibIdentityByCode, (ZKLDContext, ctx)(const char*, code)) \
    S(12, ZKLD_SLOT_LIB_SELECT, int, ZKLD_LibSelect, (ZKLDContext, ctx)(const char*, code)) \
    /* 15 (content attached) and 51 (detached): a signature may vary in length between signings, so */ \
    /* the call without a buffer reports an upper bound and the call with one writes the actual length */ \
    S(15, ZKLD_SLOT_SIGN, int, ZKLD_Sign, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, data)(uint32_t, len) \
      (uint8_t*, out)(uint32_t*, outLen)(const uint8_t*, key)(ZKKeyLen, keyLen)(const uint8_t*, cert) \
      (uint32_t, certLen)(const char*, pass)) \
    /* 16, 18, 33 and ZKLUA1_Decrypt: the calls without buffers report upper bounds (the block's length) */ \
    /* and do none of the work; the calls with buffers write the actual lengths back. */ \
    /* 16: the content of a SignedData whose every signature verifies, and its first signer's certificate */ \
    S(16, ZKLD_SLOT_REMOVE_SIGNATURE, int, ZKLD_RemoveSignature, (ZKLDContext, ctx)(int32_t, lib) \
      (const uint8_t*, data)(uint32_t, len)(uint8_t*, content)(uint32_t*, contentLen)(uint8_t*, signerCert) \
      (uint32_t*, signerCertLen)) \
    /* 17 and 49: the sender's certificate goes into the envelope (its originator information, and the */ \
    /* frame of libraries that carry it); the call without a buffer reports an upper bound */ \
    S(17, ZKLD_SLOT_ENCRYPT, int, ZKLD_Encrypt, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, data) \
      (uint32_t, len)(uint8_t*, out)(uint32_t*, outLen)(const uint8_t*, recipientCert)(uint32_t, recipientCertLen) \
      (const uint8_t*, key)(ZKKeyLen, keyLen)(const uint8_t*, senderCert)(uint32_t, senderCertLen) \
      (const char*, pass)) \
    /* 18: the recipient's certificate names the key of the key file and the envelope's recipient entry */ \
    S(18, ZKLD_SLOT_DECRYPT, int, ZKLD_Decrypt, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, data) \
      (uint32_t, len)(uint8_t*, out)(uint32_t*, outLen)(const uint8_t*, senderCert)(uint32_t, senderCertLen) \
      (const uint8_t*, recipientCert)(uint32_t, recipientCertLen)(const uint8_t*, key)(ZKKeyLen, keyLen) \
      (const char*, pass)) \
    S(19, ZKLD_SLOT_CHECK_KEY_PAIR, int, ZKLD_CheckKeyPair, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, key) \
      (ZKKeyLen, keyLen)(const uint8_t*, cert)(uint32_t, certLen)(const char*, pass)) \
    S(22, ZKLD_SLOT_UNWRAP, int, ZKLD_Unwrap, (ZKLDContext, ctx)(uint8_t*, data)(uint32_t*, len)) \
    S(25, ZKLD_SLOT_HASH, int, ZKLD_Hash, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, data)(uint32_t, len) \
      (uint8_t*, out32)(int32_t, reserved1)(int32_t, reserved2)) \
    S(32, ZKLD_SLOT_TIMESTAMP_READ, int, ZKLD_TimestampRead, (ZKLDContext, ctx)(const uint8_t*, data)(uint32_t, len) \
      (TimestampInfo*, info)) \
    S(33, ZKLD_SLOT_TIMESTAMP_REMOVE, int, ZKLD_TimestampRemove, (ZKLDContext, ctx)(const uint8_t*, data) \
      (uint32_t, len)(uint8_t*, out)(uint32_t*, outLen)) \
    /* mode ZK_SYMMETRIC_ENCRYPT or ZK_SYMMETRIC_DECRYPT */ \
    S(36, ZKLD_SLOT_SYMMETRIC, int, ZKLD_Symmetric, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, data) \
      (uint32_t, len)(uint8_t*, out)(uint32_t*, outLen)(const uint8_t*, key)(uint32_t, keyLen)(int32_t, reserved1) \
      (int32_t, reserved2)(int32_t, mode)) \
    /* iv: 8 bytes */ \
    S(37, ZKLD_SLOT_CIPHER_CREATE, int, ZKLD_CipherCreate, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, key) \
      (uint32_t, keyLen)(const uint8_t*, iv)(void**, cipher)) \
    S(38, ZKLD_SLOT_CIPHER_RUN, int, ZKLD_CipherRun, (ZKLDContext, ctx)(void*, cipher)(uint8_t*, data) \
      (uint32_t, len)) \
    S(39, ZKLD_SLOT_CIPHER_FREE, int, ZKLD_CipherFree, (ZKLDContext, ctx)(void*, cipher)) \
    S(43, ZKLD_SLOT_CHANGE_KEY_PASSWORD, int, ZKLD_ChangeKeyPassword, (ZKLDContext, ctx)(int32_t, lib) \
      (const uint8_t*, key)(uint32_t, keyLen)(const char*, oldPass)(const char*, newPass)(uint8_t*, out) \
      (uint32_t*, outLen)) \
    S(48, ZKLD_SLOT_READ_CERT, int, ZKLD_ReadCert, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, cert) \
      (uint32_t, len)(ProviderCertInfo*, info)) \
    S(49, ZKLD_SLOT_ENCRYPT_MANY, int, ZKLD_EncryptMany, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, data) \
      (uint32_t, len)(uint8_t*, out)(uint32_t*, outLen)(const ZKBlob*, recipients)(int32_t, recipientCount) \
      (const uint8_t*, key)(ZKKeyLen, keyLen)(const uint8_t*, senderCert)(uint32_t, senderCertLen) \
      (const char*, pass)(int32_t, reserved)) \
    /* 50: without certs, the number of recipients; with them (each a buffer and its size), each recipient's */ \
    /* certificate as the envelope carries it (length 0 where it does not); 52 when it carries none */ \
    S(50, ZKLD_SLOT_RECIPIENT_CERTS, int, ZKLD_RecipientCerts, (ZKLDContext, ctx)(const uint8_t*, envelope) \
      (uint32_t, len)(ZKBlob*, certs)(int32_t*, count)) \
    S(51, ZKLD_SLOT_SIGN_DETACHED, int, ZKLD_SignDetached, (ZKLDContext, ctx)(int32_t, lib)(const uint8_t*, data) \
      (uint32_t, len)(uint8_t*, out)(uint32_t*, outLen)(const uint8_t*, key)(ZKKeyLen, keyLen)(const uint8_t*, cert) \
      (uint32_t, certLen)(const char*, pass)) \
    S(52, ZKLD_SLOT_VERIFY_DETACHED, int, ZKLD_VerifyDetached, (ZKLDContext, ctx)(int32_t, lib) \
      (const uint8_t*, signature)(uint32_t, signatureLen)(const uint8_t*, data)(uint32_t, len)(uint8_t*, signerCert) \
      (uint32_t*, signerCertLen)) \
    /* 53: without infos, the number of recipients; with them (zeroed by the caller), what the envelope */ \
    /* tells of each: its whole certificate's facts, else SN and IssuerSN, or Serial, from its identifier */ \
    S(53, ZKLD_SLOT_RECIPIENT_INFOS, int, ZKLD_RecipientInfos, (ZKLDContext, ctx)(const uint8_t*, envelope) \
      (uint32_t, len)(ProviderCertInfo*, infos)(int32_t*, count)) \
    S(55, ZKLD_SLOT_SET_LOG_CALLBACK, void, ZKLD_SetLogCallback, (ZKLogCallback, callback))

/* A parameter sequence as a declaration list ("const uint8_t* data, uint32_t
 * len") or as an argument list ("data, len"). After the first pair, two
 * macros take turns (a macro cannot expand inside its own expansion), so a
 * sequence of any length expands in one pass; the last one left is pasted
 * with _END into nothing. */
#define ZK_PARAMS(seq) ZK_SEQ_END(ZK_PDECL_0 seq)
#define ZK_ARGS(seq) ZK_SEQ_END(ZK_PARG_0 seq)
#define ZK_PDECL_0(type, name) type name ZK_PDECL_A
#define ZK_PDECL_A(type, name) , type name ZK_PDECL_B
#define ZK_PDECL_B(type, name) , type name ZK_PDECL_A
#define ZK_PDECL_0_END
#define ZK_PDECL_A_END
#define ZK_PDECL_B_END
#define ZK_PARG_0(type, name) name ZK_PARG_A
#define ZK_PARG_A(type, name) , name ZK_PARG_B
#define ZK_PARG_B(type, name) , name ZK_PARG_A
#define ZK_PARG_0_END
#define ZK_PARG_A_END
#define ZK_PARG_B_END
#define ZK_SEQ_END(...) ZK_SEQ_END_I(__VA_ARGS__)
#define ZK_SEQ_END_I(...) __VA_ARGS__##_END

/* Prototypes (the provider's definitions are compiled against them) and
 * pointer types of the exports. */
#define ZK_DECLARE_EXPORT(ret, name, seq) \
    ret name(ZK_PARAMS(seq));             \
    typedef ret (*name##_t)(ZK_PARAMS(seq));
ZK_PROVIDER_EXPORTS(ZK_DECLARE_EXPORT)
#undef ZK_DECLARE_EXPORT

/* ------------------------------------------------------ methods table */

#define ZKLD_METHOD_COUNT 56

enum ZKLDSlot {
#define ZK_SLOT_ID(number, id, ret, name, seq) id = number,
    ZK_PROVIDER_SLOTS(ZK_SLOT_ID)
#undef ZK_SLOT_ID
    ZKLD_SLOT_NONE = -1
};

#define ZK_SLOT_POINTER_TYPE(number, id, ret, name, seq) typedef ret (*name##_t)(ZK_PARAMS(seq));
ZK_PROVIDER_SLOTS(ZK_SLOT_POINTER_TYPE)
#undef ZK_SLOT_POINTER_TYPE

/* Symmetric modes of slot 36. */
#define ZK_SYMMETRIC_ENCRYPT 300
#define ZK_SYMMETRIC_DECRYPT 301

/* Rules of ZKLNET_SetRule for the network operations (timestamps, OCSP, CMP)
 * made for a web page. */
#define ZK_NET_PUBLIC_ONLY 1  /* connect to public addresses only (the proxy's included), checked on every
                                 address a connection is opened to */
#define ZK_NET_PLAIN_ERRORS 2 /* every failure to exchange with the service answers ZK_E_SOCKET with no
                                 message and no socket error; what happened goes to the log only */

/* Block types of slot 5 that the host acts on. */
#define ZK_BLOCK_ENVELOPE 13
#define ZK_BLOCK_SIGNED 14
#define ZK_BLOCK_TIMESTAMPED 18
#define ZK_BLOCK_PEM 19        /* a PEM-armoured block; slot 22 unwraps it */
#define ZK_BLOCK_BASE64 20     /* the Base64 text of a block; slot 22 unwraps it */

#ifdef __cplusplus
}

/* The function type of each slot, by its identifier: ZKLDSlotType<ZKLD_SLOT_SIGN>::type is ZKLD_Sign_t. */
template <int Slot>
struct ZKLDSlotType;
#define ZK_SLOT_TYPE(number, id, ret, name, seq) \
    template <>                                   \
    struct ZKLDSlotType<id> {                     \
        typedef name##_t type;                    \
    };
ZK_PROVIDER_SLOTS(ZK_SLOT_TYPE)
#undef ZK_SLOT_TYPE
#endif

/* Offsets are those of a 32-bit build; check them there. */
#if defined(__cplusplus) && UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(CryptoLibInfo, Code) == 28, "CryptoLibInfo layout");
static_assert(offsetof(CryptoLibInfo, Module) == 36, "CryptoLibInfo layout");
static_assert(offsetof(CryptoLibInfo, Text148) == 148, "CryptoLibInfo layout");
static_assert(offsetof(CryptoLibInfo, NeedsSenderCert) == 152, "CryptoLibInfo layout");
static_assert(sizeof(CryptoLibInfo) == 352, "CryptoLibInfo layout");
static_assert(offsetof(ProviderCertInfo, DateBeg) == 325, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, EDRPOU) == 333, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, OrgNm) == 1093, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, KeyUsage) == 1238, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, AccessTSP) == 2018, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, AccessOCSP) == 2274, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, Reserved2404) == 2404, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, IsQualified) == 2473, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, Reserved2485) == 2485, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, Type) == 2497, "ProviderCertInfo layout");
static_assert(offsetof(ProviderCertInfo, ExtKeyUsageOids) == 3391, "ProviderCertInfo layout");
static_assert(sizeof(ProviderCertInfo) == 3399, "ProviderCertInfo layout");
static_assert(offsetof(CertRequestSubject, SigningSchema) == 130, "CertRequestSubject layout");
static_assert(offsetof(CertRequestSubject, EDDRU) == 1024, "CertRequestSubject layout");
static_assert(offsetof(CertRequestSubject, CurrencyCode) == 1059, "CertRequestSubject layout");
static_assert(offsetof(CertRequestSubject, ExtKeyUsageOids) == 1071, "CertRequestSubject layout");
static_assert(sizeof(CertRequestSubject) == 1079, "CertRequestSubject layout");
static_assert(offsetof(AdditionalAttributes, ContentTimestamp) == 40, "AdditionalAttributes layout");
static_assert(sizeof(AdditionalAttributes) == 2668, "AdditionalAttributes layout");
static_assert(offsetof(ContainerInfo, SignerCert) == 56, "ContainerInfo layout");
static_assert(offsetof(ContainerInfo, Signature) == 1164, "ContainerInfo layout");
static_assert(offsetof(ContainerInfo, Certs) == 1180, "ContainerInfo layout");
static_assert(offsetof(ContainerInfo, CRLs) == 1340, "ContainerInfo layout");
static_assert(offsetof(ContainerInfo, OCSPs) == 1500, "ContainerInfo layout");
static_assert(sizeof(ContainerInfo) == 2668, "ContainerInfo layout");
static_assert(offsetof(TimestampInfo, Time) == 40, "TimestampInfo layout");
static_assert(offsetof(TimestampInfo, CertBuffer) == 239, "TimestampInfo layout");
static_assert(offsetof(TimestampInfo, CertLength) == 243, "TimestampInfo layout");
static_assert(sizeof(TimestampInfo) == 1217, "TimestampInfo layout");
static_assert(sizeof(CompleteInfoObject) == 168, "CompleteInfoObject layout");
#endif

/* Records without address fields have the same layout on every build. */
#ifdef __cplusplus
static_assert(offsetof(OcspInfo, SignerKeyIdentifier) == 73, "OcspInfo layout");
static_assert(offsetof(OcspInfo, SN) == 833, "OcspInfo layout");
static_assert(offsetof(OcspInfo, EDDRU) == 1028, "OcspInfo layout");
static_assert(sizeof(OcspInfo) == 1043, "OcspInfo layout");
static_assert(offsetof(OcspCertStatus, CertID) == 16, "OcspCertStatus layout");
static_assert(sizeof(OcspCertStatus) == 145, "OcspCertStatus layout");
static_assert(offsetof(TokenInfo, TokenLabel) == 116, "TokenInfo layout");
static_assert(offsetof(TokenInfo, MaxPinLen) == 232, "TokenInfo layout");
static_assert(offsetof(TokenInfo, TokenHardwareVersionMajor) == 272, "TokenInfo layout");
static_assert(offsetof(TokenInfo, Stationary) == 292, "TokenInfo layout");
static_assert(sizeof(TokenInfo) == 296, "TokenInfo layout");
static_assert(offsetof(TokenKey, Label) == 131, "TokenKey layout");
static_assert(sizeof(TokenKey) == 196, "TokenKey layout");
#endif

#endif /* ZELKORD_H */
