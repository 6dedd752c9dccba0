// Transport encodings of the front end: flags, unwrapping, where the request
// document ends, the answer forms and the exchange frame's base URL.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "base/CBase64.h"
#include "http/AnswerStream.h"
#include "http/FixedDocuments.h"
#include "http/RequestEncoding.h"

using namespace zk;
using namespace zk::http;

TEST(RequestFlags, FirstOccurrenceAndDigitRule) {
    struct Case {
        const char* body;
        bool native, encode;
    } cases[] = {
        {"", false, true},
        {"data=x&nativedata=1", true, true},
        {"data=x&nativedata=9&encodeOutput=0", true, false},
        {"data=x&nativedata=0&encodeOutput=1", false, true},
        {"data=x&nativedata=x&encodeOutput=", false, false},
        {"nativedata=0&nativedata=1", false, true},  // the first one decides
        {"encodeOutput=2", false, true},
        {"nativedata=", false, true},
    };
    for (const auto& c : cases) {
        RequestFlags f = ReadFlags(c.body);
        EXPECT_EQ(f.native, c.native) << c.body;
        EXPECT_EQ(f.encodeOutput, c.encode) << c.body;
    }
}

TEST(PercentDecode, PlusHexAndStrayPercent) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a+b%20c", "a b c"}, {"%3c%3E", "<>"}, {"100%", "100%"}, {"%4", "%4"},
        {"%zz%41", "%zzA"},   {"%00x", std::string("\0x", 2)},     {"%%41", "%A"},
    };
    for (auto& c : cases) {
        std::string s = c.in;
        PercentDecode(s);
        EXPECT_EQ(s, c.out) << c.in;
    }
}

TEST(UnwrapBody, ThreeRulesInOrder) {
    const std::string xml = "<?xml version=\"1.0\"?><Request><Command>A+B</Command></Request>";
    const std::string b64 = Base64Encode(xml);
    std::string encoded;  // percent-encoded Base64 ("+", "/", "=" escaped)
    for (char c : b64) encoded += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
    // Raw XML wins and is taken undecoded ("+" stays).
    EXPECT_EQ(UnwrapBody("junk" + xml), xml);
    // The form field data: percent-decoded, then Base64.
    EXPECT_EQ(UnwrapBody("data=" + encoded), xml);
    // Everything after data= is the value: later fields decode to trailing bytes.
    EXPECT_EQ(UnwrapBody("data=" + encoded + "&nativedata=1").substr(0, xml.size()), xml);
    // Neither: the percent-decoded body, from "<?xml" on.
    EXPECT_EQ(UnwrapBody("x=%3C%3Fxml+version%3D%221.0%22%3F%3E%3Ca%2F%3E"), "<?xml version=\"1.0\"?><a/>");
    EXPECT_EQ(UnwrapBody("plain+text"), "plain text");
}

// The Base64 of text as a page sends it in its form: "+", "/" and "=" escaped.
std::string PageEncoded(const std::string& text) {
    std::string encoded;
    for (char c : Base64Encode(text)) encoded += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
    return encoded;
}

// What a body unwrapped as it arrives gives.
struct Arrived {
    std::string text;  // the request text as it came (a document decoded in it given back as its Base64)
    RequestFlags flags;
    std::string document = {};  // the bytes of a document decoded as it came
    size_t documentText = 0;    // the length of its Base64
};

// A body unwrapped while it arrives in pieces of the given sizes (cycled),
// each piece landing behind the last.
Arrived Arriving(const std::string& body, const std::vector<size_t>& pieces) {
    std::string memory = body;
    ArrivingBody arriving;
    size_t received = 0;
    for (size_t k = 0; received < memory.size(); ++k) {
        received = std::min(memory.size(), received + pieces[k % pieces.size()]);
        // Bytes not yet received are not there: the memory past them holds junk.
        std::string junk = memory;
        for (size_t i = received; i < junk.size(); ++i) junk[i] = '%';
        std::copy(junk.begin() + received, junk.end(), memory.begin() + received);
        arriving.Feed(memory.data(), 0, received, received == memory.size(), memory.data());  // raw and text one memory
        std::copy(body.begin() + received, body.end(), memory.begin() + received);
    }
    if (body.empty()) arriving.Feed(memory.data(), 0, 0, true, memory.data());
    if (arriving.Declined()) return {UnwrapBody(body), ReadFlags(body)};
    return {std::string(arriving.Text(memory.data(), memory.size())), arriving.Flags()};
}

