#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <plist/plist.h>

#include "platform/property_list.h"
#include "support/files.h"

namespace {

class PropertyListTest : public ::testing::Test {
protected:
    std::string write(const std::string &name, const std::string &contents)
    {
        std::string path = directory_ + "/" + name;
        writeFile(path, contents);
        return path;
    }

    // Serialises node (which it takes over) in the binary format.
    std::string writeBinary(const std::string &name, plist_t node)
    {
        char *bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(node, &bytes, &length);
        plist_free(node);
        std::string contents = bytes != nullptr ? std::string(bytes, length) : std::string();
        plist_to_bin_free(bytes);
        return write(name, contents);
    }

    static std::string xmlDictionary(const std::string &entries)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
               "</dict>\n</plist>\n";
    }

    TempDir temp_;
    const std::string directory_ = temp_.path();
};

TEST_F(PropertyListTest, ReadsStringsFromXml)
{
    std::string path = write("Info.plist",
                             xmlDictionary("<key>CFBundleName</key><string>Toolchain</string>\n"
                                           "<key>CFBundleShortVersionString</key><string>12.5.1</string>\n"));
    EXPECT_EQ(readPropertyListString(path, "CFBundleShortVersionString"), "12.5.1");
    EXPECT_EQ(readPropertyListString(path, "CFBundleName"), "Toolchain");
    EXPECT_EQ(readPropertyListString(path, "CFBundleVersion"), std::nullopt);
}

TEST_F(PropertyListTest, ReadsStringsFromBinary)
{
    plist_t dictionary = plist_new_dict();
    plist_dict_set_item(dictionary, "CFBundleShortVersionString", plist_new_string("9.4"));
    plist_dict_set_item(dictionary, "Other", plist_new_string("value with \xC3\xA9"));
    std::string path = writeBinary("Info.plist", dictionary);
    {
        std::ifstream stream(path, std::ios::binary);
        std::string head(8, '\0');
        stream.read(head.data(), 8);
        ASSERT_EQ(head.substr(0, 6), "bplist");
    }
    EXPECT_EQ(readPropertyListString(path, "CFBundleShortVersionString"), "9.4");
    EXPECT_EQ(readPropertyListString(path, "Other"), "value with \xC3\xA9");
    EXPECT_EQ(readPropertyListString(path, "Missing"), std::nullopt);
}

TEST_F(PropertyListTest, EmptyAndBlankStringsArePresent)
{
    std::string path = write("Info.plist", xmlDictionary("<key>A</key><string></string>\n"
                                                         "<key>B</key><string> 11.2</string>\n"));
    EXPECT_EQ(readPropertyListString(path, "A"), "");
    EXPECT_EQ(readPropertyListString(path, "B"), " 11.2");
}

TEST_F(PropertyListTest, ValuesThatAreNotStringsAreAbsent)
{
    std::string xml = write("xml.plist", xmlDictionary("<key>Version</key><integer>10</integer>\n"
                                                       "<key>Flag</key><true/>\n"
                                                       "<key>Nested</key><dict><key>Version</key><string>10</string></dict>\n"));
    EXPECT_EQ(readPropertyListString(xml, "Version"), std::nullopt);
    EXPECT_EQ(readPropertyListString(xml, "Flag"), std::nullopt);
    EXPECT_EQ(readPropertyListString(xml, "Nested"), std::nullopt);

    plist_t dictionary = plist_new_dict();
    plist_dict_set_item(dictionary, "Version", plist_new_uint(10));
    std::string binary = writeBinary("binary.plist", dictionary);
    EXPECT_EQ(readPropertyListString(binary, "Version"), std::nullopt);
}

TEST_F(PropertyListTest, TopLevelThatIsNotADictionaryIsAbsent)
{
    std::string xml = write("array.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                                           "<array><string>CFBundleShortVersionString</string><string>10</string></array>\n"
                                           "</plist>\n");
    EXPECT_EQ(readPropertyListString(xml, "CFBundleShortVersionString"), std::nullopt);

    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("CFBundleShortVersionString"));
    std::string binary = writeBinary("array.bplist", array);
    EXPECT_EQ(readPropertyListString(binary, "CFBundleShortVersionString"), std::nullopt);

    std::string text = write("string.plist", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><string>10</string></plist>\n");
    EXPECT_EQ(readPropertyListString(text, "CFBundleShortVersionString"), std::nullopt);
}

TEST_F(PropertyListTest, UnreadableOrUnparsableFilesAreAbsent)
{
    EXPECT_EQ(readPropertyListString(directory_ + "/missing.plist", "Key"), std::nullopt);
    EXPECT_EQ(readPropertyListString(write("empty.plist", ""), "Key"), std::nullopt);
    EXPECT_EQ(readPropertyListString(write("garbage.plist", "Key = 10;\n\x01\x02\xff"), "Key"), std::nullopt);
    EXPECT_EQ(readPropertyListString(write("truncated.plist", "bplist00\xd1\x01\x02"), "Key"), std::nullopt);
    EXPECT_EQ(readPropertyListString(write("cut.plist", xmlDictionary("<key>Key</key><string>10</string>\n").substr(0, 60)), "Key"),
              std::nullopt);
    std::filesystem::create_directory(directory_ + "/directory.plist");
    EXPECT_EQ(readPropertyListString(directory_ + "/directory.plist", "Key"), std::nullopt);
}

} // namespace
