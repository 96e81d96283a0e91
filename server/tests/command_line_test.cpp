// The command line of halvorin.exe: the switch rules in-process, and what the real program
// does with each kind of line (registry, serving, usage box, exit code).
#include "server/command_line.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "server/guids.h"
#include "halvorin_idl.h"
#include "server/tests/server_process.h"
#include "tests/robot/ui_robot.h"

using namespace server_testing;

// Readable failure messages.
std::ostream& operator<<(std::ostream& out, ServerSwitch found) {
    switch (found) {
        case ServerSwitch::Serve: return out << "Serve";
        case ServerSwitch::RegServer: return out << "RegServer";
        case ServerSwitch::UnregServer: return out << "UnregServer";
        case ServerSwitch::Usage: return out << "Usage";
    }
    return out << "?";
}

namespace {

const std::string kClassKey = "CLSID\\" HALVORIN_CLSID_TEXT;
const std::string kProgIdKey = "Halvorin.Halvorin";
const char kUsageText[] =
    "\r\n-RegServer   : register the Halvorin interface.\r\n-UnRegServer : unregister the Halvorin interface.";

bool Registered() { return KeyExists(HKEY_CLASSES_ROOT, kClassKey) && KeyExists(HKEY_CLASSES_ROOT, kProgIdKey); }
bool FullyUnregistered() {
    return !KeyExists(HKEY_CLASSES_ROOT, kClassKey) && !KeyExists(HKEY_CLASSES_ROOT, kProgIdKey) &&
           !KeyExists(HKEY_CLASSES_ROOT, "TypeLib\\" HALVORIN_LIBID_TEXT);
}

std::string Line(const std::string& arguments) { return "\"" + HalvorinPath() + "\" " + arguments; }

}  // namespace

TEST(FindServerSwitchTest, OnlyAWholeRemainderAfterThePrefixIsASwitch) {
    const char* program = "\"C:\\Program Files\\Halvorin\\halvorin.exe\"";
    auto find = [&](const std::string& arguments) { return FindServerSwitch((program + (" " + arguments)).c_str()); };

    EXPECT_EQ(ServerSwitch::RegServer, find("-regserver"));
    EXPECT_EQ(ServerSwitch::RegServer, find("-RegServer"));
    EXPECT_EQ(ServerSwitch::RegServer, find("/REGSERVER"));
    EXPECT_EQ(ServerSwitch::UnregServer, find("-UnregServer"));
    EXPECT_EQ(ServerSwitch::UnregServer, find("/unregserver"));
    EXPECT_EQ(ServerSwitch::Usage, find("-?"));
    EXPECT_EQ(ServerSwitch::Usage, find("/?"));
    EXPECT_EQ(ServerSwitch::Usage, find("--help"));
    EXPECT_EQ(ServerSwitch::Usage, find("/HELP"));

    // The switch runs to the end of the line: anything behind it spoils it.
    EXPECT_EQ(ServerSwitch::Serve, find("-RegServer extra"));
    EXPECT_EQ(ServerSwitch::Serve, find("-RegServer "));
    EXPECT_EQ(ServerSwitch::Serve, find("-? extra"));
    EXPECT_EQ(ServerSwitch::Serve, find("RegServer"));
    EXPECT_EQ(ServerSwitch::Serve, find("-Embedding"));
    EXPECT_EQ(ServerSwitch::Serve, find("-Reg"));
    EXPECT_EQ(ServerSwitch::Serve, find("-Reg-Server"));
    EXPECT_EQ(ServerSwitch::Serve, find("-RegServer\t"));
    EXPECT_EQ(ServerSwitch::Serve, find("-RegServers"));
    // ...so only the last argument can be one, and the scan goes on after each prefix.
    EXPECT_EQ(ServerSwitch::UnregServer, find("-? -UnregServer"));
    EXPECT_EQ(ServerSwitch::RegServer, find("-UnregServer -RegServer"));
    EXPECT_EQ(ServerSwitch::RegServer, find("--RegServer"));
    EXPECT_EQ(ServerSwitch::Usage, find("-Embedding -?"));

    // A prefix character inside the program's own path starts a candidate that does not match.
    EXPECT_EQ(ServerSwitch::RegServer, FindServerSwitch("C:\\my-dir\\halvorin.exe /RegServer"));
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch("C:\\my-dir\\halvorin.exe"));
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch("C:/tools/halvorin.exe -Embedding"));
    EXPECT_EQ(ServerSwitch::UnregServer, FindServerSwitch("C:/tools/halvorin.exe -UnregServer"));

    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch(""));
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch("halvorin.exe"));
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch(nullptr));
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch("-"));
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch("/"));
}

// Runs in a Wine session with a Japanese locale (code page 932); skipped elsewhere.
TEST(FindServerSwitchTest, DbcsCharactersAreSteppedOverWhole) {
    CPINFO info = {};
    const bool dbcs = GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 2 && IsDBCSLeadByte(0x83);
    if (!dbcs) {
        if (std::getenv("HALVORIN_EXPECT_DBCS") != nullptr) FAIL() << "code page " << GetACP() << " is not DBCS";
        GTEST_SKIP() << "code page " << GetACP() << " has no double-byte characters";
    }
    // Shift-JIS folder names, some of whose second bytes are 0x5C ("\"): the switch is still
    // found at the end of the line.
    const std::string folder = "C:\\\x83\x5C\x83\x74\x83\x67-\x83\x5C\x83\x74\x83\x67\\";
    EXPECT_EQ(ServerSwitch::RegServer, FindServerSwitch((folder + "halvorin.exe /RegServer").c_str()));
    EXPECT_EQ(ServerSwitch::UnregServer, FindServerSwitch((folder + "halvorin.exe -UnregServer").c_str()));
    EXPECT_EQ(ServerSwitch::Usage, FindServerSwitch((folder + "halvorin.exe -?").c_str()));
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch((folder + "halvorin.exe").c_str()));
    // A prefix character right after a lead byte is that character's second byte, no prefix:
    // a byte-wise scan would take "-RegServer" here.
    EXPECT_EQ(ServerSwitch::Serve, FindServerSwitch("C:\\x\\halvorin.exe \x83-RegServer"));
    EXPECT_EQ(ServerSwitch::RegServer, FindServerSwitch("C:\\x\\halvorin.exe \x83--RegServer"));
}

