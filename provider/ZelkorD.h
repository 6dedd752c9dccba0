/*
 * The contract between ZelkorH and its crypto provider library ZelkorD
 * (libZelkorD.so): every export with its C function type, the methods-table
 * slot numbers with their function types, and the records exchanged by
 * address. The host and the provider both include this header.
 *
 * Conventions
 * - Every operation returns an int: 0 is success, anything else a return code
 *   of the shared table (commands/Messages.h).
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
    uint8_t Reserved44[195];      /*  44..238 */
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

/* ZKLCTX_: containers, envelopes, certificates and keys */
typedef int (*ZKLCTX_CreateContainer_t)(const uint8_t* doc, uint32_t docLen, const uint8_t* cert, uint32_t certLen,
                                        const uint8_t* key, ZKKeyLen keyLen, const char* pass, uint8_t* out,
                                        uint32_t* outLen, const AdditionalAttributes* attrs);
typedef ZKLCTX_CreateContainer_t ZKLCTX_CreateContainerExt_t;
typedef int (*ZKLCTX_AddSignature_t)(const uint8_t* container, uint32_t len, const uint8_t* cert, uint32_t certLen,
                                     const uint8_t* key, ZKKeyLen keyLen, const char* pass, uint8_t* out,
                                     uint32_t* outLen, const AdditionalAttributes* attrs);
typedef int (*ZKLCTX_AddSignatureExt_t)(const uint8_t* container, uint32_t len, const uint8_t* content,
                                        uint32_t contentLen, const uint8_t* cert, uint32_t certLen,
                                        const uint8_t* key, ZKKeyLen keyLen, const char* pass, uint8_t* out,
                                        uint32_t* outLen, const AdditionalAttributes* attrs);
typedef int (*ZKLCTX_RequestTimestamp_t)(const uint8_t* data, uint32_t len, const uint8_t* cert, uint32_t certLen,
                                         uint8_t* response, uint32_t* responseLen, TimestampInfo* info,
                                         int32_t* socketError, const char* server, int32_t port, int32_t timeout);
typedef int (*ZKLCTX_AddTimestamp_t)(const uint8_t* container, uint32_t len, int32_t signIndex, const uint8_t* cert,
                                     uint32_t certLen, uint8_t* out, uint32_t* outLen, TimestampInfo* info,
                                     int32_t* socketError, const char* server, int32_t port, int32_t timeout);
typedef int (*ZKLCTX_GetTimestampInfo_t)(const uint8_t* response, uint32_t len, TimestampInfo* info);
typedef int (*ZKLCTX_RemoveSignature_t)(const uint8_t* container, uint32_t len, int32_t signIndex, int32_t options,
                                        uint8_t* out, uint32_t* outLen);
typedef int (*ZKLCTX_RequestOCSP_t)(const ZKBlob* certs, int32_t certCount, const uint8_t* requesterCert,
                                    uint32_t requesterCertLen, const uint8_t* key, ZKKeyLen keyLen, const char* pass,
                                    uint8_t* response, uint32_t* responseLen, OcspInfo* info,
                                    OcspCertStatus* statuses, int32_t* socketError, const char* server, int32_t port,
                                    int32_t timeout);
typedef int (*ZKLCTX_GetOCSPResponseInfo_t)(const uint8_t* response, uint32_t len, OcspInfo* info,
                                            OcspCertStatus* statuses, int32_t* count);
typedef int (*ZKLCTX_RequestCMP_t)(const char* keyId1, const char* keyId2, uint8_t acquireChain, ZKBlob* slots,
                                   int32_t* slotCount, int32_t* socketError, const char* server, int32_t port,
                                   int32_t timeout);
typedef int (*ZKLCTX_SetCompleteInfo_t)(const uint8_t* container, uint32_t len, int32_t signIndex,
                                        const CompleteInfoObject* objects, int32_t count, uint8_t* out,
                                        uint32_t* outLen);
typedef int (*ZKLCTX_GetContainerInfo_t)(const uint8_t* container, uint32_t len, int32_t signIndex,
                                         ContainerInfo* info);
