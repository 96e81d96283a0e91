// A JScript client of IHalvorin2, as scripts use it: the newest version, the module list
// and the engine's files as plain values (JScript has no out-arguments), and a failure
// that is told (lastError, and the exception's description) without a box that would
// stop the script. Exits with the number of failed checks.
var failures = 0;
function check(condition, what) {
    WScript.Echo((condition ? "ok      " : "FAILED  ") + what);
    if (!condition) failures++;
}
var E_FAIL = -2147467259;
var work = WScript.Arguments(0), site = WScript.Arguments(1), root = WScript.Arguments(2);
var fso = new ActiveXObject("Scripting.FileSystemObject");
var image = fso.CreateTextFile(root + "\\versioned.img", true);
image.Write("[VERSION 12]\r\n[Modules]\r\nMODULE Tools Handy tools\r\n" +
            "FILE tools\\t.exe tools/t.exe 1000 800 1/2/2001 1:05:00 none\r\n");
image.Close();

var engine = new ActiveXObject("Halvorin.Halvorin");
// A failing member tells why, in the exception a script sees.
try {
    engine.PatchNeeded(1, 2);
    check(false, "PatchNeeded without appID fails");
} catch (e) {
    check(e.number == E_FAIL, "PatchNeeded without appID fails with E_FAIL");
    check(e.description.indexOf("appID is empty") >= 0, "and says why: " + e.description);
}
check(engine.silent === false, "silent is off by default");

engine.url = site;
engine.imagePath = "/versioned.img";
engine.appID = "script-jscript";
engine.appDirectory = work;
engine.downloadDirectory = work + "\\download";
check(engine.latestVersion == 12, "latestVersion is the image's VERSION");
check(engine.lastError === "", "lastError is empty after a success");
check(engine.moduleList == "Tools|Handy tools|", "moduleList reads the list without an out-argument");
check(engine.NewHalvorinFiles() === "", "NewHalvorinFiles: no engine files, an empty list");

// A site without the image: no box (silent), the decision says 0, lastError says why.
var failing = new ActiveXObject("Halvorin.Halvorin");
failing.silent = true;
failing.url = site;
failing.imagePath = "/nowhere.img";
failing.appID = "script-jscript-failing";
check(failing.PatchNeeded(1, 2) == 0, "PatchNeeded answers 0 without the image");
var why = failing.lastError;
check(why.indexOf("File /nowhere.img could not be downloaded from site") == 0, "lastError tells why: " + why);
try {
    var version = failing.latestVersion;
    check(false, "latestVersion without the image is no number: " + version);
} catch (e) {
    check(e.number == E_FAIL, "latestVersion without the image fails with E_FAIL");
    check(e.description == failing.lastError, "and its description is lastError: " + e.description);
}
// The next operation that succeeds clears it.
failing.imagePath = "/versioned.img";
check(failing.latestVersion == 12 && failing.lastError === "", "a success clears lastError");

// Released now: a script engine that leaves its objects to the end of the process keeps
// the server from its idle end.
engine = null;
failing = null;
CollectGarbage();
// The runner looks for this line: a script that does not parse ends silently with 0.
WScript.Echo("script client finished: " + failures + " failed");
WScript.Quit(failures);