class CommandLineProcessTest : public ::testing::Test {
protected:
    void SetUp() override { EndLeftoverServers(); }
    void TearDown() override {
        EXPECT_EQ(0, EndLeftoverServers()) << "a server had to be terminated";
        EXPECT_EQ(0, RunHalvorin("-regserver"));  // later tests find the server registered
    }
};

TEST_F(CommandLineProcessTest, SlashAndUpperCaseRegisters) {
    ASSERT_EQ(0, RunHalvorin("-unregserver"));
    ASSERT_TRUE(FullyUnregistered());
    EXPECT_EQ(0, RunHalvorin("/REGSERVER"));
    EXPECT_TRUE(Registered());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "TypeLib\\" HALVORIN_LIBID_TEXT));
}

TEST_F(CommandLineProcessTest, SwitchWithAFurtherWordServesInstead) {
    ASSERT_EQ(0, RunHalvorin("-unregserver"));
    {
        // A server that no client reaches ends like any idle one, after the idle time.
        ChildProcess alone;
        ASSERT_TRUE(alone.Start(Line("-RegServer extra")));
        EXPECT_FALSE(alone.WaitForExit(3000)) << "it did not serve";
        EXPECT_TRUE(alone.WaitForExit(30000)) << "it never ended";
        EXPECT_EQ(0u, alone.ExitCode());
        EXPECT_TRUE(FullyUnregistered()) << "it registered";
    }

    // It is the server that clients get (the registration only makes the interface
    // reachable). Once a client has come and gone it ends by itself.
    ChildProcess server;
    ASSERT_EQ(0, RunHalvorin("-regserver"));
    ASSERT_TRUE(server.Start(Line("-RegServer extra")));
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    IHalvorin* engine = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin,
                                     reinterpret_cast<void**>(&engine)));
    if (engine != nullptr) {
        LONG serverId = 0;
        EXPECT_EQ(S_OK, engine->get_processID(&serverId));
        EXPECT_EQ(server.id(), static_cast<DWORD>(serverId));
        engine->Release();
    }
    CoUninitialize();
    EXPECT_TRUE(server.WaitForExit(15000));
    EXPECT_EQ(0u, server.ExitCode());
}

TEST_F(CommandLineProcessTest, UsageThenUnregServerUnregistersWithoutABox) {
    ASSERT_EQ(0, RunHalvorin("-regserver"));
    ASSERT_TRUE(Registered());
    ChildProcess program;
    ASSERT_TRUE(program.Start(Line("-? -UnregServer"), CREATE_SUSPENDED));
    uirobot::WindowFilter filter;
    filter.processId = program.id();
    filter.visibleOnly = false;
    uirobot::BoxWatcher watcher(filter);
    program.Resume();
    ASSERT_TRUE(program.WaitForExit(60000));
    EXPECT_EQ(0u, program.ExitCode());
    watcher.Stop();
    EXPECT_EQ(0u, watcher.Count()) << uirobot::ToJson(watcher.Seen().front());
    EXPECT_TRUE(FullyUnregistered());
}

TEST_F(CommandLineProcessTest, UsageGoesToTheOutputItIsGiven) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    ASSERT_TRUE(CreatePipe(&reader, &writer, &inheritable, 0));
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    ChildProcess program;
    ASSERT_TRUE(program.Start(Line("--help"), 0, writer));
    CloseHandle(writer);
    std::string printed;
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(reader, buffer, sizeof buffer, &read, nullptr) && read > 0) printed.append(buffer, read);
    CloseHandle(reader);
    ASSERT_TRUE(program.WaitForExit(30000));
    EXPECT_EQ(0u, program.ExitCode());
    EXPECT_NE(std::string::npos, printed.find(kUsageText)) << printed;
}

TEST_F(CommandLineProcessTest, UsageShowsTheBoxAndChangesNothing) {
    ASSERT_EQ(0, RunHalvorin("-regserver"));
    ChildProcess program;
    ASSERT_TRUE(program.Start(Line("-?"), 0, INVALID_HANDLE_VALUE));
    uirobot::WindowFilter filter;
    filter.processId = program.id();
    uirobot::MessageBoxInfo box;
    ASSERT_TRUE(uirobot::FindMessageBox(filter, 30000, &box)) << "no box; exit code " << program.ExitCode();
    EXPECT_FALSE(box.caption.empty());
    EXPECT_EQ(kUsageText, box.text);
    EXPECT_EQ(std::vector<int>{IDOK}, box.buttonIds) << uirobot::ToJson(box);
    EXPECT_EQ(nullptr, GetWindow(box.window, GW_OWNER));
    // The box waits for the user.
    EXPECT_FALSE(program.WaitForExit(500));
    ASSERT_TRUE(uirobot::CloseMessageBox(box.window));
    ASSERT_TRUE(program.WaitForExit(30000));
    EXPECT_EQ(0u, program.ExitCode());
    EXPECT_TRUE(Registered());
}
