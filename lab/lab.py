#!/usr/bin/env python3
"""The real-driver lab: libquenta, quenta and the serial checks in a small
QEMU guest (Debian's kernel, software emulation) on a 16550 UART (ttyS1) and
an FTDI USB-serial adapter (ttyUSB0), each wired to a quenta-sim on the host.

The host owns both pseudo-terminals (quenta-sim) and QEMU opens their slaves
as serial devices, so the simulator sees the line settings the guest's
driver programs. The adapter is pulled and put back through QEMU's monitor
(QMP on a Unix socket) when the simulator sees a chosen command line.

    lab/lab.py --build BUILD_DIR --cache CACHE_DIR [--steps REGEX]

Exit status 0 when every check held, 1 when one failed, 2 when the lab could
not run (the reason on standard error).
"""

import argparse
import json
import lzma
import os
import queue
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NAME = "QUENTA-BRAVO"
UART = "/dev/ttyS1"
ADAPTER = "/dev/ttyUSB0"
# Every QEMU run ends by this time, whatever the guest does.
GUEST_LIMIT_S = 170
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
SIM_OPTIONS = ["--scan-ms", "800"]
FAIL_WITHIN_MS = 500
# The emulated lines keep their timing on a machine busy with builds only
# when QEMU and the simulators are scheduled ahead of them.
PRIORITY = -5
# Waits up to 10 s for a device node (a replugged adapter takes about 0.5 s).
WAITDEV = """#!/bin/sh
i=0
while [ ! -c "$1" ] && [ $i -lt 200 ]; do usleep 50000; i=$((i + 1)); done
[ -c "$1" ]
"""


class LabError(Exception):
    """The lab cannot run here; the message says why."""


# ---------------------------------------------------------------- guest image


class CpioWriter:
    """An initramfs in the kernel's "newc" cpio format."""

    def __init__(self, path):
        self.out = open(path, "wb")
        self.ino = 1

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_bytes = name.encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
                  len(name_bytes), 0]
        self.ino += 1
        header = b"070701" + b"".join(b"%08x" % f for f in fields)
        self.out.write(header + name_bytes)
        self.out.write(b"\0" * (-(len(header) + len(name_bytes)) % 4))
        self.out.write(data)
        self.out.write(b"\0" * (-len(data) % 4))

    def directory(self, name):
        self._entry(name, stat.S_IFDIR | 0o755)

    def file(self, name, source, mode=0o755):
        with open(source, "rb") as f:
            self._entry(name, stat.S_IFREG | mode, f.read())

    def text(self, name, text, mode=0o755):
        self._entry(name, stat.S_IFREG | mode, text.encode())

    def symlink(self, name, target):
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def chardev(self, name, major, minor):
        self._entry(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.out.close()


def shared_libraries(binaries):
    """The host's shared libraries that the binaries load, by path."""
    found = set()
    for binary in binaries:
        out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
        for line in out.splitlines():
            match = re.search(r"(/\S+) \(0x", line)
            if match and "libquenta" not in match.group(1):
                found.add(match.group(1))
    return sorted(found)


def stripped(source, scratch):
    target = os.path.join(scratch, os.path.basename(source))
    subprocess.run(["strip", "--strip-unneeded", "-o", target, source], check=True)
    return target


def build_image(build, kernel_root, target):
    """The base initramfs: busybox, the USB serial modules, the tools, the
    test programs and the host libraries they need."""
    programs = {
        "quenta": os.path.join(build, "tools", "quenta"),
        "quenta_c_client": os.path.join(build, "tests", "c_api", "quenta_c_client"),
        "serial_device_test": os.path.join(build, "tests", "serial_device_test"),
    }
    library = os.path.realpath(os.path.join(build, "libquenta.so"))
    for path in list(programs.values()) + [library]:
        if not os.path.exists(path):
            raise LabError("missing %s (build it first)" % path)
    modules_root = os.path.join(kernel_root, "lib", "modules")
    release = os.listdir(modules_root)[0]
    module_paths = {}
    for dirpath, _, files in os.walk(os.path.join(modules_root, release)):
        for f in files:
            if f.endswith(".ko") and f[:-3] in MODULES:
                module_paths[f[:-3]] = os.path.join(dirpath, f)
    if len(module_paths) != len(MODULES):
        raise LabError("kernel modules missing: %s" % sorted(set(MODULES) - set(module_paths)))

    with tempfile.TemporaryDirectory() as scratch:
        cpio = CpioWriter(target)
        for d in ["bin", "dev", "proc", "sys", "tmp", "lib", "lib/modules", "lib64", "lab",
                  "lab/bin", "lab/lib"]:
            cpio.directory(d)
        cpio.chardev("dev/console", 5, 1)
        cpio.file("bin/busybox", "/bin/busybox")
        cpio.symlink("bin/sh", "busybox")
        cpio.file("init", os.path.join(HERE, "guest-init"))
        cpio.text("lab/bin/waitdev", WAITDEV)
        for name, path in module_paths.items():
            cpio.file("lib/modules/%s.ko" % name, path, 0o644)
        for name, path in programs.items():
            cpio.file("lab/bin/" + name, stripped(path, scratch))
        cpio.file("lab/lib/libquenta.so.1", stripped(library, scratch))
        cpio.symlink("lab/lib/libquenta.so", "libquenta.so.1")
        for lib in shared_libraries(list(programs.values()) + [library]):
            if os.path.basename(lib).startswith("ld-linux"):
                cpio.file("lib64/" + os.path.basename(lib), lib)
            else:
                cpio.file("lab/lib/" + os.path.basename(lib), lib, 0o644)
        cpio.close()


def kernel_image(kernel_root):
    """The kernel to boot: the uncompressed ELF image, which QEMU starts
    directly (PVH) in half the time of the compressed one, unpacked once
    next to it; the compressed one where that cannot be done."""
    boot = os.path.join(kernel_root, "boot")
    if not os.path.isdir(boot):
        raise LabError("no kernel unpacked in %s (lab/install does that)" % kernel_root)
    images = [f for f in sorted(os.listdir(boot)) if f.startswith("vmlinuz-")]
    if not images:
        raise LabError("no vmlinuz in %s" % boot)
    compressed = os.path.join(boot, images[0])
    elf = os.path.join(os.path.dirname(kernel_root), "vmlinux")
    if not os.path.exists(elf):
        with open(compressed, "rb") as f:
            data = f.read()
        start = data.find(b"\xfd7zXZ\x00")
        if start < 0:
            return compressed
        try:
            image = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:])
        except lzma.LZMAError:
            return compressed
        if not image.startswith(b"\x7fELF"):
            return compressed
        with open(elf + ".part", "wb") as f:
            f.write(image)
        os.rename(elf + ".part", elf)
    return elf