typedef int (*ZKLCTX_GetContainerInfos_t)(const uint8_t* container, uint32_t len, ContainerInfo* infos,
                                          int32_t* count, ZKBlob* work);
typedef int (*ZKLCTX_MergeSignedData_t)(uint8_t checkHash, const ZKBlob* containers, int32_t count, uint8_t* out,
                                        uint32_t* outLen);
typedef int (*ZKLCTX_Verify_t)(const uint8_t* container, uint32_t len, int32_t* results, int32_t* count);
typedef int (*ZKLCTX_VerifyExternal_t)(const uint8_t* container, uint32_t len, const uint8_t* content,
                                       uint32_t contentLen, int32_t* results, int32_t* count);
typedef int (*ZKLCTX_RemoveContent_t)(const uint8_t* container, uint32_t len, uint8_t* out, uint32_t* outLen);
typedef int (*ZKLCTX_AddContent_t)(const uint8_t* container, uint32_t len, const uint8_t* content,
                                   uint32_t contentLen, uint8_t* out, uint32_t* outLen);
typedef int (*ZKLCTX_CheckKeyPair_t)(const uint8_t* cert, uint32_t certLen, const uint8_t* key, uint32_t keyLen,
                                     const char* pass);
typedef int (*ZKLCTX_ChangeKeyPassword_t)(const char* oldPass, const uint8_t* key, uint32_t keyLen,
                                          const char* newPass, uint8_t* out, uint32_t* outLen);
typedef int (*ZKLCTX_EncryptDataForRecipients_t)(const uint8_t* doc, uint32_t len, const uint8_t* senderCert,
                                                 uint32_t senderCertLen, const uint8_t* key, ZKKeyLen keyLen,
                                                 const char* pass, const ZKBlob* recipients, int32_t recipientCount,
                                                 uint8_t* out, uint32_t* outLen);
typedef int (*ZKLCTX_DecryptData_t)(const uint8_t* envelope, uint32_t len, const uint8_t* key, ZKKeyLen keyLen,
                                    const char* pass, const uint8_t* originatorCert, uint32_t originatorCertLen,
                                    const uint8_t* recipientCert, uint32_t recipientCertLen, uint8_t* out,
                                    uint32_t* outLen);
typedef int (*ZKLCTX_GetEnvelopeType_t)(const uint8_t* block, uint32_t len, int32_t* type);
typedef int (*ZKLCTX_GetOriginatorCertificate_t)(const uint8_t* envelope, uint32_t len, int32_t index, uint8_t* out,
                                                 uint32_t* outLen);
typedef int (*ZKLCTX_EnumerateRecipients_t)(const uint8_t* envelope, uint32_t len, ProviderCertInfo* infos,
                                            int32_t* count);
typedef int (*ZKLCTX_GetCertInfo_t)(const uint8_t* cert, uint32_t len, ProviderCertInfo* info);
typedef int (*ZKLCTX_CheckSignatureCertificate_t)(const uint8_t* cert, uint32_t len, const uint8_t* issuer,
                                                  uint32_t issuerLen);
typedef int (*ZKLCTX_GetSignedDataCertificate_t)(const uint8_t* container, uint32_t len, int32_t index,
                                                 uint8_t* out, uint32_t* outLen);
typedef int (*ZKLCTX_GetSubjectKeyIdentifier_t)(const uint8_t* key, uint32_t keyLen, const char* pass,
                                                char* id1, char* id2);
typedef int (*ZKLCTX_CreateSimpleCertRequest_t)(const char* pass, CertRequestSubject* subject1,
                                                CertRequestSubject* subject2, uint8_t* keyContainer,
                                                uint32_t* keyContainerLen, uint8_t* request1, uint32_t* request1Len,
                                                uint8_t* request2, uint32_t* request2Len);
typedef int (*ZKLCTX_GetCertsFromPBContainer_t)(const uint8_t* store, uint32_t len, ZKBlob* certs, int32_t* count,
                                                uint8_t onlyUserCerts);
typedef int (*ZKLCTX_GetKeysFromPBContainer_t)(const uint8_t* store, uint32_t len, const char* pass,
                                               const ZKBlob* certs, int32_t certCount, ZKBlob* keys,
                                               int32_t* keyCount, ZKName* names, int32_t* nameCount);
