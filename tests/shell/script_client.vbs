' A VBScript front end: creates Vandrel.Shell by its ProgID and drives it by name.
' Argument: the path of a scratch disk image to create. Wine's script host reports script
' errors neither on the console nor in the exit code, so the last line is a marker and the
' exit code counts the failed checks.
Option Explicit
Dim failures, shell, image, path
failures = 0

Sub Check(ok, what)
    If Not ok Then
        failures = failures + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

Sub Equal(got, want, what)
    If IsNull(got) Then
        Check False, what & ": got Null, want " & want
    Else
        Check got = want, what & ": got " & got & " (" & TypeName(got) & "), want " & want
    End If
End Sub

On Error Resume Next
image = WScript.Arguments(0)
Set shell = CreateObject("Vandrel.Shell")
If Err.Number <> 0 Then
    failures = failures + 1
    WScript.Echo "FAIL: CreateObject: " & Hex(Err.Number) & " " & Err.Description
    Err.Clear
Else
    path = shell.diskPath(3)
    Check Not IsNull(path), "diskPath(3) is not Null"
    Equal TypeName(path), "String", "TypeName of diskPath(3)"
    Equal path, "", "diskPath(3) of an empty drive"
    Equal CInt(shell.isStopped), -1, "isStopped before any start"
    Equal shell.serialPort, 0, "serialPort before any open"
    Equal shell.diskSectorCount(3), 0, "diskSectorCount of an empty drive"

    shell.createImage image, 720, 128
    shell.mountDisk image, 4, False
    Equal shell.diskPath(4), image, "diskPath after mountDisk"
    Equal shell.diskSectorCount(4), 720, "diskSectorCount"
    Equal shell.diskSectorSize(4), 128, "diskSectorSize"
    Equal CInt(shell.diskReadOnly(4)), 0, "diskReadOnly after a read-write mount"
    shell.swapDisks 4, 6
    Equal shell.diskPath(4), "", "diskPath(4) after swapDisks"
    Equal shell.diskPath(6), image, "diskPath(6) after swapDisks"
    shell.unMountDisk 6
    Equal shell.diskPath(6), "", "diskPath(6) after unMountDisk"
    shell.stop
    Equal CInt(shell.isStopped), -1, "isStopped after stop"
    If Err.Number <> 0 Then
        failures = failures + 1
        WScript.Echo "FAIL: error " & Hex(Err.Number) & " " & Err.Description
        Err.Clear
    End If
    Set shell = Nothing
End If
WScript.Echo "script_client.vbs done: " & failures & " failures"
WScript.Quit failures
