// Requests and result parsing for the DB_COMMAND tests.
#pragma once
#include <string>
#include <vector>

#include "CommandFixture.h"
#include "base/CBase64.h"

namespace zktest {

struct Field {
    std::string name;
    std::string text;
    bool nil = false;
};
using Row = std::vector<Field>;

class DbFixture : public CommandFixture {
protected:
    void TearDown() override {
        Command("DB_DROP", "<Base>" + zk::Base64Encode("all") + "</Base>");  // closes every connection
        CommandFixture::TearDown();
    }
    // DB_COMMAND on a database; key (UTF-8) makes it a protected one.
    std::optional<Answer> Sql(const std::string& name, const std::string& sql, const std::string& key = "") {
        std::string base = "<Base";
        if (!key.empty()) base += " TYPE=\"PROT\" KEY=\"" + zk::Base64Encode(key) + "\"";
        base += ">" + zk::Base64Encode(name) + "</Base>";
        return Command("DB_COMMAND", base + "<Query>" + zk::Base64Encode(sql) + "</Query>");
    }
    // The rows of a successful answer.
    static std::vector<Row> Rows(const Answer& a) {
        std::vector<Row> rows;
        const std::string xml = zk::Base64DecodeToString(a.At("Data/Result"));
        if (xml.empty()) return rows;
        tinyxml2::XMLDocument doc;
        EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
        const tinyxml2::XMLElement* root = doc.RootElement();
        EXPECT_STREQ(root->Name(), "DECLAR");
        EXPECT_STREQ(root->Attribute("xmlns:xsi"), "http://www.w3.org/2001/XMLSchema-instance");
        for (const auto* r = root->FirstChildElement("ROW"); r; r = r->NextSiblingElement("ROW")) {
            Row row;
            for (const auto* f = r->FirstChildElement("FIELD"); f; f = f->NextSiblingElement("FIELD"))
                row.push_back({f->Attribute("NAME"), f->GetText() ? f->GetText() : "",
                               f->Attribute("xsi:nil", "true") != nullptr});
            rows.push_back(row);
        }
        return rows;
    }
    std::string DbFile(const std::string& name) const { return dir.file("Data/" + name); }
};

}  // namespace zktest
