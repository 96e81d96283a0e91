// A client that hands its update over to the engine, as an application does: creates the
// object, sets its properties, calls StartPatch with its own process id, releases the
// object and ends at once ("exit") or waits to be ended ("stay").
//   patch_client exit|stay APPID URL IMAGE APPDIR DOWNLOADDIR LOGFILE
//                EXEC WORKDIR SUCCESS FAIL FROM TO
// Exit codes: 0 handed over, 2 bad arguments, 3 no object, 4 StartPatch failed.
#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "halvorin_idl.h"

int main(int argc, char** argv) {
    if (argc != 14) return 2;
    CoInitialize(nullptr);
    int code = 0;
    {
        ComPtr<IHalvorin> engine;
        if (FAILED(CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin,
                                    engine.ReceiveVoid()))) {
            code = 3;
        } else {
            engine->put_appID(Bstr(argv[2]));
            engine->put_url(Bstr(argv[3]));
            engine->put_imagePath(Bstr(argv[4]));
            engine->put_appDirectory(Bstr(argv[5]));
            engine->put_downloadDirectory(Bstr(argv[6]));
            engine->put_logFile(Bstr(argv[7]));
            if (FAILED(engine->StartPatch(static_cast<LONG>(GetCurrentProcessId()), Bstr(argv[8]), Bstr(argv[9]),
                                          Bstr(argv[10]), Bstr(argv[11]), atol(argv[12]), atol(argv[13])))) {
                code = 4;
            }
        }
    }
    CoUninitialize();
    if (code == 0 && strcmp(argv[1], "stay") == 0) Sleep(INFINITE);  // the engine ends it
    return code;
}
