// A request's document kept out of the parsed request: where the scan finds
// it, and how a command takes it (decoded in the request's own memory, or
// from a text of its own outside the front end).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/CBase64.h"
#include "base/RequestContext.h"
#include "base/RequestDocument.h"
#include "http/DocumentText.h"

using namespace zk;
using namespace zk::http;

namespace {

std::string Span(std::string_view text, const std::optional<TextSpan>& s) {
    return s ? std::string(text.substr(s->begin, s->size())) : "<none>";
}

}  // namespace

TEST(FindDocumentText, TakesOnlyTextTheParserHandsOnUnchanged) {
    const std::string big(40, 'A'), bigger(50, 'B');
    struct Case {
        std::string text;
        std::string found;
    } cases[] = {
        {"<R><Data>" + big + "</Data></R>", big},
        {"<R><DATA a=\"x>y\">" + big + "</data ></R>", big},          // any case, attributes, blank in end tag
        {"<R><Data>" + big + "</Data><Data>" + bigger + "</Data></R>", bigger},  // the largest
        {"<R><Data>short</Data></R>", "<none>"},                       // under the minimum
        {"<R><Data/>" + big + "</R>", "<none>"},                        // an empty element opens nothing
        {"<R><Database>" + big + "</Database></R>", "<none>"},          // another name
        {"<R><Data>" + big + "&amp;</Data></R>", "<none>"},             // entities change the text
        {"<R><Data>" + big + "\r\n</Data></R>", "<none>"},              // the parser folds line ends
        {"<R><Data>" + big + "<X/></Data></R>", "<none>"},              // not the whole content
        {"<R><Data>" + big, "<none>"},                                  // never ends
    };
    for (const auto& c : cases) EXPECT_EQ(Span(c.text, FindDocumentText(c.text, 32)), c.found) << c.text;
}

TEST(TakeRequestDocument, DecodesInTheRequestMemoryOnlyForItsOwnText) {
    const std::string bytes = "document \x01\x02\xff bytes";
    const std::string b64 = Base64Encode(bytes);

    // Outside the front end: decoded from the text into memory of its own.
    SharedBytes plain = TakeRequestDocument(b64.c_str());
    EXPECT_EQ(std::string(plain.data(), plain.data() + plain.size()), bytes);
    EXPECT_TRUE(TakeRequestDocument(nullptr).empty());

    // The front end's document: decoded where it lies, and taken once.
    auto memory = std::make_shared<BodyMemory>(b64.size() + 1);
    std::memcpy(memory->data(), b64.c_str(), b64.size() + 1);
    RequestDocuments docs;
    docs.text = memory->data();
    docs.length = b64.size();
    docs.memory = memory;
    RequestContext context{"", nullptr, &docs};
    ScopedRequest current(context);
    const std::string other = Base64Encode(std::string("other"));
    SharedBytes another = TakeRequestDocument(other.c_str());
    EXPECT_EQ(std::string(another.data(), another.data() + another.size()), "other") << "a text not the document's";
    EXPECT_TRUE(docs.memory) << "left in place";

    SharedBytes taken = TakeRequestDocument(memory->data());
    EXPECT_EQ(reinterpret_cast<const char*>(taken.data()), memory->data()) << "no copy";
    EXPECT_EQ(std::string(taken.data(), taken.data() + taken.size()), bytes);
    EXPECT_FALSE(docs.memory) << "the command owns it now";
    EXPECT_EQ(docs.text, nullptr);
    std::weak_ptr<BodyMemory> gone = memory;
    memory.reset();
    taken.Release();
    EXPECT_TRUE(gone.expired()) << "freed when the command lets go";

    // An answer's document is left to the front end by a marker.
    SharedBytes answer(std::make_shared<int>(0), reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data())),
                       bytes.size());
    const std::string marker = AttachAnswerDocument(answer);
    ASSERT_FALSE(marker.empty());
    ASSERT_TRUE(docs.answer);
    EXPECT_EQ(docs.answer->marker, marker);
    EXPECT_EQ(docs.answer->bytes.size(), bytes.size());
    EXPECT_TRUE(answer.empty());
}