# ---------------------------------------------------------------- host side


def raise_priority():
    try:
        os.nice(PRIORITY)
    except OSError:
        pass  # not allowed here: run at the normal priority


class Sim:
    """A quenta-sim whose pseudo-terminal QEMU opens as a serial device."""

    def __init__(self, exe, workdir, name):
        self.name = name
        self.transcript = os.path.join(workdir, name + ".jsonl")
        self.control = os.path.join(workdir, name + ".ctl")
        self.proc = subprocess.Popen(
            [exe, "--transcript", self.transcript, "--control", self.control] + SIM_OPTIONS,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, errors="replace", preexec_fn=raise_priority)
        self.path = self.proc.stdout.readline().strip()
        if not self.path.startswith("/dev/"):
            raise LabError("quenta-sim did not start: %r" % self.path)
        self.lock = threading.Lock()
        self.watch = None  # (regex, callback, transcript offset), fired once
        self.stopping = False
        threading.Thread(target=self._drain, daemon=True).start()
        self._wait_for_control()
        threading.Thread(target=self._tail, daemon=True).start()

    def _wait_for_control(self):
        deadline = time.monotonic() + 5
        while not (os.path.exists(self.control) and os.path.exists(self.transcript)):
            if time.monotonic() > deadline:
                raise LabError("quenta-sim made no control socket or transcript")
            time.sleep(0.01)

    def _drain(self):
        for _ in self.proc.stdout:
            pass

    def _tail(self):
        """Fires the watch on the bytes of the transcript's events, which
        the simulator flushes at once (its standard output is buffered)."""
        with open(self.transcript) as f:
            pending = ""
            while not self.stopping:
                chunk = f.read()
                if not chunk:
                    time.sleep(0.002)
                    continue
                pending += chunk
                *rows, pending = pending.split("\n")
                for row in rows:
                    self._match(json.loads(row)["bytes"])

    def _match(self, data):
        with self.lock:
            watch = self.watch
            if watch and watch[0].search(data):
                self.watch = None
            else:
                watch = None
        if watch:
            watch[1]()

    def on(self, pattern, callback):
        with self.lock:
            self.watch = (re.compile(pattern), callback) if pattern else None

    def statement(self, text):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.control)
            s.sendall(text.encode() + b"\n")
            answer = s.makefile().readline().strip()
        if not answer.startswith("ok"):
            raise LabError("quenta-sim refused %r: %s" % (text, answer))

    def received(self):
        """The command lines the module received, in order."""
        lines = []
        with open(self.transcript) as f:
            for row in f:
                event = json.loads(row)
                if event["kind"] == "received":
                    lines.append(event["bytes"])
        return lines

    def host_lines(self):
        """The line settings the simulator saw the host take, in order."""
        seen = []
        with open(self.transcript) as f:
            for row in f:
                event = json.loads(row)
                if event["kind"] == "note" and event.get("note", "").startswith("host line"):
                    seen.append(event["note"][len("host line "):])
        return seen

    def mark(self):
        """Where the transcript ends now, to look at one step's part."""
        return os.path.getsize(self.transcript)

    def stop(self):
        self.stopping = True
        if self.proc.poll() is None:
            os.kill(self.proc.pid, 15)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, 9)
                self.proc.wait()


