// A JScript front end: creates Vandrel.Shell by its ProgID and drives it by name.
// Arguments: the path of a scratch disk image to create. Wine's script host reports script
// errors neither on the console nor in the exit code, so the last line is a marker and the
// exit code counts the failed checks.
var failures = 0;
function check(ok, what) {
    if (!ok) {
        failures++;
        WScript.Echo("FAIL: " + what);
    }
}
function equal(got, want, what) {
    check(got === want, what + ": got " + got + " (" + typeof got + "), want " + want);
}

try {
    var image = WScript.Arguments(0);
    var shell = new ActiveXObject("Vandrel.Shell");
    var path = shell.diskPath(3);
    check(path !== null, "diskPath(3) is not null");
    equal(typeof path, "string", "typeof diskPath(3)");
    equal(path, "", "diskPath(3) of an empty drive");
    equal(shell.isStopped, true, "isStopped before any start");
    equal(shell.serialPort, 0, "serialPort before any open");
    equal(shell.diskSectorCount(3), 0, "diskSectorCount of an empty drive");

    shell.createImage(image, 720, 128);
    shell.mountDisk(image, 3, true);
    equal(shell.diskPath(3), image, "diskPath after mountDisk");
    equal(shell.diskSectorCount(3), 720, "diskSectorCount");
    equal(shell.diskSectorSize(3), 128, "diskSectorSize");
    equal(shell.diskReadOnly(3), true, "diskReadOnly after a read-only mount");
    shell.swapDisks(3, 5);
    equal(shell.diskPath(3), "", "diskPath(3) after swapDisks");
    equal(shell.diskPath(5), image, "diskPath(5) after swapDisks");
    shell.unMountDisk(5);
    equal(shell.diskPath(5), "", "diskPath(5) after unMountDisk");
    shell.stop();
    equal(shell.isStopped, true, "isStopped after stop");
    shell = null;
    CollectGarbage();
} catch (e) {
    failures++;
    WScript.Echo("FAIL: exception " + (e.number >>> 0).toString(16) + " " + e.message);
}
WScript.Echo("script_client.js done: " + failures + " failures");
WScript.Quit(failures);
