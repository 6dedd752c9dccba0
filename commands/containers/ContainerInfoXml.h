// One signature's description (the provider's ContainerInfo record) as the
// children of an answer element: shared by CTX_GET_CONTAINER_INFO and the
// signature list of CTX_GET_ORIGINAL. Pieces are Base64; an empty piece is
// an empty element.
#pragma once
#include <vector>

#include <tinyxml2.h>

#include "provider/Operations.h"
#include "provider/ZelkorD.h"

namespace zk {

// The pieces of one of the record's lists (Certs, CRLs, OCSPs): at most
// ZK_CONTAINER_LIST_SIZE, ending at the first empty one.
std::vector<provider::ByteView> ListPieces(const ZKBlob (&list)[ZK_CONTAINER_LIST_SIZE]);

// Content, ContentTimestamp.
void AppendContentElements(tinyxml2::XMLElement* parent, const ContainerInfo& info);

// SigningTime (local time text, empty when 0), SigPolicy, SigPolicyURI,
// SigPolicyMessage, Cert, Signature, Timestamp; then Certs/Cert, CRLs/CRL
// and OCSPs/OCSP, each list only when its first entry is present (at most
// ZK_CONTAINER_LIST_SIZE entries, ending at the first empty one).
void AppendSignatureElements(tinyxml2::XMLElement* parent, const ContainerInfo& info);

}  // namespace zk
