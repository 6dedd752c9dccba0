#include <gtest/gtest.h>

#include "base/CBase64.h"
#include "base/RequestContext.h"
#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "platform/CodePage.h"

namespace {

std::string Utf8(const tinyxml2::XMLDocument& doc) { return zk::Cp1251ToUtf8(zk::PrintDocument(doc)); }

TEST(Envelope, SuccessHasNoProviderFields) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = zk::BuildXMLHead(doc, "GET_VERSION", 0);
    zk::AddTextElement(data, "Version", "1.0.0.1")->SetAttribute("IsDLL", "false");
    EXPECT_EQ(Utf8(doc),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Result xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
              "\t<Command>GET_VERSION</Command>\n"
              "\t<Return>\n"
              "\t\t<Code>0</Code>\n"
              "\t\t<Message>Успішно</Message>\n"
              "\t</Return>\n"
              "\t<Data>\n"
              "\t\t<Version IsDLL=\"false\">1.0.0.1</Version>\n"
              "\t</Data>\n"
              "</Result>\n");
}

TEST(Envelope, FailureCarriesProviderFieldsAndDetailing) {
    tinyxml2::XMLDocument doc;
    zk::BuildXMLHead(doc, "CHECK_CERT_KEY", 8, 2);
    EXPECT_EQ(Utf8(doc),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Result xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
              "\t<Command>CHECK_CERT_KEY</Command>\n"
              "\t<Return>\n"
              "\t\t<Code>8</Code>\n"
              "\t\t<Message>Помилка підпису/шифрувания, можливо вказано невірний пароль</Message>\n"
              "\t\t<CSPCode>0</CSPCode>\n"
              "\t\t<CSPMessage/>\n"
              "\t</Return>\n"
              "\t<Data/>\n"
              "\t<Detailing>2</Detailing>\n"
              "</Result>\n");
}

TEST(Envelope, CodesWithoutRowAndDetailZero) {
    struct Case {
        int code, detail;
        const char* expectMessage;
        bool expectDetailing;
    };
    const Case cases[] = {{20, -1, "<Message/>", false}, {0, 0, "<Message>Успішно</Message>", true},
                          {-7, 3, "<Message/>", true}, {57, -1, "перед зашифрованим блоком</Message>", false}};
    for (const auto& c : cases) {
        tinyxml2::XMLDocument doc;
        zk::BuildXMLHead(doc, "X", c.code, c.detail);
        std::string text = Utf8(doc);
        EXPECT_NE(text.find(c.expectMessage), std::string::npos) << c.code;
        EXPECT_EQ(text.find("<Detailing>") != std::string::npos, c.expectDetailing) << c.code;
        EXPECT_NE(text.find("<Code>" + std::to_string(c.code) + "</Code>"), std::string::npos);
    }
}

TEST(Envelope, BareErrorEnvelope) {
    EXPECT_EQ(zk::Cp1251ToUtf8(zk::BareErrorEnvelope(56)),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Result>\n"
              "\t<Return>\n"
              "\t\t<Code>56</Code>\n"
              "\t\t<Message>Некоректні параметри запиту</Message>\n"
              "\t</Return>\n"
              "\t<Data/>\n"
              "</Result>\n");
    EXPECT_NE(zk::Cp1251ToUtf8(zk::BareErrorEnvelope(55)).find("Некоректний XML запиту"), std::string::npos);
}

TEST(Envelope, MessageTableHasExactlyItsRows) {
    int rows = 0;
    for (int code = -5; code < 100; ++code)
        if (!zk::ReturnMessage(code).empty()) ++rows;
    EXPECT_EQ(rows, 32);
    EXPECT_EQ(zk::Cp1251ToUtf8(zk::ReturnMessage(16)), "Помилка dongle");
}

// A document in pieces (a container framed around the request's document)
// is printed like one block: a small one inline, a large one left to the
// front end with its pieces as they are, and without a front end the Base64
// of the pieces put together.
TEST(Envelope, DocumentInPiecesIsPrintedLikeOneBlock) {
    auto pieces = [](size_t total) {
        zk::DocumentPieces document;
        for (size_t size : {total / 3, size_t{0}, total - total / 3}) {
            auto owner = std::make_shared<std::vector<uint8_t>>(size);
            for (size_t i = 0; i < size; ++i) (*owner)[i] = static_cast<uint8_t>(i * 7 + size);
            document.pieces.emplace_back(owner, owner->data(), owner->size());
        }
        return document;
    };
    auto print = [](zk::DocumentPieces document) {
        tinyxml2::XMLDocument doc;
        return zk::PrintDocumentWithBase64(doc, zk::BuildXMLHead(doc, "SET_SIGN", 0), std::move(document));
    };
    for (size_t total : {size_t{100}, zk::kAttachFrom + 1}) {
        SCOPED_TRACE(total);
        const std::string joined = zk::Base64Encode(pieces(total).Joined().data(), total);
        EXPECT_NE(print(pieces(total)).find(joined), std::string::npos) << "no front end: printed whole";
        zk::RequestDocuments docs;
        zk::RequestContext context{"", nullptr, &docs};
        zk::ScopedRequest current(context);
        const std::string text = print(pieces(total));
        if (total < zk::kAttachFrom) {
            EXPECT_NE(text.find(joined), std::string::npos) << "a small document inline";
            EXPECT_FALSE(docs.answer);
        } else {
            ASSERT_TRUE(docs.answer);
            EXPECT_NE(text.find(docs.answer->marker), std::string::npos);
            EXPECT_EQ(docs.answer->bytes.pieces.size(), 3u) << "the pieces as they are";
            EXPECT_EQ(docs.answer->bytes.size(), total);
        }
    }
}

}  // namespace
