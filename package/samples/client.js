// The shortest complete update loop of an application that keeps itself up to date with
// Halvorin, as a JScript: ask, hand over and end, be started again, know the new version.
// The application's version is the number in version.txt beside the script.
//   cscript //nologo client.js SITE IMAGE_PATH
var fso = new ActiveXObject("Scripting.FileSystemObject");
var folder = fso.GetParentFolderName(WScript.ScriptFullName);
var version = parseInt(fso.OpenTextFile(folder + "\\version.txt").ReadLine(), 10);
var site = WScript.Arguments(0), imagePath = WScript.Arguments(1);
var relaunch = WScript.Arguments.length > 2 ? WScript.Arguments(2) : "";

function say(text) {
    WScript.Echo(text);
    var file = fso.OpenTextFile(folder + "\\result.txt", 8, true);  // a relaunched script has no console
    file.WriteLine(text);
    file.Close();
}

var engine = new ActiveXObject("Halvorin.Halvorin");
engine.appID = "SampleJs";                  // first: the other members need it
engine.url = site;
engine.imagePath = imagePath;
engine.appDirectory = folder;
engine.downloadDirectory = folder + "\\download";
engine.logFile = folder + "\\update.log";
engine.silent = true;                       // no boxes: this script tells its user itself

try {
    var latest = engine.latestVersion;       // an exception when the site cannot say
    if (relaunch == "/updated") {
        say("updated: version " + version + ", the site's newest is " + latest);
    } else if (relaunch == "/failed") {
        say("update failed: still version " + version + ", the site's newest is " + latest);
        engine.WriteErrorReport(folder + "\\report.txt");
    } else if (engine.PatchNeeded(version, latest) == 0) {
        say("up to date: version " + version);
    } else {
        // A script has no process id of its own to give; 0 tells the engine not to wait,
        // so the script ends right after handing over. The engine starts this command line
        // again with /updated or /failed after it.
        engine.StartPatch(0, "cscript //nologo \"" + WScript.ScriptFullName + "\" " + site + " " + imagePath, folder,
                          "/updated", "/failed", version, latest);
        say("handed over: version " + version + " to " + latest);
    }
} catch (e) {
    say("the engine could not answer: " + e.description);
}
// Released at once: a script engine that keeps its objects to the end of the process
// would keep the engine from ending when it is idle.
engine = null;
CollectGarbage();