class Qmp:
    """QEMU's monitor: commands and the time each event arrived."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise LabError("QEMU's monitor socket did not come up")
                time.sleep(0.02)
        self.file = self.sock.makefile("rw")
        self.replies = queue.Queue()
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.replies.get(timeout=10)  # the greeting
        self.command("qmp_capabilities")

    def _read(self):
        for line in self.file:
            message = json.loads(line)
            if "event" in message:
                self.events.put((time.monotonic(), message))
            else:
                self.replies.put(message)

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.file.flush()
        reply = self.replies.get(timeout=10)
        if "error" in reply:
            raise LabError("QMP %s: %s" % (name, reply["error"]))

    def wait_event(self, name, device, timeout=5):
        deadline = time.monotonic() + timeout
        while True:
            at, message = self.events.get(timeout=max(0.01, deadline - time.monotonic()))
            if message["event"] == name and message.get("data", {}).get("device") == device:
                return at


class Step:
    def __init__(self, name, command, rc=0, expect=(), refuse=(), unplug_on=None, before=(),
                 after=(), module_data=None):
        self.name = name
        self.command = command  # guest shell text
        self.rc = rc
        self.expect = expect  # regexes the output must match
        self.refuse = refuse  # regexes the output must not match
        self.unplug_on = unplug_on  # regex on the adapter's simulator output
        self.before = before  # (sim, statement) sent when the step begins
        self.after = after  # (sim, statement) sent when it ends
        self.module_data = module_data  # (sim, text) its module must get in data mode
        self.output = []
        self.guest_ms = None
        self.ended_at = None
        self.unplugged_at = None
        self.program_ended_at = None
        self.deleted_at = None
        self.result = None
        self.mark = {}
        self.mark_end = {}


class Guest:
    """One QEMU run of the job; steps' host actions run as their markers pass."""

    def __init__(self, kernel, initrd, workdir, sims, steps):
        self.sims = sims
        self.steps = {s.name: s for s in steps}
        self.current = None
        self.plugged = True
        self.console = []
        self.qmp_path = os.path.join(workdir, "qmp.sock")
        command = [
            "qemu-system-x86_64", "-machine", "pc,accel=tcg", "-m", "128", "-smp", "1",
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", kernel, "-initrd", initrd,
            "-append", "console=ttyS0,115200 quiet loglevel=1 panic=-1",
            "-chardev", "stdio,id=con,signal=off", "-device", "isa-serial,chardev=con,index=0",
            "-chardev", "serial,id=u2,path=" + sims["uart"].path,
            "-device", "isa-serial,chardev=u2,index=1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "serial,id=u3,path=" + sims["ftdi"].path,
            "-device", "usb-serial,chardev=u3,id=ftdi,bus=xhci.0",
            "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
        ]
        self.started = time.monotonic()
        self.booted_after = None
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, errors="replace",
                                     preexec_fn=raise_priority)
        self.killer = threading.Timer(GUEST_LIMIT_S, self.kill)
        self.killer.daemon = True
        self.killer.start()
        try:
            self.qmp = Qmp(self.qmp_path, time.monotonic() + 20)
        except Exception:
            self.kill()
            raise

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, 9)

    def run(self):
        for line in self.proc.stdout:
            line = line.rstrip("\r\n")
            self.console.append(line)
            if line == "@@ booted":
                self.booted_after = time.monotonic() - self.started
            if line.startswith("@@ begin "):
                self._begin(self.steps[line[9:]])
            elif line.startswith("@@ end "):
                self._end(line)
            elif line.startswith("@@ ended") and self.current is not None:
                self.current.program_ended_at = time.monotonic()
            elif self.current is not None:
                self.current.output.append(line)
        self.proc.wait()
        self.killer.cancel()
        return time.monotonic() - self.started

    def _begin(self, step):
        self.current = step
        step.mark = {name: sim.mark() for name, sim in self.sims.items()}
        for sim, text in step.before:
            self.sims[sim].statement(text)
        if step.unplug_on:
            self.sims["ftdi"].on(step.unplug_on, lambda: self._unplug(step))

    def _unplug(self, step):
        step.unplugged_at = time.monotonic()
        self.qmp.command("device_del", id="ftdi")
        self.plugged = False
        try:
            step.deleted_at = self.qmp.wait_event("DEVICE_DELETED", "ftdi")
        except queue.Empty:
            pass  # reported with the step

    def _end(self, line):
        step = self.current
        match = re.match(r"@@ end (\S+) rc=(\d+) ms=(-?\d+)", line)
        step.ended_at = time.monotonic()
        step.mark_end = {name: sim.mark() for name, sim in self.sims.items()}
        step.result = int(match.group(2))
        step.guest_ms = int(match.group(3))
        self.current = None
        if step.unplug_on:
            self.sims["ftdi"].on(None, None)
            # The monitor's event may still be on its way when the step ends.
            deadline = time.monotonic() + 5
            while step.unplugged_at is not None and not step.deleted_at and \
                    time.monotonic() < deadline:
                time.sleep(0.01)
            if not self.plugged:
                self.qmp.command("device_add", driver="usb-serial", chardev="u3", id="ftdi",
                                 bus="xhci.0")
                self.plugged = True
        for sim, text in step.after:
            self.sims[sim].statement(text)


