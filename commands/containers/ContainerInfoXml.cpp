#include "commands/containers/ContainerInfoXml.h"

#include "base/CBase64.h"
#include "base/TextHelpers.h"
#include "commands/Envelope.h"

namespace zk {
namespace {

void AddPiece(tinyxml2::XMLElement* parent, const char* name, const ZKBlob& piece) {
    AddTextElement(parent, name, piece.data && piece.length ? Base64Encode(piece.data, piece.length) : std::string());
}

void AddList(tinyxml2::XMLElement* parent, const char* listName, const char* itemName,
             const ZKBlob (&list)[ZK_CONTAINER_LIST_SIZE]) {
    const std::vector<provider::ByteView> pieces = ListPieces(list);
    if (pieces.empty()) return;
    tinyxml2::XMLElement* holder = parent->InsertNewChildElement(listName);
    for (const provider::ByteView& piece : pieces)
        AddTextElement(holder, itemName, Base64Encode(piece.data(), piece.size()));
}

}  // namespace

std::vector<provider::ByteView> ListPieces(const ZKBlob (&list)[ZK_CONTAINER_LIST_SIZE]) {
    std::vector<provider::ByteView> pieces;
    for (const ZKBlob& piece : list) {
        if (!piece.data || !piece.length) break;
        pieces.push_back(provider::ByteView(piece.data, piece.length));  // by value: the record is packed
    }
    return pieces;
}

void AppendContentElements(tinyxml2::XMLElement* parent, const ContainerInfo& info) {
    AddPiece(parent, "Content", info.Content);
    AddPiece(parent, "ContentTimestamp", info.ContentTimestamp);
}

void AppendSignatureElements(tinyxml2::XMLElement* parent, const ContainerInfo& info) {
    AddTextElement(parent, "SigningTime", DateText(info.SigningTime));
    AddPiece(parent, "SigPolicy", info.SigPolicy);
    AddPiece(parent, "SigPolicyURI", info.SigPolicyURI);
    AddPiece(parent, "SigPolicyMessage", info.SigPolicyMessage);
    AddPiece(parent, "Cert", info.SignerCert);
    AddPiece(parent, "Signature", info.Signature);
    AddPiece(parent, "Timestamp", info.SignatureTimestamp);
    AddList(parent, "Certs", "Cert", info.Certs);
    AddList(parent, "CRLs", "CRL", info.CRLs);
    AddList(parent, "OCSPs", "OCSP", info.OCSPs);
}

}  // namespace zk
