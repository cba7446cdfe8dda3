#!/usr/bin/env python3
"""What the desktop program costs at rest with its graph pane shown.

Run by hand on a build tree (docs/performance.md, "The window at rest"); it
needs no root. It starts harlune-passthru --simulate with its demonstration
flows on a socket of its own, an X server (Xvfb) of its own, and the
desktop program from a copy in a work folder, so that the settings live
beside it. The settings hold 128 filters on the machine's first interface:
four catch the simulator's flows, the others match nothing. The window is
measured with the graph pane hidden and shown, on the filter page, and
harlune-headless with the same settings is the reference measured in the
same run. CPU time comes from /proc/PID/task/*/schedstat and wakeups from
the context switches, as in stack_cost.py.

    bench/window_cost.py --build build/release
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from stack_cost import Process, measure, wait_for

FILTER_COUNT = 128
# The filters that catch the simulator's demonstration flows: direction,
# protocol and remote port, with a rate above the flow's so that the
# graphs show the flows' own rates.
FLOW_FILTERS = (("Receive", 6, 443), ("Send", 6, 80), ("Receive", 17, 5004),
                ("Receive", 6, 443))
FILTER_TEMPLATE = (
    "<PacketFilter><Name>{name}</Name><Comment/><AppName/>"
    "<LowerAdapterName>{adapter}</LowerAdapterName><ID>{id}</ID><Available>TRUE</Available>"
    "<Protocol>{protocol}</Protocol><LocalIPAddr>0.0.0.0</LocalIPAddr>"
    "<RemoteIPAddr>0.0.0.0</RemoteIPAddr><LocalIPAddrMask>0.0.0.0</LocalIPAddrMask>"
    "<RemoteIPAddrMask>0.0.0.0</RemoteIPAddrMask><LocalPort/><RemotePort>{port}</RemotePort>"
    "<TBFMode>{mode}</TBFMode><TBFMaxQueueSize>0</TBFMaxQueueSize>"
    "<TBFMaxTokenSize>0</TBFMaxTokenSize><TBFMPU>100</TBFMPU><TBFRate>{rate}</TBFRate>"
    "<TBFPeakRate>0</TBFPeakRate><TBFMTU>0</TBFMTU><TBFThrough>FALSE</TBFThrough>"
    "</PacketFilter>")


def first_interface():
    """The first interface besides loopback that is up and has IPv4."""
    for _, name in socket.if_nameindex():
        if name == "lo":
            continue
        output = subprocess.run(["ip", "-4", "-o", "addr", "show", "dev", name],
                                text=True, stdout=subprocess.PIPE, check=False).stdout
        if "inet " in output:
            return name
    sys.exit("this machine has no interface with IPv4 besides loopback")


def filter_file(adapter):
    rows = []
    for index in range(FILTER_COUNT):
        if index < len(FLOW_FILTERS):
            mode, protocol, port = FLOW_FILTERS[index]
        else:
            mode, protocol, port = ("Send", 6, 6000 + index)
        rows.append(FILTER_TEMPLATE.format(name="f%d" % index, adapter=adapter, id=index,
                                           protocol=protocol, port=port, mode=mode,
                                           rate=4 * 1048576))
    return "<?xml version='1.0' encoding='Shift_JIS'?>\r\n<Root>" + "".join(rows) + \
        "</Root>\r\n"


class Run:
    """The simulator, the X server and the work folder of one measurement."""

    def __init__(self, build, folder):
        self.build = build
        self.folder = folder
        self.runtime = os.path.join(folder, "run")
        os.makedirs(self.runtime, mode=0o700)
        self.socket = os.path.join(self.runtime, "harlune", "PassThru")
        self.display = ":%d" % (90 + os.getpid() % 100)
        self.environment = {"XDG_RUNTIME_DIR": self.runtime, "DISPLAY": self.display,
                            "QT_QPA_PLATFORM": "xcb"}
        self.children = []

    def start(self):
        self.children.append(Process("xvfb", ["Xvfb", self.display, "-screen", "0",
                                              "1280x1024x24", "-nolisten", "tcp"],
                                     self.folder))
        self.children.append(Process("simulator", [
            os.path.join(self.build, "passthru/harlune-passthru"), "--simulate"],
            self.folder, self.environment))
        wait_for(lambda: os.path.exists(self.socket), 10, "the simulator's socket")
        wait_for(lambda: os.path.exists("/tmp/.X11-unix/X" + self.display[1:]), 10,
                 "the X server")

    def program_folder(self, name, adapter, graph_shown):
        """A folder with a copy of the desktop program and its settings."""
        folder = os.path.join(self.folder, name)
        os.makedirs(folder)
        shutil.copy(os.path.join(self.build, "src/gui/harlune"), folder)
        self.prime(folder)
        with open(os.path.join(folder, "PacketFilterSetting.xml"), "w") as xml:
            xml.write(filter_file(adapter))
        general = os.path.join(folder, "GeneralSetting.ini")
        with open(general, "rb") as ini:
            text = ini.read().replace(b"STARTUP_ON=FALSE", b"STARTUP_ON=TRUE")
        if graph_shown:
            section = b"[GeneralSetting]\r\n"
            if section not in text:
                sys.exit("GeneralSetting.ini has no [GeneralSetting] section")
            text = text.replace(section, section + GRAPH_KEY + b"\r\n", 1)
        with open(general, "wb") as ini:
            ini.write(text)
        return folder

    def prime(self, folder):
        """Lets the headless program write the default files there."""
        first = Process("prime-" + os.path.basename(folder), [
            os.path.join(self.build, "src/headless/harlune-headless"), folder],
            self.folder, self.environment)
        wait_for(lambda: os.path.exists(os.path.join(folder, "GeneralSetting.ini")), 10,
                 "the default settings")
        time.sleep(1)
        first.stop()

    def stop(self):
        for child in reversed(self.children):
            child.stop()


# The key that shows the filter page's graph pane at start-up.
GRAPH_KEY = b"SHOW_FILTER_GRAPH=TRUE"


def measure_window(run, adapter, graph_shown, seconds):
    name = "window-graph" if graph_shown else "window-plain"
    folder = run.program_folder(name, adapter, graph_shown)
    window = Process(name, [os.path.join(folder, "harlune")], run.folder, run.environment)
    time.sleep(8)  # start-up, the first connection refreshes, the window drawn
    figures = measure([window], seconds)[name]
    window.stop()
    return figures


def measure_headless(run, adapter, seconds):
    folder = run.program_folder("headless", adapter, False)
    headless = Process("headless", [os.path.join(run.build, "src/headless/harlune-headless"),
                                    folder], run.folder, run.environment)
    time.sleep(5)
    figures = measure([headless], seconds)["headless"]
    headless.stop()
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--seconds", type=float, default=20)
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    adapter = first_interface()
    folder = tempfile.mkdtemp(prefix="harlune-window-cost-")
    run = Run(build, folder)
    try:
        run.start()
        rows = [("harlune-headless, the same settings (reference)",
                 measure_headless(run, adapter, arguments.seconds)),
                ("window on the filter page, graph pane hidden",
                 measure_window(run, adapter, False, arguments.seconds)),
                ("window on the filter page, graph pane shown",
                 measure_window(run, adapter, True, arguments.seconds))]
    finally:
        run.stop()
    print("| Situation (%d filters, the simulator's flows) | CPU | Wakeups |" % FILTER_COUNT)
    print("|---|---|---|")
    for situation, (cpu, wakeups) in rows:
        print("| %s | %.2f ms/s | %.1f /s |" % (situation, cpu, wakeups))
    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
