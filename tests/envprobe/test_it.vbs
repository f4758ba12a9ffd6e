' A VBScript client of envprobe.Test: creates the class several times and checks TestIt's
' answer on each call. Wine's script host hides script errors and their exit code, so the
' last line is a marker and the exit code counts the failures; the test checks both.
Option Explicit
On Error Resume Next

Dim failures, round, calls, test, answer, other
failures = 0

Sub Check(what, got)
    If Err.Number <> 0 Then
        WScript.Echo "FAIL: " & what & " raised " & Hex(Err.Number) & " " & Err.Description
        failures = failures + 1
        Err.Clear
    ElseIf VarType(got) <> vbString Then
        WScript.Echo "FAIL: " & what & " gave a value of type " & VarType(got)
        failures = failures + 1
    ElseIf got <> "Orvalle" Then
        WScript.Echo "FAIL: " & what & " gave " & got
        failures = failures + 1
    End If
End Sub

For round = 0 To 2
    Set test = Nothing
    Set test = CreateObject("envprobe.Test")
    If Err.Number <> 0 Or test Is Nothing Then
        WScript.Echo "FAIL: CreateObject raised " & Hex(Err.Number) & " " & Err.Description
        failures = failures + 1
        Err.Clear
    Else
        For calls = 0 To 2
            answer = Empty
            answer = test.TestIt()
            Check "object " & round & ", call " & calls, answer
        Next
    End If
    Set test = Nothing
Next

Set test = CreateObject("envprobe.Test")
Set other = CreateObject("envprobe.Test")
answer = Empty
answer = test.TestIt
Check "first of two objects", answer
answer = Empty
answer = other.TestIt
Check "second of two objects", answer
Set test = Nothing
Set other = Nothing

WScript.Echo "envprobe client done: " & failures & " failure(s)"
WScript.Quit failures