// The same with the raw bytes elsewhere, as the landing passes them: each
// Feed is given only [NeededFrom(), received) in memory of its own (junk
// around it), and the text is written into memory that never held the body
// (raw bytes from RawFrom() on put at their places, as the landing does).
// From documentFrom on (not 0), a document is decoded as it comes.
Arrived ArrivingApart(const std::string& body, const std::vector<size_t>& pieces, size_t documentFrom = 0) {
    std::string text(body.size() + 1, '#');
    ArrivingBody arriving;
    if (documentFrom) arriving.DecodeDocument(documentFrom);
    size_t received = 0;
    for (size_t k = 0; received < body.size() || k == 0; ++k) {
        received = std::min(body.size(), received + pieces[k % pieces.size()]);
        const size_t needed = std::min(arriving.NeededFrom(), received);
        const std::string raw = "%%" + body.substr(needed, received - needed) + "%%";
        arriving.Feed(raw.data() + 2, needed, received, received == body.size(), text.data());
        if (arriving.Declined()) return {UnwrapBody(body), ReadFlags(body)};
    }
    if (arriving.RawFrom() < body.size()) std::copy(body.begin() + arriving.RawFrom(), body.end(), text.begin() + arriving.RawFrom());
    const std::string_view got = arriving.Text(text.data(), body.size());
    const auto document = arriving.Document();
    if (!document) return {std::string(got), arriving.Flags()};
    std::string asCame(got.size() - document->size + document->textLength, '\0');
    WriteTextAsItCame(got, *document, asCame.data());
    return {asCame, arriving.Flags(), std::string(got.substr(document->begin, document->size)), document->textLength};
}

TEST(ArrivingBody, SameTextAndFlagsAsTheWholeBodyInAnyPieces) {
    const std::string xml = "<?xml version=\"1.0\"?><Request><Command>A+B</Command><Data>" +
                            Base64Encode(std::string(3000, '\xfb')) + "</Data></Request>";
    const std::string encoded = PageEncoded(xml);
    const std::string bodies[] = {
        "data=" + encoded + "&nativedata=1&encodeOutput=0",
        "data=" + encoded,                                          // no flags: their defaults
        "data=" + encoded + "&nativedata=0&encodeOutput=1&nativedata=1",  // the first occurrence counts
        "data=" + encoded.substr(0, 1000) + "+%0A%zz%4" + encoded.substr(1000) + "%",  // spaces, stray "%"
        "data=" + encoded.substr(0, 2000) + "&x=" + xml + "&nativedata=1",  // raw XML wins, from its start
        "data=" + encoded.substr(0, 777) + "<?xm",                  // almost: not raw XML
        "data=QUJD%3D%3D",                                          // "=" among the last two
        "data=",
        "dat",
        "x=1&data=" + encoded,                                      // not the form: unwrapped whole
        "",
    };
    const std::vector<std::vector<size_t>> cuts = {{1 << 20}, {1}, {3}, {17}, {4093, 7}, {5, 1, 16, 2}};
    for (const std::string& body : bodies) {
        const RequestFlags whole = ReadFlags(body);
        const std::string text = UnwrapBody(body);
        for (const auto& pieces : cuts) {
            SCOPED_TRACE(body.substr(0, 40) + " in pieces of " + std::to_string(pieces[0]));
            for (const Arrived& got : {Arriving(body, pieces), ArrivingApart(body, pieces)}) {
                EXPECT_EQ(got.text, text);
                EXPECT_EQ(got.flags.native, whole.native);
                EXPECT_EQ(got.flags.encodeOutput, whole.encodeOutput);
            }
        }
    }
}

