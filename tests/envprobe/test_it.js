// A JScript client of envprobe.Test: creates the class several times and checks TestIt's
// answer on each call. Wine's script host hides script errors and their exit code, so the
// last line is a marker and the exit code counts the failures; the test checks both.
var failures = 0;

function check(what, got) {
    if (typeof got !== "string" || got !== "Orvalle") {
        WScript.Echo("FAIL: " + what + " gave " + got);
        failures++;
    }
}

try {
    for (var round = 0; round < 3; round++) {
        var test = new ActiveXObject("envprobe.Test");
        for (var call = 0; call < 3; call++)
            check("object " + round + ", call " + call, test.TestIt());
        test = null;
    }
    var a = new ActiveXObject("envprobe.Test");
    var b = new ActiveXObject("envprobe.Test");
    check("first of two objects", a.TestIt());
    check("second of two objects", b.TestIt());
    // Released here, not left to the end of the script: Wine's script host exits without
    // releasing what global variables still hold, and the server would then never end.
    a = null;
    b = null;
} catch (e) {
    WScript.Echo("FAIL: " + e.name + " " + (e.number >>> 0).toString(16) + " " + e.message);
    failures++;
}

WScript.Echo("envprobe client done: " + failures + " failure(s)");
WScript.Quit(failures);