typedef int (*ZKLCTX_GetRandomBlock_t)(uint8_t* out, uint32_t len);
typedef int (*ZKLCTX_HashData_t)(const uint8_t* doc, uint32_t len, const uint8_t* cert, uint32_t certLen,
                                 uint8_t* out, uint32_t* outLen);
typedef int (*ZKLCTX_HashDataAlg_t)(const uint8_t* doc, uint32_t len, const char* algOid, uint8_t* out,
                                    uint32_t* outLen);

/* ZKLDongles_: hardware key tokens */
typedef int (*ZKLDongles_Init_t)(int32_t* providerNumber);
typedef int (*ZKLDongles_EnumTokens_t)(TokenInfo* tokens, int32_t* count);
typedef int (*ZKLDongles_ConnectKey_t)(const char* providerName, int32_t slotId, const char* pin, ZKTokenKey* handle);
typedef int (*ZKLDongles_DisconnectKey_t)(ZKTokenKey handle);
typedef int (*ZKLDongles_EnumTokenKeys_t)(ZKTokenKey handle, TokenKey* keys, int32_t* count);
typedef int (*ZKLDongles_InitSlot_t)(const char* providerName, int32_t slotId, const char* adminPass,
                                     const char* userPass, const char* label);
typedef int (*ZKLDongles_ChangePassword_t)(const char* providerName, int32_t slotId, const char* oldPass,
                                           const char* newPass);
typedef int (*ZKLDongles_ChangeNamedKeyPassword_t)(const char* providerName, int32_t slotId, const char* devicePass,
                                                   const char* keyName, const char* subjectKeyId,
                                                   const char* oldPass, const char* newPass);
typedef int (*ZKLDongles_UnlockPin_t)(const char* providerName, int32_t slotId, const char* adminPass,
                                      const char* userPass);
typedef int (*ZKLDongles_SetKeyLabel_t)(ZKTokenKey handle, const char* keyId, const char* label);
typedef int (*ZKLDongles_DeleteKey_t)(ZKTokenKey handle, const char* keyId);
typedef int (*ZKLDongles_EnumFiles_t)(ZKTokenKey handle, ZKName* names, int32_t* count);
typedef int (*ZKLDongles_GetFile_t)(ZKTokenKey handle, const char* name, uint8_t* out, uint32_t* outLen);
typedef int (*ZKLDongles_SetFile_t)(ZKTokenKey handle, const char* name, const uint8_t* data, uint32_t len);
typedef int (*ZKLDongles_ConnectNamedKey_t)(const char* providerName, int32_t slotId, const char* devicePass,
                                            const char* keyName, const char* keyId, const char* keyPass,
                                            ZKTokenKey* handle);
/* Opens a named key on an open token, by name or by key identifier. */
typedef int (*ZKLDongles_ConnectNamedKey2_t)(ZKTokenKey token, const char* keyName, const char* keyId,
                                             const char* keyPass, ZKTokenKey* handle);
typedef int (*ZKLDongles_EnumNamedKeys_t)(ZKTokenKey handle, ZKName* names, int32_t* count);
typedef const char* (*ZKLDongles_TokenOID_t)(const TokenInfo* token);
typedef int (*ZKLDongles_CreateSimpleCertRequest_t)(const char* pin, const char* providerName, int32_t slotId,
                                                    const char* text2, const char* text3,
                                                    CertRequestSubject* subject1, CertRequestSubject* subject2,
                                                    uint8_t* request1, uint32_t* request1Len, uint8_t* request2,
                                                    uint32_t* request2Len);

/* Services, errors, library life */
typedef int (*ZKLSVC_AcquireKey_t)(const uint8_t* key, uint32_t keyLen, const char* pass, uint8_t* key1,
                                   uint32_t* key1Len, uint8_t* key2, uint32_t* key2Len, char* id1, char* id2);
