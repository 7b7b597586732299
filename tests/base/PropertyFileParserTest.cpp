#include "base/PropertyFileParser.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/LogReader.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

struct LineCase {
    const char* line;
    bool ok;
    const char* key;
    const char* value;
};

TEST(PropertyFileParserTest, AnalyseLineSplitsAtFirstEqualsAndDropsComments)
{
    const LineCase cases[] = {
        {"a=b=c", true, "a", "b=c"},
        {"  name \t=  two words \r", true, "name", "two words"},
        {"k=v #comment", true, "k", "v"},
        {"k=v#x=y", true, "k", "v"},
        {"a=", true, "a", ""},
        {"# a=b", false, "", ""},
        {" # a=b", false, "", ""},  // nothing before the "#" but a blank
        {"abc # x=y", false, "", ""},  // the only "=" stands after the "#"
        {"no equals sign", false, "", ""},
        {" = value", false, "", ""},  // empty key
        {"", false, "", ""},
        {"\r", false, "", ""},
    };
    for (const LineCase& c : cases) {
        std::string key = "unchanged";
        std::string value = "unchanged";
        EXPECT_EQ(c.ok, AnalyseLine(c.line, key, value)) << "line: [" << c.line << "]";
        if (c.ok) {
            EXPECT_EQ(c.key, key) << "line: [" << c.line << "]";
            EXPECT_EQ(c.value, value) << "line: [" << c.line << "]";
        }
    }
}

TEST(PropertyFileParserTest, TrimRemovesClassicWhiteSpaceOnly)
{
    std::string text = " \t\n\v\f\r x  y \r\n";
    Trim(text);
    EXPECT_EQ("x  y", text);
    std::string blanks = " \t\r\n";
    Trim(blanks);
    EXPECT_EQ("", blanks);
    std::string nbsp = "\xc2\xa0x";  // non-ASCII bytes are not white space
    Trim(nbsp);
    EXPECT_EQ("\xc2\xa0x", nbsp);
}

TEST(PropertyFileParserTest, ReadConfigReadsWholeFileLastKeyWins)
{
    TempDir dir("propfile");
    std::string path = dir / "env.properties";
    WriteFile(path,
              "# Java module environment\r\n"
              "JAVA_OPTS = -Xmx256m -Dx=1\r\n"
              "\r\n"
              "garbage line\r\n"
              "PORT=8080\r\n"
              "PORT=9090 # later one wins\r\n"
              "LAST=no line end");
    std::map<std::string, std::string> props = {{"KEPT", "1"}, {"PORT", "1"}};
    ASSERT_TRUE(ReadConfig(path, props));
    std::map<std::string, std::string> expected = {
        {"KEPT", "1"}, {"JAVA_OPTS", "-Xmx256m -Dx=1"}, {"PORT", "9090"}, {"LAST", "no line end"}};
    EXPECT_EQ(expected, props);
}

TEST(PropertyFileParserTest, MissingFileFailsWithLogLine)
{
    TempDir dir("propfile");
    testsupport::RunInChildWithLog([&](testsupport::LogReader& log) {
        log.Mark();
        std::map<std::string, std::string> props = {{"KEPT", "1"}};
        EXPECT_FALSE(ReadConfig(dir / "absent.properties", props));
        EXPECT_EQ(1u, props.size());

        auto lines = log.NewLinesWith("Open File failed, please check input file");
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("Info", lines[0].level);
        EXPECT_EQ("ReadConfig", lines[0].func);
        EXPECT_EQ("PropertyFileParser.cpp", lines[0].file);
        EXPECT_EQ("Open File failed, please check input file", lines[0].message);
    });
}

}  // namespace