# ---------------------------------------------------------------- the job


def quenta(port, *words):
    return "quenta --port %s %s" % (port, " ".join(words))


def c_client(port, scenario, *words):
    return "env QUENTA_PORT_COM8=%s quenta_c_client /lab/lib/libquenta.so.1 %s %s" % (
        port, scenario, " ".join(words))


def device_test(port, line_921600, cts_low, unplug):
    return ("env QUENTA_TEST_SERIAL_DEVICE=%s QUENTA_TEST_SERIAL_921600=%d "
            "QUENTA_TEST_SERIAL_CTS_LOW=%d QUENTA_TEST_SERIAL_UNPLUG=%d serial_device_test "
            "--gtest_brief=1" % (port, line_921600, cts_low, unplug))


def main_job(tag, port):
    """Search, pair and read-back through the tool; the hand-over follows
    after the probe, which needs the module in command mode."""
    return [
        Step(tag + "-search", quenta(port, "search"), expect=[NAME]),
        Step(tag + "-pair", quenta(port, "pair", NAME), expect=["paired with " + NAME]),
        Step(tag + "-paired", quenta(port, "paired"), expect=["^" + NAME + "$"]),
    ]


def hand_over(tag, port):
    return Step(tag + "-data-mode", quenta(port, "data-mode"), expect=["in data mode"])


def uart_hand_over():
    """The UART cannot run the rate the module restarts with: the hand-over
    is refused, forced it strands the module, and the next run says why."""
    return [
        Step("uart-data-mode", quenta(UART, "data-mode"), rc=2,
             expect=["not handing over", "cannot run", "--force"]),
        Step("uart-still-reached", quenta(UART, "paired"), expect=["^" + NAME + "$"]),
        Step("uart-data-mode-force", quenta(UART, "--force", "data-mode"),
             expect=["in data mode"]),
        Step("uart-stranded", quenta(UART, "paired"), rc=4,
             expect=["probably runs at 921600 bit/s", "USB-serial"]),
    ]