// The document decoded while the text arrives: given back as its Base64,
// the text is the text as it came, in any pieces; which Data texts are
// decoded (canonical Base64 from the minimum length on), and their bytes.
TEST(ArrivingBody, DocumentDecodedAsItArrivesGivesBackTheTextAsItCame) {
    const std::string bytes(3000, '\xfb');
    const std::string doc = Base64Encode(bytes);  // 4000 characters, no padding
    const std::string padded1 = Base64Encode(bytes.substr(0, 2998)), padded2 = Base64Encode(bytes.substr(0, 2999));
    struct Case {
        std::string xml;
        std::string decoded;  // the document's bytes, or empty: none decoded
        bool eitherWay = false;  // decoded or not, depending on the pieces
    } cases[] = {
        {"<R><Data>" + doc + "</Data></R>", bytes},
        {"<R><Data>" + padded1 + "</Data></R>", bytes.substr(0, 2998)},
        {"<R><Data>" + padded2 + "</Data></R>", bytes.substr(0, 2999)},
        {"<R><dAtA a='>' b=\"<\" >" + doc + "</DATA \n\t></R>", bytes},  // any case, attributes, blanks
        {"<R><Data x='1'/><Data>" + doc + "</Data ></R>", bytes},  // an empty one first
        {"<R><Data>QUJD</Data><Data>" + doc + "</Data></R>", bytes},  // too short, then the document
        {"<R><Database>" + doc + "</Database></R>", ""},
        {"<R><Data>" + doc.substr(0, 2000) + "\n" + doc.substr(2000) + "</Data></R>", ""},  // a line break
        {"<R><Data>" + doc.substr(0, 1999) + "&#43;" + doc.substr(2000) + "</Data></R>", ""},  // an entity
        {"<R><Data>" + doc.substr(0, 3999) + "</Data></R>", ""},         // a partial group
        {"<R><Data>" + padded1.substr(0, padded1.size() - 2) + "R==</Data></R>", ""},  // bits past the bytes
        {"<R><Data>" + padded1 + "QUJD</Data></R>", ""},                 // padding inside
        {"<R><Data>" + doc + "</Dat></R>", ""},                          // not its end tag
        {"<R><Data>" + doc + "<![CDATA[x]]></Data></R>", ""},
        {"<R><Data>" + doc + "</Data", ""},                              // the text ends first
        {"<R><Data>" + doc, ""},
        // A start tag too long to wait for: decoded only when it came whole.
        {"<R><Data " + std::string(5000, ' ') + ">" + doc + "</Data></R>", bytes, true},
    };
    for (const Case& c : cases) {
        const std::string body = "data=" + PageEncoded(c.xml) + "&nativedata=1";
        const std::string whole = UnwrapBody(body);
        for (const std::vector<size_t>& pieces : std::vector<std::vector<size_t>>{{1 << 20}, {1}, {7}, {4093, 5}}) {
            SCOPED_TRACE(c.xml.substr(0, 60) + " in pieces of " + std::to_string(pieces[0]));
            const Arrived got = ArrivingApart(body, pieces, 64);
            EXPECT_TRUE(got.text == whole);
            EXPECT_TRUE(got.document == c.decoded || (c.eitherWay && got.document.empty())) << got.document.size();
            if (!got.document.empty()) {
                EXPECT_EQ(got.documentText, Base64EncodedLength(got.document.size()));
            }
        }
    }
}

TEST(DocumentLength, StopsAtZeroByteOrTrailingText) {
    const std::string doc = "<?xml version=\"1.0\"?><!-- c --><R a=\"x>y\"><B/><![CDATA[</R>]]></R>";
    struct Case {
        std::string text;
        size_t length;
    } cases[] = {
        {doc, doc.size()},
        {doc + std::string("\0\0junk", 6), doc.size()},
        {doc + "\x9f\x01 garbage <x", doc.size()},
        {doc + "  \r\n<!-- after -->", doc.size() + 18},
        {doc + " \n z", doc.size() + 3},
        {"<?xml version=\"1.0\"?><R/>tail", 25},
        {"<R><Open>", 9},  // unfinished: left to the parser, which refuses it
    };
    for (const auto& c : cases) EXPECT_EQ(DocumentLength(c.text), c.length) << c.text;
}

TEST(EncodeAnswer, ThreeForms) {
    const std::string answer = "<Result>\xd0\xa3</Result>";
    const std::string b64 = Base64Encode(answer);
    EXPECT_EQ(EncodeAnswer(answer, {true, false}), answer);
    EXPECT_EQ(EncodeAnswer(answer, {true, true}), b64);
    for (bool encode : {true, false}) {
        std::string page = EncodeAnswer(answer, {false, encode});
        EXPECT_EQ(page.size(), b64.size() + 103);
        EXPECT_EQ(page, "<html><head><script type=\"text/javascript\">window.name='{data:\"" + b64 +
                            "\"}';</script></head><body></body></html>");
    }
}

