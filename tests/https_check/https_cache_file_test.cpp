#include "https_check/https_cache_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace hbt {
namespace {

TEST(HttpsCacheFileTest, WritesTheDocumentLayout) {
    const HttpsCacheAnswers answers = {{"www.b.example/b.example", {false}}, {"a.example/a.example", {true}}};
    EXPECT_EQ(SerializeHttpsCache(answers),
              "<?xml version=\"1.0\"?>\r\n"
              "<Cache>\r\n"
              "    <Hosts>\r\n"
              "        <Host Name=\"a.example/a.example\" HTTPS=\"1\"/>\r\n"
              "        <Host Name=\"www.b.example/b.example\" HTTPS=\"0\"/>\r\n"
              "    </Hosts>\r\n"
              "</Cache>\r\n");
    EXPECT_EQ(SerializeHttpsCache({{"a.example/a.example", {true, 0x0303, 0xC02F}}}),
              "<?xml version=\"1.0\"?>\r\n"
              "<Cache>\r\n"
              "    <Hosts>\r\n"
              "        <Host Name=\"a.example/a.example\" HTTPS=\"1\" TLSVersion=\"771\" CipherSuite=\"49199\"/>\r\n"
              "    </Hosts>\r\n"
              "</Cache>\r\n");
    EXPECT_EQ(SerializeHttpsCache({}),
              "<?xml version=\"1.0\"?>\r\n"
              "<Cache>\r\n"
              "    <Hosts/>\r\n"
              "</Cache>\r\n");
}

TEST(HttpsCacheFileTest, NamesNeedingEscapesRoundTrip) {
    const HttpsCacheAnswers answers = {{"a&b\"<c>'.example/x", {true}}};
    HttpsCacheAnswers read;
    ASSERT_TRUE(ParseHttpsCache(SerializeHttpsCache(answers), read));
    EXPECT_EQ(read, answers);
}

TEST(HttpsCacheFileTest, ReadsWhatTheElementsSay) {
    struct Case {
        const char* name;
        const char* text;
        bool parses;
        HttpsCacheAnswers expected;
    };
    const Case cases[] = {
        {"values other than 0 and 1",
         "<Cache><Hosts><Host Name=\"a/a\" HTTPS=\"2\"/><Host Name=\"b/b\" HTTPS=\"abc\"/></Hosts></Cache>", true,
         {{"a/a", {true}}, {"b/b", {false}}}},
        {"missing attribute skips the element",
         "<Cache><Hosts><Host Name=\"a/a\"/><Host HTTPS=\"1\"/><Host Name=\"c/c\" HTTPS=\"1\"/></Hosts></Cache>", true,
         {{"c/c", {true}}}},
        {"any root name, and any element after the first Host",
         "<Other><Hosts><Host Name=\"a/a\" HTTPS=\"1\"/><Item Name=\"b/b\" HTTPS=\"0\"/></Hosts></Other>", true,
         {{"a/a", {true}}, {"b/b", {false}}}},
        {"element names match exactly",
         "<Cache><hosts><Host Name=\"a/a\" HTTPS=\"1\"/></hosts></Cache>", true, {}},
        {"elements before the first Host are not read",
         "<Cache><Hosts><host Name=\"a/a\" HTTPS=\"1\"/></Hosts></Cache>", true, {}},
        {"later key wins", "<Cache><Hosts><Host Name=\"a/a\" HTTPS=\"1\"/><Host Name=\"a/a\" HTTPS=\"0\"/></Hosts></Cache>",
         true, {{"a/a", {false}}}},
        {"negotiated version and suite; an older entry without them",
         "<Cache><Hosts><Host Name=\"a/a\" HTTPS=\"1\" TLSVersion=\"772\" CipherSuite=\"4865\"/>"
         "<Host Name=\"b/b\" HTTPS=\"1\"/><Host Name=\"c/c\" HTTPS=\"1\" TLSVersion=\"70000\" CipherSuite=\"x\"/>"
         "</Hosts></Cache>",
         true, {{"a/a", {true, 0x0304, 0x1301}}, {"b/b", {true}}, {"c/c", {true}}}},
        {"a suite without its version is no negotiation, as the file is written",
         "<Cache><Hosts><Host Name=\"a/a\" HTTPS=\"1\" CipherSuite=\"4865\"/></Hosts></Cache>", true,
         {{"a/a", {true}}}},
        {"truncated document", "<?xml version=\"1.0\"?>\n<Cache>\n    <Hosts>\n        <Host Name=\"a/a\" HTT", false, {}},
        {"not XML", "HTTPS=1", false, {}},
    };
    for (const Case& c : cases) {
        HttpsCacheAnswers read;
        EXPECT_EQ(ParseHttpsCache(c.text, read), c.parses) << c.name;
        EXPECT_EQ(read, c.expected) << c.name;
    }
}

TEST(HttpsCacheFileTest, SaveReplacesTheFileThroughNewFile) {
    const auto folder = std::filesystem::temp_directory_path() / ("hbt_cache_" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    const std::string path = (folder / "Harbinet" / "https_cache.xml").string();

    HttpsCacheAnswers read;
    EXPECT_FALSE(LoadHttpsCacheFile(path, read)) << "missing file";
    ASSERT_TRUE(SaveHttpsCacheFile(path, {{"a/a", {true}}}));
    ASSERT_TRUE(SaveHttpsCacheFile(path, {{"a/a", {false}}, {"b/b", {true}}}));
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
    ASSERT_TRUE(LoadHttpsCacheFile(path, read));
    EXPECT_EQ(read, (HttpsCacheAnswers{{"a/a", {false}}, {"b/b", {true}}}));

    // A damaged file loads nothing and the next save replaces it.
    std::ofstream(path, std::ios::trunc) << "<Cache><Hosts><Host Name=";
    read.clear();
    EXPECT_FALSE(LoadHttpsCacheFile(path, read));
    EXPECT_TRUE(read.empty());
    ASSERT_TRUE(SaveHttpsCacheFile(path, {{"c/c", {true}}}));
    ASSERT_TRUE(LoadHttpsCacheFile(path, read));
    EXPECT_EQ(read, (HttpsCacheAnswers{{"c/c", {true}}}));

    // A folder that cannot hold the ".new" file: the save is skipped.
    std::filesystem::create_directories(folder / "blocked");
    std::filesystem::create_directory(folder / "blocked" / "https_cache.xml.new");
    EXPECT_FALSE(SaveHttpsCacheFile((folder / "blocked" / "https_cache.xml").string(), {{"a/a", {true}}}));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace hbt
