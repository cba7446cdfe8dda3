#!/usr/bin/env python3
"""What the whole Harlune stack costs while idle and under traffic.

Run by hand as root on a build tree (docs/performance.md, "The stack's
cost"). It makes two network namespaces joined by a veth pair
(198.18.0.1/30 and 198.18.0.2/30), runs harlune-passthru --real and
harlune-headless in the first with settings it writes, iperf3 servers in the
second, and nethogs -t on the same veth as the reference. Every process's
CPU time comes from /proc/PID/task/*/schedstat (nanoseconds; the clock-tick
figures of /proc/PID/stat are too coarse for fractions of a millisecond a
second) and its wakeups from the context switches in /proc/PID/task/*/status.
Traffic goes only between the two namespaces.

    sudo bench/stack_cost.py --build build/release
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

DAEMON_NS = "hlcost-d"
PEER_NS = "hlcost-p"
DAEMON_VETH = "hlcost-d0"
PEER_VETH = "hlcost-p0"
PEER_ADDRESS = "198.18.0.2"
FLOW_PORT = 5201
LIMITED_PORT = 5202
GIGABIT = "1G"


def run(arguments, check=True, capture=True):
    """Runs a program without a shell and returns its standard output."""
    done = subprocess.run(arguments, check=check, text=True,
                          stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                          stderr=subprocess.STDOUT if capture else subprocess.DEVNULL)
    return done.stdout if capture else ""


def in_ns(namespace, arguments):
    return ["ip", "netns", "exec", namespace] + list(arguments)


def make_network():
    remove_network()
    run(["ip", "netns", "add", DAEMON_NS])
    run(["ip", "netns", "add", PEER_NS])
    run(["ip", "link", "add", DAEMON_VETH, "netns", DAEMON_NS, "type", "veth",
         "peer", "name", PEER_VETH, "netns", PEER_NS])
    run(in_ns(DAEMON_NS, ["ip", "addr", "add", "198.18.0.1/30", "dev", DAEMON_VETH]))
    run(in_ns(PEER_NS, ["ip", "addr", "add", PEER_ADDRESS + "/30", "dev", PEER_VETH]))
    for namespace, veth in ((DAEMON_NS, DAEMON_VETH), (PEER_NS, PEER_VETH)):
        run(in_ns(namespace, ["ip", "link", "set", "lo", "up"]))
        run(in_ns(namespace, ["ip", "link", "set", "up", "dev", veth]))


def remove_network():
    for namespace in (PEER_NS, DAEMON_NS):
        pids = run(["ip", "netns", "pids", namespace], check=False).split()
        for pid in pids:
            if pid.isdigit():
                try:
                    os.kill(int(pid), 9)
                except ProcessLookupError:
                    pass
        run(["ip", "netns", "del", namespace], check=False)


class Process:
    """A program of the run, its output in a file of the work folder."""

    def __init__(self, name, arguments, folder, environment=None):
        self.name = name
        self.log_path = os.path.join(folder, name + ".out")
        log = open(self.log_path, "w")
        variables = dict(os.environ)
        variables.update(environment or {})
        self.popen = subprocess.Popen(arguments, stdout=log, stderr=subprocess.STDOUT,
                                      env=variables)
        log.close()

    def pid(self):
        """The program's own pid: `ip netns exec` execs it in place."""
        return self.popen.pid

    def stop(self):
        if self.popen.poll() is None:
            self.popen.terminate()
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()

    def alive(self):
        return self.popen.poll() is None

    def output(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()


def tasks_of(pid):
    try:
        return os.listdir("/proc/%d/task" % pid)
    except FileNotFoundError:
        return []


def cpu_and_switches(pid):
    """CPU nanoseconds and context switches of every thread of a process."""
    cpu = 0
    switches = 0
    for task in tasks_of(pid):
        base = "/proc/%d/task/%s/" % (pid, task)
        try:
            with open(base + "schedstat") as schedstat:
                cpu += int(schedstat.read().split()[0])
            with open(base + "status") as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches",
                                        "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[-1])
        except (FileNotFoundError, ProcessLookupError):
            continue
    return cpu, switches


def measure(processes, seconds):
    """Per process: CPU ms per second and context switches per second."""
    before = {p.name: cpu_and_switches(p.pid()) for p in processes}
    time.sleep(seconds)
    after = {p.name: cpu_and_switches(p.pid()) for p in processes}
    for process in processes:
        if not process.alive():
            sys.exit("%s ended during the measurement:\n%s" % (process.name, process.output()))
    return {name: ((after[name][0] - before[name][0]) / 1e6 / seconds,
                   (after[name][1] - before[name][1]) / seconds) for name in before}


FILTER_TEMPLATE = (
    "<PacketFilter><Name>{name}</Name><Comment/><AppName/>"
    "<LowerAdapterName>{adapter}</LowerAdapterName><ID>{id}</ID><Available>TRUE</Available>"
    "<Protocol>6</Protocol><LocalIPAddr>0.0.0.0</LocalIPAddr>"
    "<RemoteIPAddr>0.0.0.0</RemoteIPAddr><LocalIPAddrMask>0.0.0.0</LocalIPAddrMask>"
    "<RemoteIPAddrMask>0.0.0.0</RemoteIPAddrMask><LocalPort/><RemotePort>{port}</RemotePort>"
    "<TBFMode>Send</TBFMode><TBFMaxQueueSize>0</TBFMaxQueueSize>"
    "<TBFMaxTokenSize>0</TBFMaxTokenSize><TBFMPU>100</TBFMPU><TBFRate>{rate}</TBFRate>"
    "<TBFPeakRate>0</TBFPeakRate><TBFMTU>0</TBFMTU><TBFThrough>FALSE</TBFThrough>"
    "</PacketFilter>")


def filter_file(ports, rate=1048576):
    """Send filters limiting TCP to the given remote ports, one per port."""
    body = "".join(FILTER_TEMPLATE.format(name="f%d" % i, adapter=DAEMON_VETH, id=i,
                                          port=port, rate=rate)
                   for i, port in enumerate(ports))
    return "<?xml version='1.0' encoding='Shift_JIS'?>\r\n<Root>" + body + "</Root>\r\n"


class Stack:
    """The daemon and the application in the daemon's namespace."""

    def __init__(self, build, folder):
        self.build = build
        self.folder = folder
        self.runtime = os.path.join(folder, "run")
        self.socket = os.path.join(self.runtime, "harlune", "PassThru")
        os.makedirs(os.path.dirname(self.socket), mode=0o700, exist_ok=True)
        self.environment = {"XDG_RUNTIME_DIR": self.runtime}
        self.daemon = None
        self.headless = None

    def binary(self, relative):
        return os.path.join(self.build, relative)

    def start_daemon(self):
        if os.path.exists(self.socket):
            os.unlink(self.socket)
        self.daemon = Process("daemon", in_ns(DAEMON_NS, [
            self.binary("passthru/harlune-passthru"), "--real", "--socket", self.socket]),
            self.folder, self.environment)
        wait_for(lambda: os.path.exists(self.socket), 10, "the daemon's socket")
        return self.daemon

    def start_headless(self, ports, limit_rate=1048576):
        settings = os.path.join(self.folder, "settings-%d" % len(ports))
        prime_settings(self, settings)
        with open(os.path.join(settings, "PacketFilterSetting.xml"), "w") as xml:
            xml.write(filter_file(ports, limit_rate))
        self.headless = Process("headless", in_ns(DAEMON_NS, [
            self.binary("src/headless/harlune-headless"), settings]),
            self.folder, self.environment)
        return self.headless

    def stop(self):
        for process in (self.headless, self.daemon):
            if process is not None:
                process.stop()
        self.headless = None
        self.daemon = None


def prime_settings(stack, settings):
    """Lets the application write its default files, then turns filtering
    on at start-up."""
    os.makedirs(settings, exist_ok=True)
    general = os.path.join(settings, "GeneralSetting.ini")
    if not os.path.exists(general):
        first = Process("prime", in_ns(DAEMON_NS, [
            stack.binary("src/headless/harlune-headless"), settings]),
            stack.folder, stack.environment)
        wait_for(lambda: os.path.exists(general), 10, "the default settings")
        time.sleep(1)
        first.stop()
    with open(general, "rb") as ini:
        text = ini.read()
    text = text.replace(b"STARTUP_ON=FALSE", b"STARTUP_ON=TRUE")
    if b"STARTUP_ON=TRUE" not in text:
        sys.exit("GeneralSetting.ini has no STARTUP_ON key to turn on")
    with open(general, "wb") as ini:
        ini.write(text)


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    sys.exit("timed out waiting for " + what)


def veth_queued():
    rules = run(in_ns(DAEMON_NS, ["iptables", "-w", "-t", "mangle", "-S"]), check=False)
    return ("-o %s -j NFQUEUE" % DAEMON_VETH) in rules or \
        ("-o %s" % DAEMON_VETH in rules and "NFQUEUE" in rules)


def sent_bytes():
    return int(run(in_ns(DAEMON_NS, ["cat", "/sys/class/net/%s/statistics/tx_bytes"
                                     % DAEMON_VETH])).strip())


def start_flow(folder, seconds, port=FLOW_PORT):
    return Process("iperf3-%d" % port, in_ns(DAEMON_NS, [
        "iperf3", "-c", PEER_ADDRESS, "-p", str(port), "-b", GIGABIT, "-t", str(seconds)]),
        folder)


def start_nethogs(folder):
    return Process("nethogs", in_ns(DAEMON_NS, ["nethogs", "-t", "-d", "1", DAEMON_VETH]),
                   folder)


class Report:
    def __init__(self):
        self.rows = []

    def add(self, situation, figure, target, met, reference=""):
        self.rows.append((situation, figure, target, "met" if met else "NOT met", reference))
        print("%-62s %-34s target %-24s %s %s" % self.rows[-1], flush=True)

    def markdown(self):
        lines = ["| Situation | Measured | Target | | Reference in the same run |",
                 "|---|---|---|---|---|"]
        lines += ["| %s | %s | %s | %s | %s |" % row for row in self.rows]
        return "\n".join(lines)


def idle_daemon(stack, report, seconds):
    daemon = stack.start_daemon()
    time.sleep(2)
    figures = measure([daemon], seconds)
    cpu, wakeups = figures["daemon"]
    report.add("harlune-passthru --real, no session, no client",
               "%.3f ms CPU/s, %.1f wakeups/s" % (cpu, wakeups),
               "<= 0.1 ms/s, <= 1 wakeup/s", cpu <= 0.1 and wakeups <= 1.0)
    stack.stop()


def idle_session(stack, report, seconds, filter_count, cpu_target, wakeup_target):
    stack.start_daemon()
    stack.start_headless([6000 + i for i in range(filter_count)])
    time.sleep(5)
    if filter_count and not veth_queued():
        sys.exit("the filters did not reach the daemon:\n" + stack.headless.output())
    figures = measure([stack.daemon, stack.headless], seconds)
    cpu = figures["daemon"][0] + figures["headless"][0]
    wakeups = figures["daemon"][1] + figures["headless"][1]
    target = "<= %g ms/s together" % cpu_target
    met = cpu <= cpu_target
    if wakeup_target is not None:
        target += ", <= %g wakeups/s" % wakeup_target
        met = met and wakeups <= wakeup_target
    report.add("daemon + headless, %d filters on one adapter, no traffic" % filter_count,
               "%.2f + %.2f = %.2f ms/s, %.0f switches/s" % (
                   figures["daemon"][0], figures["headless"][0], cpu, wakeups), target, met)
    stack.stop()


def monitoring_beside_nethogs(stack, report, seconds, folder):
    stack.start_daemon()
    stack.start_headless([])
    nethogs = start_nethogs(folder)
    time.sleep(5)
    for loaded in (False, True):
        flow = start_flow(folder, seconds + 6) if loaded else None
        if flow:
            time.sleep(3)
        figures = measure([stack.daemon, stack.headless, nethogs], seconds)
        if flow:
            flow.stop()
        harlune = figures["daemon"][0] + figures["headless"][0]
        ratio = harlune / figures["nethogs"][0] if figures["nethogs"][0] else float("inf")
        report.add("monitoring only, no filters, %s" % ("1 Gbit/s flow" if loaded else "idle"),
                   "Harlune %.2f ms/s (daemon %.2f)" % (harlune, figures["daemon"][0]),
                   "<= 0.3 x nethogs", ratio <= 0.3,
                   "nethogs -t %.2f ms/s, ratio %.2f" % (figures["nethogs"][0], ratio))
    nethogs.stop()
    stack.stop()


def unmatched_flow(stack, report, seconds, folder):
    stack.start_daemon()
    stack.start_headless([LIMITED_PORT])
    time.sleep(5)
    if not veth_queued():
        sys.exit("the limiting filter did not queue the veth:\n" + stack.headless.output())
    flow = start_flow(folder, seconds + 6)
    time.sleep(3)
    first = sent_bytes()
    figures = measure([stack.daemon], seconds)
    moved = sent_bytes() - first
    flow.stop()
    cpu = figures["daemon"][0]
    per_gb = cpu * seconds / 1000 / (moved / 1e9) if moved else float("inf")
    report.add("unmatched 1 Gbit/s flow, limiting class on another port",
               "daemon %.1f %% of a core (%.3f CPU-s per GB)" % (cpu / 10, per_gb),
               "<= 2 % of a core", cpu / 10 <= 2.0,
               "%.0f MB/s on the veth" % (moved / seconds / 1e6))
    stack.stop()


def milliseconds_of(entry):
    return entry["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[entry["time_unit"]]


def run_benchmarks(bench, report):
    """The statistics tick and the connection refresh, with the benchmarks'
    own references: the per-class fallback, and ss -tanp over the same
    10,001 sockets."""
    out = run([bench, "--benchmark_filter=BM_StatisticsTick128Filters|"
               "BM_TcpTable_RefreshVersusSs|BM_ConnectionMonitor_SteadyStateRefresh10k",
               "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
               "--benchmark_format=json"])
    medians = {entry["run_name"].replace("/real_time", ""): entry
               for entry in json.loads(out[out.index("{"):])["benchmarks"]
               if entry.get("aggregate_name") == "median"}
    fallback = medians.get("BM_StatisticsTick128Filters/fallback_reused")
    batch = medians.get("BM_StatisticsTick128Filters/batch_reused")
    if batch:
        tick = milliseconds_of(batch)
        report.add("statistics tick, 128 filters on 2 adapters (batch, kept connections)",
                   "%.3f ms per tick" % tick, "<= 0.3 ms", tick <= 0.3,
                   "per-class fallback %.2f ms" % milliseconds_of(fallback) if fallback else "")
    monitor = medians.get("BM_ConnectionMonitor_SteadyStateRefresh10k")
    table = medians.get("BM_TcpTable_RefreshVersusSs")
    if monitor:
        whole = milliseconds_of(monitor)
        report.add("connection refresh, 10,001 sockets, steady state, whole Refresh",
                   "%.1f ms (UI thread: apply %.1f ms)" % (whole, monitor["apply_ms"]),
                   "<= 10 ms", whole <= 10,
                   "ss -tanp %.0f ms" % table["ss_tanp_ms"] if table else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/release", help="the build tree")
    parser.add_argument("--seconds", type=float, default=20, help="each measurement")
    parser.add_argument("--no-bench", action="store_true", help="skip the benchmarks")
    arguments = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: network namespaces, iptables, nethogs")
    for program in ("iperf3", "nethogs", "iptables", "ip"):
        if shutil.which(program) is None:
            sys.exit(program + " is missing (scripts/install-deps.sh installs it)")
    if os.path.exists("/run/harlune/PassThru"):
        sys.exit("a system driver serves /run/harlune/PassThru; stop it first")
    build = os.path.abspath(arguments.build)
    folder = tempfile.mkdtemp(prefix="harlune-cost-")
    report = Report()
    try:
        make_network()
        for port in (FLOW_PORT, LIMITED_PORT):
            Process("server-%d" % port, in_ns(PEER_NS, ["iperf3", "-s", "-p", str(port)]),
                    folder)
        stack = Stack(build, folder)
        seconds = arguments.seconds
        idle_daemon(stack, report, seconds)
        idle_session(stack, report, seconds, 10, 3, 60)
        idle_session(stack, report, seconds, 128, 5, None)
        monitoring_beside_nethogs(stack, report, seconds, folder)
        unmatched_flow(stack, report, seconds, folder)
        if not arguments.no_bench:
            run_benchmarks(os.path.join(build, "bench", "harlune_bench"), report)
    finally:
        remove_network()
    print()
    print(report.markdown())
    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
