' A short automation client: creates the engine, sets its properties, reads them back,
' and asks for the optional modules of the demonstration site.
Option Explicit
Dim engine
Set engine = CreateObject("Halvorin.Halvorin")
engine.appID = "HalvorinDemo"
engine.url = WScript.Arguments(0)
engine.imagePath = "/demo.img"
engine.appDirectory = WScript.Arguments(1)
engine.downloadDirectory = WScript.Arguments(1) & "\Download"
engine.userName = ""
engine.userPassword = ""
engine.referer = "http://www.tolbeck.example/demo"
engine.logFile = WScript.Arguments(1) & "\halvorin.log"

WScript.Echo "Halvorin server process " & engine.processID & " in " & engine.halvorinDirectory
WScript.Echo "  appID             = " & engine.appID
WScript.Echo "  url               = " & engine.url
WScript.Echo "  imagePath         = " & engine.imagePath
WScript.Echo "  appDirectory      = " & engine.appDirectory
WScript.Echo "  downloadDirectory = " & engine.downloadDirectory
WScript.Echo "  referer           = " & engine.referer
Set engine = Nothing
