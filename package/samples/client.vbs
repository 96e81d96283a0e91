' The shortest complete update loop of an application that keeps itself up to date with
' Halvorin, as a VBScript: ask, hand over and end, be started again, know the new version.
' The application's version is the number in version.txt beside the script.
'   cscript //nologo client.vbs SITE IMAGE_PATH
Option Explicit
Dim fso, folder, engine, version, latest, relaunch, result
Set fso = CreateObject("Scripting.FileSystemObject")
folder = fso.GetParentFolderName(WScript.ScriptFullName)
version = CLng(Trim(fso.OpenTextFile(folder & "\version.txt").ReadLine()))
relaunch = ""
If WScript.Arguments.Count > 2 Then relaunch = WScript.Arguments(2)

Sub Say(text)
    WScript.Echo text
    Dim file : Set file = fso.OpenTextFile(folder & "\result.txt", 8, True)  ' a relaunched script has no console
    file.WriteLine text
    file.Close
End Sub

Set engine = CreateObject("Halvorin.Halvorin")
engine.appID = "SampleVbs"                  ' first: the other members need it
engine.url = WScript.Arguments(0)
engine.imagePath = WScript.Arguments(1)
engine.appDirectory = folder
engine.downloadDirectory = folder & "\download"
engine.logFile = folder & "\update.log"
engine.silent = True                        ' no boxes: this script tells its user itself

On Error Resume Next
If relaunch = "/updated" Or relaunch = "/failed" Then
    latest = engine.latestVersion
    If relaunch = "/updated" Then
        Say "updated: version " & version & ", the site's newest is " & latest
    Else
        Say "update failed: still version " & version & ", the site's newest is " & latest
        engine.WriteErrorReport folder & "\report.txt"
    End If
Else
    latest = engine.latestVersion
    If Err.Number <> 0 Then
        Say "cannot learn the newest version: " & Err.Description
    ElseIf engine.PatchNeeded(version, latest) = 0 Then
        Say "up to date: version " & version
    Else
        ' A script has no process id of its own to give; 0 tells the engine not to wait, so
        ' the script ends right after handing over. The engine starts this command line
        ' again with /updated or /failed after it.
        engine.StartPatch 0, "cscript //nologo """ & WScript.ScriptFullName & """ " & WScript.Arguments(0) & " " & _
            WScript.Arguments(1), folder, "/updated", "/failed", version, latest
        If Err.Number <> 0 Then
            Say "the update could not start: " & Err.Description
        Else
            Say "handed over: version " & version & " to " & latest
        End If
    End If
End If
Set engine = Nothing