typedef int (*ZKErrors_GetLastCSPError_t)(void);
typedef void (*ZKErrors_ResetCSPError_t)(void);
typedef const char* (*ZKErrors_GetLastCSPMessage_t)(void);
typedef int (*ZKLLIB_Init_t)(void);
typedef int (*ZKLLIB_Term_t)(void);
typedef void (*ZKLDProc)(void);
typedef const ZKLDProc* (*ZKLD_GetMethods_t)(void);
typedef int (*ZKLUA1_Decrypt_t)(const uint8_t* data, uint32_t len, const uint8_t* key, ZKKeyLen keyLen,
                                const char* pass, const uint8_t* cert, uint32_t certLen, uint8_t* out,
                                uint32_t* outLen);

/* ------------------------------------------------------ methods table */

#define ZKLD_METHOD_COUNT 56

enum ZKLDSlot {
    ZKLD_SLOT_INIT = 0,
    ZKLD_SLOT_END = 2,
    ZKLD_SLOT_THREAD_ATTACH = 3,
    ZKLD_SLOT_THREAD_DETACH = 4,
    ZKLD_SLOT_DETECT_BLOCK = 5,
    ZKLD_SLOT_LIB_LOADED = 8,
    ZKLD_SLOT_LIB_IDENTITY_BY_INDEX = 10,
    ZKLD_SLOT_LIB_IDENTITY_BY_CODE = 11,
    ZKLD_SLOT_LIB_SELECT = 12,
    ZKLD_SLOT_SIGN = 15,
    ZKLD_SLOT_REMOVE_SIGNATURE = 16,
    ZKLD_SLOT_ENCRYPT = 17,
    ZKLD_SLOT_DECRYPT = 18,
    ZKLD_SLOT_CHECK_KEY_PAIR = 19,
    ZKLD_SLOT_UNWRAP = 22,
    ZKLD_SLOT_HASH = 25,
    ZKLD_SLOT_TIMESTAMP_READ = 32,
    ZKLD_SLOT_TIMESTAMP_REMOVE = 33,
    ZKLD_SLOT_SYMMETRIC = 36,
    ZKLD_SLOT_CIPHER_CREATE = 37,
    ZKLD_SLOT_CIPHER_RUN = 38,
    ZKLD_SLOT_CIPHER_FREE = 39,
    ZKLD_SLOT_CHANGE_KEY_PASSWORD = 43,
    ZKLD_SLOT_READ_CERT = 48,
    ZKLD_SLOT_ENCRYPT_MANY = 49,
    ZKLD_SLOT_RECIPIENT_CERTS = 50,
    ZKLD_SLOT_SIGN_DETACHED = 51,
    ZKLD_SLOT_VERIFY_DETACHED = 52,
    ZKLD_SLOT_RECIPIENT_INFOS = 53,
    ZKLD_SLOT_SET_LOG_CALLBACK = 55
};

/* Symmetric modes of slot 36. */
#define ZK_SYMMETRIC_ENCRYPT 300
#define ZK_SYMMETRIC_DECRYPT 301

/* Block types of slot 5 that the host acts on. */
#define ZK_BLOCK_ENVELOPE 13
#define ZK_BLOCK_SIGNED 14
#define ZK_BLOCK_TIMESTAMPED 18

typedef int (*ZKLD_Init_t)(const char* paramsPath, char* message, int32_t messageSize, ZKLDContext* context,
                           CryptoLibInfo* table);
typedef int (*ZKLD_End_t)(ZKLDContext ctx);
typedef int (*ZKLD_ThreadAttach_t)(ZKLDContext ctx);
typedef int (*ZKLD_ThreadDetach_t)(ZKLDContext ctx);
/* Returns the provider type of the block (0 = not recognised) and, when asked,
 * the index of the crypto library that made it. */
typedef int (*ZKLD_DetectBlock_t)(ZKLDContext ctx, const uint8_t* data, uint32_t len, int32_t* libIndex);
typedef int (*ZKLD_LibLoaded_t)(ZKLDContext ctx, const char* code);
typedef int (*ZKLD_LibIdentityByIndex_t)(ZKLDContext ctx, int32_t libIndex);
typedef int (*ZKLD_LibIdentityByCode_t)(ZKLDContext ctx, const char* code);
typedef int (*ZKLD_LibSelect_t)(ZKLDContext ctx, const char* code);
/* Slots 15 (content attached) and 51 (detached): a signature may vary in
 * length between signings, so the call without a buffer reports an upper
 * bound and the call with a buffer writes the actual length back. */
