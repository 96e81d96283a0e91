' A late-bound client, the way script clients use the engine: everything goes through
' IDispatch and the registered type description. Exits with the number of failed checks.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
    If condition Then
        WScript.Echo "ok      " & what
    Else
        WScript.Echo "FAILED  " & what
        failures = failures + 1
    End If
End Sub

Const E_FAIL = &H80004005

Dim engine, other, value
Set engine = CreateObject("Halvorin.Halvorin")

' Text properties round-trip and are cut at 255 characters. (Wine's script engine has no
' Execute, so each property is spelled out.)
engine.url = "value of url"
Check engine.url = "value of url", "url round-trips"
engine.url = String(255, "a")
Check engine.url = String(255, "a"), "url keeps 255 characters"
engine.url = String(1000, "b")
Check engine.url = String(255, "b"), "url is cut to 255 characters"
engine.userName = "value of userName"
Check engine.userName = "value of userName", "userName round-trips"
engine.userName = String(255, "a")
Check engine.userName = String(255, "a"), "userName keeps 255 characters"
engine.userName = String(1000, "b")
Check engine.userName = String(255, "b"), "userName is cut to 255 characters"
engine.userPassword = "value of userPassword"
Check engine.userPassword = "value of userPassword", "userPassword round-trips"
engine.userPassword = String(255, "a")
Check engine.userPassword = String(255, "a"), "userPassword keeps 255 characters"
engine.userPassword = String(1000, "b")
Check engine.userPassword = String(255, "b"), "userPassword is cut to 255 characters"
engine.downloadDirectory = "value of downloadDirectory"
Check engine.downloadDirectory = "value of downloadDirectory", "downloadDirectory round-trips"
engine.downloadDirectory = String(255, "a")
Check engine.downloadDirectory = String(255, "a"), "downloadDirectory keeps 255 characters"
engine.downloadDirectory = String(1000, "b")
Check engine.downloadDirectory = String(255, "b"), "downloadDirectory is cut to 255 characters"
engine.appDirectory = "value of appDirectory"
Check engine.appDirectory = "value of appDirectory", "appDirectory round-trips"
engine.appDirectory = String(255, "a")
Check engine.appDirectory = String(255, "a"), "appDirectory keeps 255 characters"
engine.appDirectory = String(1000, "b")
Check engine.appDirectory = String(255, "b"), "appDirectory is cut to 255 characters"
engine.imagePath = "value of imagePath"
Check engine.imagePath = "value of imagePath", "imagePath round-trips"
engine.imagePath = String(255, "a")
Check engine.imagePath = String(255, "a"), "imagePath keeps 255 characters"
engine.imagePath = String(1000, "b")
Check engine.imagePath = String(255, "b"), "imagePath is cut to 255 characters"
engine.referer = "value of referer"
Check engine.referer = "value of referer", "referer round-trips"
engine.referer = String(255, "a")
Check engine.referer = String(255, "a"), "referer keeps 255 characters"
engine.referer = String(1000, "b")
Check engine.referer = String(255, "b"), "referer is cut to 255 characters"
Check Right(engine.halvorinDirectory, 1) = "\", "halvorinDirectory ends with a backslash"
Check engine.processID > 0, "processID is a process"

' Without appID the members that need the engine fail with E_FAIL.
On Error Resume Next
Err.Clear : engine.RefreshImage
Check Err.Number = E_FAIL, "RefreshImage fails without appID"
Err.Clear : value = engine.PatchNeeded(1, 2)
Check Err.Number = E_FAIL, "PatchNeeded fails without appID"
Err.Clear : engine.StartPatch 0, "app.exe", "", "", "", 1, 2
Check Err.Number = E_FAIL, "StartPatch fails without appID"
Err.Clear : value = engine.DownloadModule("Tools", 0)
Check Err.Number = E_FAIL, "DownloadModule fails without appID"
Err.Clear : engine.WriteErrorReport "C:\report.txt"
Check Err.Number = E_FAIL, "WriteErrorReport fails without appID"
Err.Clear : engine.logFile = "C:\engine.log"
Check Err.Number = E_FAIL, "logFile fails without appID"

' Members the type description does not offer are refused.
Err.Clear : value = engine.logFile
Check Err.Number <> 0, "a get of logFile is refused"
Err.Clear : engine.processID = 12
Check Err.Number <> 0, "a put of processID is refused"
Err.Clear : engine.halvorinDirectory = "C:\"
Check Err.Number <> 0, "a put of halvorinDirectory is refused"
Err.Clear : engine.NoSuchMember
Check Err.Number <> 0, "an unknown member is refused"

' With appID set, the log and report members work; both objects of one appID share them.
Err.Clear
engine.appID = "script-client"
engine.logFile = WScript.Arguments(0) & "\script.log"
Check Err.Number = 0, "logFile is accepted with appID"
engine.WriteErrorReport WScript.Arguments(0) & "\report.txt"
Check Err.Number = 0, "WriteErrorReport succeeds with appID"
Set other = CreateObject("Halvorin.Halvorin")
other.appID = "script-client"
Check other.processID = engine.processID, "one server serves both objects"
other.WriteErrorReport WScript.Arguments(0) & "\report2.txt"
Check Err.Number = 0, "the second object writes the shared report"
Dim fso : Set fso = CreateObject("Scripting.FileSystemObject")
Check fso.FileExists(WScript.Arguments(0) & "\report2.txt"), "the report file exists"
Check Not fso.FileExists(WScript.Arguments(0) & "\script.log"), "setting logFile writes nothing yet"

' The out-texts: a script hands its variable over by reference and finds the text in it.
' Arguments 1 and 2: the test site's address and its root directory.
Dim image : Set image = fso.CreateTextFile(WScript.Arguments(2) & "\modules.img", True)
image.Write "[VERSION 7]" & vbCrLf & "[Modules]" & vbCrLf & "MODULE Tools Handy tools" & vbCrLf & _
    "FILE tools\t.exe tools/t.exe 1000 800 1/2/2001 1:05:00 none" & vbCrLf & "MODULE Extras" & vbCrLf & _
    "FILE extras\e.dat e.dat 10 10 1/2/2001 1:05:00 none" & vbCrLf
image.Close
Dim lister, list, answer
Set lister = CreateObject("Halvorin.Halvorin")
Err.Clear : lister.GetModuleList list
Check Err.Number = E_FAIL, "GetModuleList with a variable fails only for want of appID"
Err.Clear : answer = lister.NewHalvorinNeeded(list)
Check Err.Number = E_FAIL, "NewHalvorinNeeded with a variable fails only for want of appID"
lister.url = WScript.Arguments(1)
lister.imagePath = "/modules.img"
lister.appID = "script-modules"
Err.Clear : lister.GetModuleList list
Check Err.Number = 0, "GetModuleList takes a script variable"
Check list = "Extras||Tools|Handy tools|", "the module list arrives in the variable"
list = "something"
Err.Clear : answer = lister.NewHalvorinNeeded(list)
Check Err.Number = 0 And answer = 0, "NewHalvorinNeeded takes a script variable: no engine files, nothing to do"
Check list = "", "the empty list of downloads arrives in the variable"
Set lister = Nothing
On Error GoTo 0

Set other = Nothing
Set engine = Nothing
' The runner looks for this line: a script that does not parse ends silently with 0.
WScript.Echo "script client finished: " & failures & " failed"
WScript.Quit failures
