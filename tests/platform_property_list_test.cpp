// Strings read from property lists in either format; anything else reads as absent.

#include <gtest/gtest.h>

#include <plist/plist.h>

#include "platform/property_list.h"
#include "support/files.h"

TEST(PropertyList, StringValuesOfTheTopDictionaryAreReadAndEverythingElseIsAbsent)
{
    TempDir directory;
    auto write = [&](const std::string &name, const std::string &contents) {
        writeFile(directory.path() + "/" + name, contents);
        return directory.path() + "/" + name;
    };
    std::string xml = write("xml.plist", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>"
                                         "<key>Version</key><string> 12.5</string><key>Empty</key><string></string>"
                                         "<key>Number</key><integer>10</integer>"
                                         "<key>Nested</key><dict><key>Version</key><string>9</string></dict>"
                                         "</dict></plist>\n");
    plist_t dictionary = plist_new_dict();
    plist_dict_set_item(dictionary, "Version", plist_new_string("9.4"));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dictionary, &bytes, &length);
    std::string binary = write("binary.plist", std::string(bytes, length));
    plist_to_bin_free(bytes);
    plist_free(dictionary);

    const std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> cases = {
        {xml, "Version", " 12.5"},
        {xml, "Empty", ""},
        {xml, "Number", std::nullopt},
        {xml, "Nested", std::nullopt},
        {xml, "Missing", std::nullopt},
        {binary, "Version", "9.4"},
        {write("array.plist", "<plist><array><string>Version</string></array></plist>"), "Version", std::nullopt},
        {write("garbage.plist", "Version = 10;\n\x01\x02\xff"), "Version", std::nullopt},
        {write("truncated.plist", "bplist00\xd1\x01\x02"), "Version", std::nullopt},
        {directory.path(), "Version", std::nullopt},
        {directory.path() + "/missing.plist", "Version", std::nullopt},
    };
    for (const auto &[path, key, expected] : cases)
        EXPECT_EQ(readPropertyListString(path, key), expected) << path << " " << key;
}
