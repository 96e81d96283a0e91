// The sample image that both the parser tests and the publishers' tool tests read:
// every section, a BASE URL switch, a two-digit year and a PM time.
#pragma once

inline constexpr char kWorkedExample[] =
    "' image for the demo application\r\n"
    "[VERSION 7]\r\n"
    "[Patches]\r\n"
    "FROM V5 TO V6 patches\\p56.rtp 1200\r\n"
    "FROM V6 TO V7 patches\\p67.rtp 900\r\n"
    "[Mandatory]\r\n"
    "DELETE FILE old\\readme.txt\r\n"
    "[BASE URL otherhost]\r\n"
    "FILE bin\\app.exe app.exe 960 480 12/31/99 11:59:59PM [exec] 07A1B2C3D4\r\n"
    "[Modules]\r\n"
    "MODULE Tools Handy tools\r\n"
    "FILE tools\\t.exe tools/t.exe 1000 800 1/2/2001 1:05:00 none\r\n";