TEST(ExchangeFrame, BaseUrlAndFilledTemplate) {
    FrameContext plain{false, "localhost:19744", "127.0.0.1", 19744, {}};
    EXPECT_EQ(BaseUrl(plain), "http://localhost:19744");
    FrameContext tls{true, "localhost:20026", "127.0.0.1", 20026, {}};
    EXPECT_EQ(BaseUrl(tls), "https://localhost:20026");
    FrameContext noHeader{true, nullptr, "127.0.0.1", 20026, {}};
    EXPECT_EQ(BaseUrl(noHeader), "https://127.0.0.1:20026");
    FrameContext hostile{false, "a\";alert(1);//", "127.0.0.1", 19744, {}};
    EXPECT_EQ(BaseUrl(hostile), "http://127.0.0.1:19744");

    std::string frame = ExchangeFrame("http://localhost:19744", {});
    EXPECT_NE(frame.find("jQuery v3.7.1"), std::string::npos);
    EXPECT_NE(frame.find("var baseUrl = \"http://localhost:19744\";"), std::string::npos);
    EXPECT_NE(frame.find("var allowedOrigins = [];"), std::string::npos);
    EXPECT_EQ(frame.find("%s"), std::string::npos);
    EXPECT_EQ(frame.find("eval("), std::string::npos);
    // Entries that no origin could match never reach the script.
    frame = ExchangeFrame("http://localhost:19744", {"https://a.example", "x\"</script>", "http://127.0.0.2:8080"});
    EXPECT_NE(frame.find("var allowedOrigins = [\"https://a.example\", \"http://127.0.0.2:8080\"];"),
              std::string::npos);
}

namespace {

// The document cut into pieces at the given offsets (empty pieces where two
// offsets are equal), each with its own owner.
DocumentPieces CutAt(const std::vector<uint8_t>& doc, std::vector<size_t> cuts) {
    DocumentPieces pieces;
    size_t from = 0;
    cuts.push_back(doc.size());
    for (size_t cut : cuts) {
        cut = std::min(std::max(cut, from), doc.size());
        auto owner = std::make_shared<std::vector<uint8_t>>(doc.begin() + from, doc.begin() + cut);
        pieces.pieces.emplace_back(owner, owner->data(), owner->size());
        from = cut;
    }
    return pieces;
}

}  // namespace

// A streamed answer is byte for byte the answer EncodeAnswer makes of the
// whole envelope, in every form, whatever the pieces the connection takes
// (cut inside Base64 groups of the document and of the envelope alike) and
// however the document itself is in pieces (a container framed around the
// request's document: groups that straddle pieces, empty pieces).
TEST(AnswerStream, SameBytesAsTheWholeAnswerInAnyPieces) {
    const std::string head = "<Result><Code>0</Code><Data>", tail = "</Data>\xd0\xa3</Result>";
    for (size_t docSize : {0u, 1u, 2u, 3u, 4u, 5u, 100u, 70001u}) {
        std::vector<uint8_t> doc(docSize);
        for (size_t i = 0; i < docSize; ++i) doc[i] = static_cast<uint8_t>(i * 7 + docSize);
        const std::string whole = head + Base64Encode(doc.data(), doc.size()) + tail;
        for (RequestFlags flags : {RequestFlags{true, false}, RequestFlags{true, true}, RequestFlags{false, true}}) {
            const std::string expected = EncodeAnswer(whole, flags);
            const std::vector<std::vector<size_t>> cuttings = {
                {}, {0, 0}, {1}, {2, 2, 4}, {docSize / 2 + 1, docSize / 2 + 2}, {docSize, docSize}};
            for (size_t piece : {1u, 2u, 3u, 5u, 7u, 64u, 4099u, 1u << 20})
            for (const std::vector<size_t>& cuts : cuttings) {
                SCOPED_TRACE(testing::Message() << "document " << docSize << " native " << flags.native << " encode "
                                                << flags.encodeOutput << " piece " << piece << " document pieces "
                                                << cuts.size() + 1);
                AnswerStream stream(head, CutAt(doc, cuts), tail, flags);
                ASSERT_EQ(stream.Length(), expected.size());
                std::string sent;
                std::vector<char> room(piece);
                while (!stream.Done()) {
                    const size_t n = stream.Next(room.data(), piece);
                    ASSERT_GT(n, 0u) << "a stream that is not done makes bytes";
                    ASSERT_LE(n, piece);
                    sent.append(room.data(), n);
                }
                EXPECT_EQ(stream.Next(room.data(), piece), 0u);
                ASSERT_EQ(sent, expected);
            }
        }
    }
}
