// The registry class against the real (Wine) registry, under a private key of HKCU.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "transfer/reg_key_handler.h"

namespace {

class RegKeyHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        keyName_ = "Software\\HalvorinRegKeyTest\\" + std::to_string(GetCurrentProcessId()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RegDeleteTreeA(HKEY_CURRENT_USER, keyName_.c_str());
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, keyName_.c_str()); }

    // Reads a value directly: its type and raw bytes.
    bool Raw(const char* name, DWORD& type, std::string& data) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, keyName_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        char buffer[1024];
        DWORD size = sizeof(buffer);
        const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(key);
        data.assign(buffer, result == ERROR_SUCCESS ? size : 0);
        return result == ERROR_SUCCESS;
    }

    std::string keyName_;
};

}  // namespace

TEST_F(RegKeyHandlerTest, TextValuesRoundTripWithoutTerminator) {
    RegKeyHandler handler;
    EXPECT_EQ(0, handler.Open(HKEY_CURRENT_USER, keyName_.c_str()));  // not there yet
    ASSERT_NE(0, handler.Create(HKEY_CURRENT_USER, keyName_.c_str()));

    EXPECT_STREQ("fallback", handler.GetProfileStringA("missing", "fallback"));
    EXPECT_EQ(0ul, handler.WriteProfileStringA("ten", "abcdefghij"));
    EXPECT_STREQ("abcdefghij", handler.GetProfileStringA("ten", "fallback"));

    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(Raw("ten", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    // The characters alone are handed over; the registry may add its own terminator.
    EXPECT_TRUE(data == "abcdefghij" || data == std::string("abcdefghij\0", 11)) << data.size();

    EXPECT_EQ(0ul, handler.WriteProfileStringA("empty", ""));
    ASSERT_TRUE(Raw("empty", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(0u, data.size());
    EXPECT_STREQ("", handler.GetProfileStringA("empty", "fallback"));

    // Up to 250 bytes are read, so 249 characters and the terminator; a longer value is
    // cut there, never taken for a missing one (a resume record must compare as its text).
    const std::string fits(249, 'f');
    handler.WriteProfileStringA("fits", fits.c_str());
    EXPECT_EQ(fits, handler.GetProfileStringA("fits", "fallback"));
    const std::string tooLong(251, 'l');
    handler.WriteProfileStringA("long", tooLong.c_str());
    EXPECT_EQ(std::string(249, 'l'), handler.GetProfileStringA("long", "fallback"));

    // A default longer than the buffer is cut to 255 characters.
    const std::string longDefault(1000, 'd');
    EXPECT_EQ(std::string(255, 'd'), handler.GetProfileStringA("missing", longDefault.c_str()));
    EXPECT_STREQ("", handler.GetProfileStringA("missing", nullptr));

    EXPECT_NE(0, handler.DeleteValue("ten"));
    EXPECT_EQ(0, handler.DeleteValue("ten"));  // already gone
    EXPECT_STREQ("gone", handler.GetProfileStringA("ten", "gone"));
}

TEST_F(RegKeyHandlerTest, NumbersAndKeys) {
    RegKeyHandler handler;
    ASSERT_NE(0, handler.Create(HKEY_CURRENT_USER, keyName_.c_str()));
    EXPECT_EQ(0ul, handler.WriteProfileInt("count", 0xA1B2C3D4ul));
    EXPECT_EQ(0xA1B2C3D4ul, handler.GetProfileIntA("count", 5));
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(Raw("count", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(std::string("\xD4\xC3\xB2\xA1", 4), data);

    handler.WriteProfileStringA("text", "12");
    EXPECT_EQ(5ul, handler.GetProfileIntA("text", 5));      // REG_SZ is not a number
    EXPECT_EQ(9ul, handler.GetProfileIntA("missing", 9));

    const std::string sub = keyName_ + "\\child";
    RegKeyHandler child;
    ASSERT_NE(0, child.Create(HKEY_CURRENT_USER, sub.c_str()));
    child.Close();
    EXPECT_NE(0, handler.DeleteKey("child"));
    EXPECT_EQ(0, handler.DeleteKey("child"));
    EXPECT_EQ(0, child.Open(HKEY_CURRENT_USER, sub.c_str()));

    // Without an open key every operation fails or gives the default.
    handler.Close();
    EXPECT_STREQ("d", handler.GetProfileStringA("count", "d"));
    EXPECT_EQ(3ul, handler.GetProfileIntA("count", 3));
    EXPECT_NE(0ul, handler.WriteProfileInt("count", 1));
    EXPECT_EQ(0, handler.DeleteValue("count"));
}

TEST_F(RegKeyHandlerTest, CopiesReferToTheSameKeyAndCloseOnlyTheirOwnHandle) {
    RegKeyHandler original;
    ASSERT_NE(0, original.Create(HKEY_CURRENT_USER, keyName_.c_str()));
    original.WriteProfileStringA("v", "one");
    {
        RegKeyHandler copy(original);
        EXPECT_STREQ("one", copy.GetProfileStringA("v", ""));
        copy.WriteProfileStringA("w", "two");
    }  // the copy closes its handle; the original's stays usable
    EXPECT_STREQ("two", original.GetProfileStringA("w", ""));

    RegKeyHandler assigned;
    assigned = original;
    original.Close();
    EXPECT_STREQ("one", assigned.GetProfileStringA("v", ""));

    // Creating again on an instance with an open key moves it to the new key.
    const std::string other = keyName_ + "\\other";
    ASSERT_NE(0, assigned.Create(HKEY_CURRENT_USER, other.c_str()));
    EXPECT_STREQ("none", assigned.GetProfileStringA("v", "none"));
}