MAIN_JOB_COMMANDS = [["search"], ["pair", NAME], ["paired"], ["data-mode"]]
# The steps that match those commands, by line.
MAIN_JOB_STEPS = {
    "uart": ["uart-search", "uart-pair", "uart-paired", "uart-data-mode-force"],
    "ftdi": ["ftdi-search", "ftdi-pair", "ftdi-paired", "ftdi-data-mode"],
}


def reset_module(tag, number):
    """A module stranded at 921600 bit/s on a line that cannot run it is put
    back to 115200, as a power cycle of a module never configured would."""
    return Step("%s-reset-%d" % (tag, number), "sleep 1", before=[
        (tag, "set baud 115200"), (tag, "set rtscts off"), (tag, "mode data")])


def handle_steps():
    """The application's handle: 921600 bit/s with RTS/CTS or nothing."""
    return [
        Step("uart-c-handle", c_client(UART, "handle"), expect=["handle valid=0"]),
        Step("ftdi-c-handle", c_client(ADAPTER, "handle"),
             expect=["handle valid=1", "handle written=12 closed=1"],
             module_data=("ftdi", "hello from C")),
    ]


def c_job(tag, port):
    """The same through the C functions: pair, read-back, hand-over."""
    return Step(tag + "-c-paired", c_client(port, "paired", NAME),
                expect=["pair ok=1", "paired-full ok=1 size=13 text=" + NAME + "<0>",
                        "data-mode ok=1"])


def unplug_step(name, command, trigger, before=(), after=()):
    # The program's end is told on the console at once, not with the output.
    command = "%s; rc=$?; echo '@@ ended' >/dev/console; exit $rc" % command
    return Step(name, command, rc=4, expect=["went away"], refuse=["^paired with", "^" + NAME],
                unplug_on=trigger, before=before, after=after)


def replugged(name, settle_s=0):
    """The adapter back, then the next run. settle_s lets a module finish
    what it was doing: its late answers, reaching a port that is already
    open again, would meet the next run's first command."""
    return [Step(name + "-back", "sleep %d; waitdev %s" % (settle_s, ADAPTER)),
            Step(name + "-next", quenta(ADAPTER, "paired"), expect=["^" + NAME + "$"])]


def job_steps():
    steps = main_job("uart", UART) + main_job("ftdi", ADAPTER)
    steps += [
        Step("ports", "quenta ports",
             expect=[r"^/dev/ttyS1$", r"^/dev/ttyUSB0$", r"USB id: 0403:6001",
                     r"driver: ftdi_sio"]),
        Step("probe", "quenta ports --probe",
             expect=[r"(?s)/dev/ttyS1\n(  [^\n]*\n)*  probe: answers at",
                     r"(?s)/dev/ttyUSB0\n(  [^\n]*\n)*  probe: answers at"],
             refuse=[r"(?s)/dev/ttyS0\n(  [^\n]*\n)*  probe: answers at"]),
    ] + uart_hand_over() + [
        reset_module("uart", 1), c_job("uart", UART),
        reset_module("uart", 2), hand_over("ftdi", ADAPTER), c_job("ftdi", ADAPTER),
    ] + handle_steps() + [
        Step("uart-serial", device_test(UART, 0, 1, 0), expect=["PASSED"]),
        Step("ftdi-serial", device_test(ADAPTER, 1, 0, 1), expect=["PASSED"],
             unplug_on="unplug-me"),
    ] + replugged("ftdi-serial")
    pulls = [
        ("pull-inquiry", quenta(ADAPTER, "search"), r"^AT\*AGI", (), ()),
        ("pull-name", quenta(ADAPTER, "search"), r"^AT\*AGND",
         [("ftdi", "set name-ms 800")], [("ftdi", "set name-ms 50")]),
        ("pull-read-back", quenta(ADAPTER, "paired"), r"^AT\*ADRDRP",
         [("ftdi", "fault ADRDRP=delay:800*1")], [("ftdi", "clear ADRDRP")]),
        ("pull-hand-over", quenta(ADAPTER, "data-mode"), r"^AT\*AMWS",
         [("ftdi", "fault AMWS=delay:800*1")], [("ftdi", "clear AMWS")]),
        ("pull-open", "(i=0; while [ $i -lt 100 ]; do echo stream-$i; i=$((i+1)); "
         "usleep 100000; done) | { %s; }" % quenta(ADAPTER, "open"), r"stream-5", (), ()),
    ]
    for name, command, trigger, before, after in pulls:
        steps.append(unplug_step(name, command, trigger, before, after))
        # The module answers 0.8 s after the command (the scan time, or a
        # delay): that answer must be out before the port opens again.
        steps += replugged(name, 0 if name == "pull-open" else 1)
    return steps