typedef int (*ZKLD_Sign_t)(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out,
                           uint32_t* outLen, const uint8_t* key, ZKKeyLen keyLen, const uint8_t* cert,
                           uint32_t certLen, const char* pass);
typedef int (*ZKLD_RemoveSignature_t)(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* content,
                                      uint32_t* contentLen, uint8_t* signerCert, uint32_t* signerCertLen);
typedef int (*ZKLD_Encrypt_t)(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out,
                              uint32_t* outLen, const uint8_t* recipientCert, uint32_t recipientCertLen,
                              const uint8_t* key, ZKKeyLen keyLen, const char* pass);
typedef int (*ZKLD_Decrypt_t)(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out,
                              uint32_t* outLen, const uint8_t* senderCert, uint32_t senderCertLen,
                              const uint8_t* key, ZKKeyLen keyLen, const char* pass);
typedef int (*ZKLD_CheckKeyPair_t)(ZKLDContext ctx, int32_t lib, const uint8_t* key, ZKKeyLen keyLen,
                                   const uint8_t* cert, uint32_t certLen, const char* pass);
typedef int (*ZKLD_Unwrap_t)(ZKLDContext ctx, uint8_t* data, uint32_t* len);
typedef int (*ZKLD_Hash_t)(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out32,
                           int32_t reserved1, int32_t reserved2);
typedef int (*ZKLD_TimestampRead_t)(ZKLDContext ctx, const uint8_t* data, uint32_t len, TimestampInfo* info);
typedef int (*ZKLD_TimestampRemove_t)(ZKLDContext ctx, const uint8_t* data, uint32_t len, uint8_t* out,
                                      uint32_t* outLen);
typedef int (*ZKLD_Symmetric_t)(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out,
                                uint32_t* outLen, const uint8_t* key, uint32_t keyLen, int32_t reserved1,
                                int32_t reserved2, int32_t mode);
typedef int (*ZKLD_CipherCreate_t)(ZKLDContext ctx, int32_t lib, const uint8_t* key, uint32_t keyLen,
                                   const uint8_t iv[8], void** cipher);
typedef int (*ZKLD_CipherRun_t)(ZKLDContext ctx, void* cipher, uint8_t* data, uint32_t len);
typedef int (*ZKLD_CipherFree_t)(ZKLDContext ctx, void* cipher);
typedef int (*ZKLD_ChangeKeyPassword_t)(ZKLDContext ctx, int32_t lib, const uint8_t* key, uint32_t keyLen,
                                        const char* oldPass, const char* newPass, uint8_t* out, uint32_t* outLen);
typedef int (*ZKLD_ReadCert_t)(ZKLDContext ctx, int32_t lib, const uint8_t* cert, uint32_t len,
                               ProviderCertInfo* info);
typedef int (*ZKLD_EncryptMany_t)(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out,
                                  uint32_t* outLen, const ZKBlob* recipients, int32_t recipientCount,
                                  const uint8_t* key, ZKKeyLen keyLen, const char* pass, int32_t reserved);
typedef int (*ZKLD_RecipientCerts_t)(ZKLDContext ctx, const uint8_t* envelope, uint32_t len, ZKBlob* certs,
                                     int32_t* count);
typedef ZKLD_Sign_t ZKLD_SignDetached_t;
typedef int (*ZKLD_VerifyDetached_t)(ZKLDContext ctx, int32_t lib, const uint8_t* signature, uint32_t signatureLen,
                                     const uint8_t* data, uint32_t len, uint8_t* signerCert,
                                     uint32_t* signerCertLen);
typedef int (*ZKLD_RecipientInfos_t)(ZKLDContext ctx, const uint8_t* envelope, uint32_t len,
                                     ProviderCertInfo* infos, int32_t* count);
typedef void (*ZKLD_SetLogCallback_t)(ZKLogCallback callback);

#ifdef __cplusplus
}
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
