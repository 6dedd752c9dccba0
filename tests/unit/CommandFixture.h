// A fixture for command tests that run in-process: a temporary program folder
// (so "Data", the log and the settings files land there), the provider
// library loaded with the default crypto libraries, and a helper that sends
// a request through the dispatcher and parses the answer as the page sees it.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "TestUtil.h"
#include "base/Params.h"
#include "commands/ProcessRequest.h"
#include "base/Log.h"
#include "platform/CodePage.h"
#include "platform/ModulePath.h"
#include "provider/Provider.h"

namespace zktest {

// The answer as the page receives it: UTF-8 text, parsed.
struct Answer {
    std::string text;
    std::unique_ptr<tinyxml2::XMLDocument> doc = std::make_unique<tinyxml2::XMLDocument>();

    const tinyxml2::XMLElement* Root() const { return doc->RootElement(); }
    // Text of a path of child elements below the root ("Return/Code").
    std::string At(const std::string& path) const { return zk::ElementText(Find(path)); }
    const tinyxml2::XMLElement* Find(const std::string& path) const {
        const tinyxml2::XMLElement* e = Root();
        size_t start = 0;
        while (e && start <= path.size()) {
            size_t slash = path.find('/', start);
            std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            e = e->FirstChildElement(name.c_str());
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        return e;
    }
    int Code() const { return std::stoi(At("Return/Code")); }
};

class CommandFixture : public ::testing::Test {
protected:
    void SetUp() override {
        zk::SetModulePathForTesting(dir.file("ZelkorH"));
        WriteFile(dir.file("ZelkorH.ini"), "[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n");
        LoadStandIn();
        zk::log::Start(dir.str(), true);
    }
    void TearDown() override {
        zk::log::Stop();
        zk::provider::UnloadProvider();
    }
    void LoadStandIn() {
        std::string error;
        zk::provider::LoadOptions options;
        options.libraryName = ZK_PROVIDER_PATH;
        options.paramsPath = dir.file("ZelkorH.ini");
        ASSERT_EQ(zk::provider::LoadProvider(error, options), 0) << zk::Cp1251ToUtf8(error);
    }

    // Sends a request (UTF-8 XML); nothing when the dispatcher refuses it
    // (the page then gets the bare code-56 envelope).
    std::optional<Answer> Run(const std::string& xml) {
        tinyxml2::XMLDocument request;
        EXPECT_EQ(request.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
        std::string answer;
        if (!zk::ProcessRequestPOST(request, answer)) return std::nullopt;
        Answer a;
        a.text = zk::Cp1251ToUtf8(answer);
        EXPECT_EQ(a.doc->Parse(a.text.c_str()), tinyxml2::XML_SUCCESS) << a.text;
        return a;
    }
    // Request with a command, a Params body and optionally Data.
    std::optional<Answer> Command(const std::string& name, const std::string& params,
                                  const std::optional<std::string>& data = std::nullopt) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Request><Command>" + name + "</Command>";
        if (!params.empty()) xml += "<Params>" + params + "</Params>";
        if (data) xml += "<Data>" + *data + "</Data>";
        return Run(xml + "</Request>");
    }
    std::string Log() const { return ReadFile(dir.file("ZelkorH.log")); }

    TempDir dir;
};

}  // namespace zktest