def job_text(steps):
    lines = ["waitdev %s || echo '@@ note no %s'" % (ADAPTER, ADAPTER)]
    lines += ["step %s sh -c %s" % (s.name, shell_quote(s.command)) for s in steps]
    return "\n".join(lines) + "\n"


def shell_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


# ---------------------------------------------------------------- checks


def ended_at(step):
    return step.program_ended_at or step.ended_at


def module_data(sims, step):
    """What the step's module got as data (in data mode)."""
    sim = sims[step.module_data[0]]
    offset = step.mark[sim.name]
    with open(sim.transcript) as f:
        f.seek(offset)
        data = f.read(step.mark_end[sim.name] - offset)
    return "".join(e["bytes"] for e in map(json.loads, filter(None, data.splitlines()))
                   if e["kind"] == "data")


def check_steps(steps, sims):
    failures = []
    for step in steps:
        problems = []
        text = "\n".join(step.output)
        if step.result is None:
            problems.append("did not end")
        elif step.result != step.rc:
            problems.append("exit %d, wanted %d" % (step.result, step.rc))
        for pattern in step.expect:
            if not re.search(pattern, text, re.M):
                problems.append("no %r in the output" % pattern)
        for pattern in step.refuse:
            if re.search(pattern, text, re.M):
                problems.append("%r in the output" % pattern)
        if step.module_data and step.mark_end and \
                step.module_data[1] not in module_data(sims, step):
            problems.append("the module did not get %r" % step.module_data[1])
        if step.unplug_on and step.result is not None:
            if step.unplugged_at is None:
                problems.append("the adapter was never pulled (trigger not seen)")
            elif step.deleted_at is None:
                problems.append("QEMU never reported the adapter gone")
            else:
                ms = (ended_at(step) - step.unplugged_at) * 1000
                if ms > FAIL_WITHIN_MS:
                    problems.append("ended %.0f ms after the unplug" % ms)
        status = "ok" if not problems else "FAILED: " + "; ".join(problems)
        figure = ""
        if step.unplugged_at is not None and step.deleted_at:
            # QEMU reports the device deleted only after the guest let go of it.
            figure = " (ended %.0f ms after device_del, QEMU's report came at %.0f ms)" % (
                (ended_at(step) - step.unplugged_at) * 1000,
                (step.deleted_at - step.unplugged_at) * 1000)
        print("lab: %-22s rc=%-4s guest %6s ms  %s%s" % (
            step.name, step.result, step.guest_ms, status, figure))
        if problems:
            failures.append(step.name)
            for line in step.output[-15:]:
                print("lab:     | " + line)
    return failures


def received_in(sim, step):
    """The module's received lines while the step ran."""
    offset = step.mark[sim.name]
    with open(sim.transcript) as f:
        f.seek(offset)
        data = f.read(step.mark_end[sim.name] - offset)
    return [e["bytes"] for e in map(json.loads, filter(None, data.splitlines()))
            if e["kind"] == "received"]


