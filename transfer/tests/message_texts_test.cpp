// The message texts as the string tables give them, in the language of the Wine session.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

#include "common/resource_ids.h"
#include "common/message_texts.h"

namespace {

const char kEnglishAdvice[] =
    "\r\n\r\nYou could encounter problems if you continue running the application. Please contact your service "
    "provider to get support about this issue. Please write down the displayed error message and error number.";
// The French texts as the ANSI code page (1252) holds them.
const char kFrenchAdvice[] =
    "\r\n\r\nVous pourriez avoir des probl\xE8mes si vous continuez \xE0 faire tourner cette application.\r\n"
    "Veuillez communiquer avec votre fournisseur d'acc\xE8s \xE0 Internet pour r\xE9gler ce probl\xE8me. Veuillez "
    "noter le message d'erreur et le num\xE9ro d'erreur affich\xE9s.";

bool SessionIsFrench() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_FRENCH; }

class MessageTextsTest : public ::testing::Test {
protected:
    void SetUp() override { LoadMessageTexts(GetModuleHandleA(nullptr)); }
};

}  // namespace

TEST_F(MessageTextsTest, SessionLanguageIsTheOneTheRunAskedFor) {
    // The French run of this program sets HALVORIN_EXPECT_FRENCH; the normal run is English.
    const bool french = getenv("HALVORIN_EXPECT_FRENCH") != nullptr;
    EXPECT_EQ(french, SessionIsFrench()) << "UI language " << GetUserDefaultUILanguage();
}

TEST_F(MessageTextsTest, ErrorTextsCarryTheAdviceAndOthersDoNot) {
    const std::string advice = SessionIsFrench() ? kFrenchAdvice : kEnglishAdvice;
    EXPECT_EQ(advice, MessageText(IDS_ADVICE));
    for (int id : {102, 103, 104, 105, 106, 107, 108, 109, 110, 117, 118, 124, 125, 126, 127, 128, 129, 130}) {
        const std::string& text = MessageText(id);
        ASSERT_GT(text.size(), advice.size()) << id;
        EXPECT_EQ(advice, text.substr(text.size() - advice.size())) << id;
        EXPECT_EQ(std::string::npos, text.substr(0, text.size() - advice.size()).find("\r\n\r\nYou could")) << id;
    }
    for (int id = 111; id <= 116; ++id) EXPECT_EQ(std::string::npos, MessageText(id).find(advice)) << id;
    for (int id = 119; id <= 123; ++id) EXPECT_EQ(std::string::npos, MessageText(id).find(advice)) << id;
    EXPECT_EQ("", MessageText(100));
    EXPECT_EQ("", MessageText(131));
}

TEST_F(MessageTextsTest, TextsOfTheSessionLanguage) {
    if (SessionIsFrench()) {
        EXPECT_EQ("T\xE9l\xE9" "chargement du fichier : %s", MessageText(IDS_DOWNLOADING_FILE));
        EXPECT_EQ("%.2f / %.2fMo", MessageText(IDS_FIGURES));
        EXPECT_EQ("%.2f / %.2fMo   <reprise de la transmission>", MessageText(IDS_FIGURES_RESUMING));
        EXPECT_EQ("Impossible d'ouvrir le site %s." + std::string(kFrenchAdvice), MessageText(IDS_CANNOT_OPEN_SITE));
        EXPECT_EQ("Ce fichier:", MessageText(IDS_LABEL_THIS_FILE));
        EXPECT_EQ("T\xE9l\xE9" "chargement des mises \xE0 niveau", MessageText(IDS_TITLE_PATCHES));
        EXPECT_EQ("D\xE9veloppement...", MessageText(IDS_EXPANDING_FILES));
    } else {
        EXPECT_EQ("Downloading file: %s", MessageText(IDS_DOWNLOADING_FILE));
        EXPECT_EQ("%.2f / %.2fM", MessageText(IDS_FIGURES));
        EXPECT_EQ("%.2f / %.2fM   <resuming>", MessageText(IDS_FIGURES_RESUMING));
        EXPECT_EQ("Could not open site %s." + std::string(kEnglishAdvice), MessageText(IDS_CANNOT_OPEN_SITE));
        EXPECT_EQ("File %s could not be created on disk.\n\r\nMake sure that no other application is currently"
                  "\n\r\nlocking this file and run scandisk." + std::string(kEnglishAdvice),
                  MessageText(IDS_CANNOT_CREATE_ON_DISK));
        EXPECT_EQ("This file:", MessageText(IDS_LABEL_THIS_FILE));
        EXPECT_EQ("Total:", MessageText(IDS_LABEL_TOTAL));
        EXPECT_EQ("Downloading Patches", MessageText(IDS_TITLE_PATCHES));
    }
    EXPECT_EQ("Total:", MessageText(IDS_LABEL_TOTAL));
}

TEST_F(MessageTextsTest, FormattingCutsAtTheMessageBuffer) {
    const std::string site(10000, 's');
    const std::string text = FormatMessageText(IDS_CANNOT_OPEN_SITE, site.c_str());
    EXPECT_EQ(4095u, text.size());
    EXPECT_EQ(0u, text.find(SessionIsFrench() ? "Impossible d'ouvrir le site sss" : "Could not open site sss"));
    char figures[64];
    snprintf(figures, sizeof(figures), MessageText(IDS_FIGURES).c_str(), 0.5, 1.25);
    EXPECT_EQ(SessionIsFrench() ? "0.50 / 1.25Mo" : "0.50 / 1.25M", FormatMessageText(IDS_FIGURES, 0.5, 1.25));
}

TEST(FrenchTables, EveryFrenchLanguageCarriesTheFrenchTable) {
    // String tables are stored in blocks of 16 ids; 114 lies in block 8 (ids 112-127).
    for (WORD language : {0x040C, 0x080C, 0x0C0C, 0x100C, 0x0409}) {
        HRSRC block = FindResourceExA(nullptr, RT_STRING, MAKEINTRESOURCEA(114 / 16 + 1), language);
        ASSERT_NE(nullptr, block) << std::hex << language;
        const WCHAR* entries = static_cast<const WCHAR*>(LockResource(LoadResource(nullptr, block)));
        ASSERT_NE(nullptr, entries);
        for (int skip = 0; skip < 114 % 16; ++skip) entries += 1 + *entries;  // length-prefixed entries
        const std::wstring text(entries + 1, *entries);
        EXPECT_EQ(language == 0x0409 ? L"Downloading file: %s" : L"T\u00e9l\u00e9chargement du fichier : %s", text)
            << std::hex << language;
    }
}
