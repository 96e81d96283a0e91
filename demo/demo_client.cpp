// The demonstration client: drives the engine through IHalvorin the way an application
// does. Creates Halvorin.Halvorin, sets its properties and reads them back, fetches the
// image of the site and lists the optional modules it offers.
//   demo_client SITE APP_DIRECTORY
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "common/bstr.h"
#include "common/com_ptr.h"
#include "halvorin_idl.h"

namespace {

// Takes over a string the engine handed out.
bool Check(HRESULT hr, const char* what) {
    if (SUCCEEDED(hr)) return true;
    fprintf(stderr, "demo_client: %s failed (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return false;
}

int Run(const std::string& site, const std::string& appDirectory) {
    ComPtr<IHalvorin> engine;
    if (!Check(CoCreateInstance(CLSID_Halvorin, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvorin, engine.ReceiveVoid()),
               "creating Halvorin.Halvorin")) {
        return 1;
    }
    const bool set = Check(engine->put_appID(Bstr("HalvorinDemo")), "appID") &&
                     Check(engine->put_url(Bstr(site)), "url") &&
                     Check(engine->put_imagePath(Bstr("/demo.img")), "imagePath") &&
                     Check(engine->put_appDirectory(Bstr(appDirectory)), "appDirectory") &&
                     Check(engine->put_downloadDirectory(Bstr(appDirectory + "\\Download")), "downloadDirectory") &&
                     Check(engine->put_referer(Bstr("http://www.tolbeck.example/demo")), "referer") &&
                     Check(engine->put_logFile(Bstr(appDirectory + "\\halvorin.log")), "logFile");
    if (!set) return 1;

    LONG processId = 0;
    BSTR text = nullptr;
    engine->get_processID(&processId);
    engine->get_halvorinDirectory(&text);
    printf("Halvorin server process %ld in %s\n", processId, TakeAnsi(text).c_str());
    engine->get_appID(&text);
    printf("  appID             = %s\n", TakeAnsi(text).c_str());
    engine->get_url(&text);
    printf("  url               = %s\n", TakeAnsi(text).c_str());
    engine->get_imagePath(&text);
    printf("  imagePath         = %s\n", TakeAnsi(text).c_str());
    engine->get_appDirectory(&text);
    printf("  appDirectory      = %s\n", TakeAnsi(text).c_str());
    engine->get_downloadDirectory(&text);
    printf("  downloadDirectory = %s\n", TakeAnsi(text).c_str());
    engine->get_referer(&text);
    printf("  referer           = %s\n", TakeAnsi(text).c_str());

    if (!Check(engine->RefreshImage(), "RefreshImage")) return 1;
    if (!Check(engine->GetModuleList(&text), "GetModuleList")) return 1;
    printf("Modules the site offers (name|description|): %s\n", TakeAnsi(text).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: demo_client SITE APP_DIRECTORY\n");
        return 2;
    }
    CoInitialize(nullptr);
    const int status = Run(argv[1], argv[2]);
    CoUninitialize();
    return status;
}
