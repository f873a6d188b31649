// The table generator against the MinGW-w64 message compiler, on a sample
// .mc file with the corners of the format: both are built from
// sample_messages.mc into this program, the compiler's output as its
// message-table resource.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message_format.h"
#include "message_resource.h"

namespace cvntest {
// Generated into this namespace from sample_messages.mc.
extern const cvn::CatalogueEntry kCatalogue[];
extern const std::size_t kCatalogueSize;
}  // namespace cvntest

using namespace cvntest;

TEST(MessageTableGenerator, AgreesWithTheMessageCompilerOnIdentifiersAndBytes)
{
    auto languages = ReadMessageTable(GetModuleHandleA(nullptr));
    // The German texts are compiled too; the table keeps English alone.
    ASSERT_EQ(2u, languages.size());
    ASSERT_EQ(1u, languages.count(0x407));
    ASSERT_EQ(1u, languages.count(0x409));
    const auto& english = languages[0x409];
    ASSERT_EQ(4u, kCatalogueSize);
    ASSERT_EQ(english.size(), kCatalogueSize);
    for (std::size_t i = 0; i < kCatalogueSize; ++i) {
        auto found = english.find(kCatalogue[i].id);
        ASSERT_NE(english.end(), found) << std::hex << kCatalogue[i].id;
        EXPECT_EQ(Visible(found->second), Visible(kCatalogue[i].text));
        EXPECT_EQ(std::string::npos, std::string(kCatalogue[i].text).find("Deutsch"));
    }
}

TEST(MessageTableGenerator, FormatMessageAAndOurFormatterAgreeOnEveryEntry)
{
    const std::vector<const char*> inserts = {"first", "second\r\n", "%3", "4", "5", "6", "7", "8", "9", "tenth"};
    for (std::size_t i = 0; i < kCatalogueSize; ++i) {
        std::string system, ours;
        DWORD error;
        ASSERT_TRUE(SystemFormat(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 nullptr, kCatalogue[i].id, inserts, system, error, 0x409))
            << std::hex << kCatalogue[i].id << " error " << std::dec << error;
        ASSERT_TRUE(cvn::FormatMessageText(kCatalogue[i].text, inserts.data(), inserts.size(), ours));
        EXPECT_EQ(Visible(system), Visible(ours)) << std::hex << kCatalogue[i].id;
    }
}