def pty_reference(sim_exe, quenta_exe, workdir):
    """The main job on a plain pseudo-terminal: what the module receives."""
    sim = Sim(sim_exe, workdir, "pty")
    try:
        for words in MAIN_JOB_COMMANDS:
            subprocess.run([quenta_exe, "--port", sim.path] + words, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        return sim.received(), sim.host_lines()
    finally:
        sim.stop()


def compare_transcripts(steps, sims, reference):
    failures = []
    by_name = {s.name: s for s in steps}
    for tag in ("uart", "ftdi"):
        seen = []
        for name in MAIN_JOB_STEPS[tag]:
            step = by_name[name]
            if step.mark_end:
                seen += received_in(sims[tag], step)
        same = seen == reference[0]
        print("lab: %s main job: %d command lines received, %s the pseudo-terminal run's %d" % (
            tag, len(seen), "identical to" if same else "DIFFERENT from", len(reference[0])))
        if not same:
            failures.append(tag + "-transcript")
            for i, (a, b) in enumerate(zip(seen + [None], reference[0] + [None])):
                if a != b:
                    print("lab:     first difference at line %d: %r vs %r" % (i, a, b))
                    break
    return failures


def report_lines(sims, reference):
    print("lab: line settings the UART's simulator saw: %s" % ", ".join(
        dict.fromkeys(sims["uart"].host_lines())))
    print("lab: line settings the adapter's simulator saw: %s" % ", ".join(
        dict.fromkeys(sims["ftdi"].host_lines())))
    print("lab: line settings on a pseudo-terminal: %s" % ", ".join(dict.fromkeys(reference[1])))
    if any(line.startswith("921600") for line in sims["uart"].host_lines()):
        print("lab: FAILED: the UART ran at 921600 bit/s")
        return ["uart-921600"]
    return []


# ---------------------------------------------------------------- main


def forget_old_runs(cache, keep=3):
    """Each run leaves its folder for a look afterwards; only the last few stay."""
    runs = sorted((os.path.getmtime(os.path.join(cache, d)), d) for d in os.listdir(cache)
                  if d.startswith("run-"))
    for _, name in runs[:-keep]:
        shutil.rmtree(os.path.join(cache, name), ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--cache", required=True)
    parser.add_argument("--steps", metavar="REGEX",
                        help="run only the steps whose names match (no transcript comparison)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    cache = os.path.abspath(args.cache)
    try:
        for tool in ("qemu-system-x86_64", "strip", "ldd"):
            if shutil.which(tool) is None:
                raise LabError("%s is not installed" % tool)
        kernel_root = os.path.join(cache, "kernel", "root")
        kernel = kernel_image(kernel_root)
        os.makedirs(cache, exist_ok=True)
        forget_old_runs(cache)
        workdir = tempfile.mkdtemp(prefix="run-", dir=cache)
        started = time.monotonic()
        base = os.path.join(cache, "base.cpio")
        build_image(build, kernel_root, base)
        steps = job_steps()
        if args.steps:
            steps = [s for s in steps if re.search(args.steps, s.name)]
        job = os.path.join(workdir, "job.cpio")
        cpio = CpioWriter(job)
        cpio.text("lab/job", job_text(steps), 0o644)
        cpio.close()
        initrd = os.path.join(workdir, "initrd.cpio")
        with open(initrd, "wb") as out:
            for part in (base, job):
                with open(part, "rb") as f:
                    shutil.copyfileobj(f, out)
        print("lab: guest image %.1f MiB, built in %.1f s" % (
            os.path.getsize(initrd) / 2**20, time.monotonic() - started))
        sim_exe = os.path.join(build, "tools", "quenta-sim")
        reference = ([], [])
        if not args.steps:
            reference = pty_reference(sim_exe, os.path.join(build, "tools", "quenta"), workdir)
        sims = {}
        try:
            sims["uart"] = Sim(sim_exe, workdir, "uart")
            sims["ftdi"] = Sim(sim_exe, workdir, "ftdi")
            guest = Guest(kernel, initrd, workdir, sims, steps)
            seconds = guest.run()
        finally:
            for sim in sims.values():
                sim.stop()
    except LabError as error:
        print("lab: cannot run: %s" % error, file=sys.stderr)
        return 2
    with open(os.path.join(workdir, "console.log"), "w") as f:
        f.write("\n".join(guest.console) + "\n")
    print("lab: guest ran %.1f s, booted in %s s (console in %s)" % (
        seconds, "%.1f" % guest.booted_after if guest.booted_after else "?", workdir))
    if "@@ done" not in guest.console:
        print("lab: FAILED: the guest did not finish its job; last console lines:")
        for line in guest.console[-20:]:
            print("lab:     | " + line)
    failures = check_steps(steps, sims)
    if not args.steps:
        failures += compare_transcripts(steps, sims, reference)
    failures += report_lines(sims, reference)
    if "@@ done" not in guest.console:
        failures.append("guest")
    print("lab: %s" % ("all checks held" if not failures else
                       "FAILED: " + ", ".join(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
