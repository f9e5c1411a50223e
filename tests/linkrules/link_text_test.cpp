// The link's rules against tests/data/link_texts.tsv, the table the Python
// module's parser runs too: both must read every text the same way.
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linkrules/link_text.h"

namespace {

struct Row {
    int line = 0;
    std::string text;
    std::vector<std::string> fields; // what follows the text
};

// The text between its quotes, with \n, \t, \" and \\ turned back.
bool Unquote(const std::string &quoted, std::string &text)
{
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
        return false;
    text.clear();
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        char c = quoted[i];
        if (c == '\\') {
            if (i + 2 >= quoted.size())
                return false;
            char e = quoted[++i];
            c = e == 'n' ? '\n' : e == 't' ? '\t' : e;
        }
        text += c;
    }
    return true;
}

// Every row of the table; a malformed line fails the test.
std::vector<Row> ReadTable()
{
    std::vector<Row> rows;
    std::ifstream in(LINK_TEXTS);
    EXPECT_TRUE(in.good()) << "cannot read " << LINK_TEXTS;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        Row row;
        row.line = number;
        if (fields.size() < 3 || !Unquote(fields[0], row.text)) {
            ADD_FAILURE() << "line " << number << " is not a row: " << line;
            continue;
        }
        row.fields.assign(fields.begin() + 1, fields.end());
        rows.push_back(row);
    }
    return rows;
}

uint8_t Transport(const std::string &name)
{
    return name == "tcp" ? FERRYLINK_TRANSPORT_TCP : name == "serial" ? FERRYLINK_TRANSPORT_SERIAL : 0;
}

TEST(LinkText, EveryRowOfTheTableIsReadAsItSays)
{
    std::vector<Row> rows = ReadTable();
    ASSERT_FALSE(rows.empty());
    for (const Row &row : rows) {
        SCOPED_TRACE("line " + std::to_string(row.line) + ": \"" + row.text + "\"");
        linkrules::LinkText link;
        std::string message;
        bool ok = linkrules::ParseLinkText(row.text, link, message);
        const std::string &kind = row.fields[0];
        if (kind == "ok" && row.fields.size() == 4) {
            EXPECT_TRUE(ok) << message;
            EXPECT_FALSE(link.bare);
            EXPECT_EQ(link.transport, Transport(row.fields[1]));
            EXPECT_EQ(link.text, row.fields[2]);
            EXPECT_EQ(std::to_string(link.number), row.fields[3]);
        } else if (kind == "bare" && row.fields.size() == 2) {
            EXPECT_TRUE(ok) << message;
            EXPECT_TRUE(link.bare);
            EXPECT_EQ(link.transport, Transport(row.fields[1]));
        } else if (kind == "error" && row.fields.size() == 2) {
            EXPECT_FALSE(ok);
            EXPECT_NE(message.find(row.fields[1]), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << "one line";
        } else {
            ADD_FAILURE() << "no such result: " << kind << " with " << row.fields.size() - 1 << " fields";
        }
    }
}

// The Python module has its own list of rates and is held to the table:
// so the table must hold every rate the rules take.
TEST(LinkText, TheTableHoldsEverySupportedBaudRate)
{
    std::set<std::string> listed;
    for (const Row &row : ReadTable()) {
        if (row.fields.size() == 4 && row.fields[0] == "ok" && row.fields[1] == "serial")
            listed.insert(row.fields[3]);
    }
    std::size_t count = 0;
    const uint32_t *rates = linkrules::BaudRates(count);
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_EQ(listed.count(std::to_string(rates[i])), 1u) << rates[i] << " baud has no row";
}

} // namespace
