#!/usr/bin/env python3
"""What harlune-passthru --real costs under a flow no class matches.

Run by hand, as root:

    bench/bypass_cost.py [--daemon build/release/passthru/harlune-passthru]
                         [--rate 1G] [--seconds 10]

Two network namespaces joined by a veth pair (198.18.1.1/30 and .2), an
iperf3 server on the peer's side, the daemon on the other with a session on
its veth holding one limiting send class (1 MiB/s, TCP to port 5302), so the
veth's outgoing packets are queued. An iperf3 flow to port 5301, which no
class matches, runs at --rate; after 2 s the daemon's CPU time is read from
/proc/PID/stat over --seconds, with its context switches and the packets the
kernel put into its verdict queue. Nothing outside the two namespaces is
touched.
"""

import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

DAEMON_SIDE, PEER_SIDE = "hlbp-a", "hlbp-b"
DAEMON_VETH, PEER_VETH = "hlbp0", "hlbp1"
PEER_ADDRESS = "198.18.1.2"
UNMATCHED_PORT, LIMITED_PORT = 5301, 5302

BIND, INITIALIZE, ADD_CLASS, START_FILTERING = 0x0012C808, 0x432320C4, 0x432320CC, 0x432320E4


def run(*command, check=True):
    return subprocess.run(command, check=check, capture_output=True, text=True).stdout


def in_side(side, *command):
    return ["ip", "netns", "exec", side, *command]


def tear_down():
    pids = run("ip", "netns", "pids", PEER_SIDE, check=False).split()
    for pid in pids:
        run("kill", pid, check=False)
    for side in (DAEMON_SIDE, PEER_SIDE):
        run("ip", "netns", "del", side, check=False)


def set_up():
    tear_down()
    run("ip", "netns", "add", DAEMON_SIDE)
    run("ip", "netns", "add", PEER_SIDE)
    run("ip", "link", "add", DAEMON_VETH, "netns", DAEMON_SIDE, "type", "veth", "peer", "name",
        PEER_VETH, "netns", PEER_SIDE)
    for side, veth, address in ((DAEMON_SIDE, DAEMON_VETH, "198.18.1.1/30"),
                                (PEER_SIDE, PEER_VETH, PEER_ADDRESS + "/30")):
        run(*in_side(side, "ip", "addr", "add", address, "dev", veth))
        run(*in_side(side, "ip", "link", "set", "up", "dev", veth))
        run(*in_side(side, "ip", "link", "set", "lo", "up"))
    run(*in_side(PEER_SIDE, "iperf3", "-s", "-D", "-p", str(UNMATCHED_PORT)))
    run(*in_side(PEER_SIDE, "iperf3", "-s", "-D", "-p", str(LIMITED_PORT)))


def request(connection, code, payload=b"", capacity=0):
    connection.sendall(struct.pack("<III", code, len(payload), capacity) + payload)
    header = connection.recv(8, socket.MSG_WAITALL)
    error, returned = struct.unpack("<II", header)
    body = connection.recv(returned, socket.MSG_WAITALL) if returned else b""
    if error != 0:
        sys.exit(f"request {code:#x} failed with {error}")
    return body


def limiting_record(port, rate):
    record = bytearray(200)
    struct.pack_into("<IIII", record, 0, 0, 0, 0, rate)  # queue, bucket, MPU, rate
    struct.pack_into("<I", record, 28, 0)  # send
    struct.pack_into("<H", record, 36, 6)  # TCP
    struct.pack_into("<I", record, 60, 1)  # one remote port range
    struct.pack_into(">HH", record, 128, port, port)
    struct.pack_into("<I", record, 196, 1)  # available
    return bytes(record)


def start_session(path):
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    for _ in range(100):
        try:
            connection.connect(path)
            break
        except OSError:
            time.sleep(0.05)
    request(connection, BIND, ("\\DEVICE\\" + DAEMON_VETH).encode("utf-16-le"), 4)
    request(connection, INITIALIZE)
    request(connection, ADD_CLASS, limiting_record(LIMITED_PORT, 1024 * 1024), 4)
    request(connection, START_FILTERING)
    return connection


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def switches(pid):
    total = 0
    for line in open(f"/proc/{pid}/status"):
        if "ctxt_switches" in line:
            total += int(line.split()[1])
    return total


def queued_packets():
    text = run(*in_side(DAEMON_SIDE, "cat", "/proc/net/netfilter/nfnetlink_queue"))
    return int(text.split()[7]) if text.split() else 0


def measure(daemon_path, rate, seconds):
    runtime = tempfile.mkdtemp(prefix="hlbp-")
    path = os.path.join(runtime, "PassThru")
    daemon = subprocess.Popen(in_side(DAEMON_SIDE, daemon_path, "--real", "--socket", path),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        connection = start_session(path)
        while "NFQUEUE" not in run(*in_side(DAEMON_SIDE, "iptables", "-w", "-t", "mangle", "-S")):
            time.sleep(0.05)
        flow = subprocess.Popen(in_side(DAEMON_SIDE, "iperf3", "-c", PEER_ADDRESS, "-p",
                                        str(UNMATCHED_PORT), "-b", rate, "-t",
                                        str(seconds + 3), "-J"),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        time.sleep(2)
        ticks, switched, queued = cpu_ticks(daemon.pid), switches(daemon.pid), queued_packets()
        started = time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - started
        ticks = cpu_ticks(daemon.pid) - ticks
        switched = switches(daemon.pid) - switched
        queued = queued_packets() - queued
        report = json.loads(flow.communicate()[0] or "{}")
        connection.close()
    finally:
        daemon.terminate()
        daemon.wait()
    cpu = ticks / os.sysconf("SC_CLK_TCK") / elapsed
    carried = report.get("end", {}).get("sum_received", {}).get("bits_per_second", 0)
    print(f"daemon {daemon_path}: {100 * cpu:.2f} % of a core (target <= 2 %), "
          f"{switched / elapsed:.0f} context switches/s, {queued / elapsed:.0f} packets/s "
          f"queued, over {elapsed:.1f} s of an unmatched flow offered {rate}bit/s "
          f"(carried {carried / 1e9:.2f} Gbit/s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--daemon", default="build/release/passthru/harlune-passthru")
    parser.add_argument("--rate", default="1G")
    parser.add_argument("--seconds", type=int, default=10)
    arguments = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root (network namespaces, iptables, NFQUEUE)")
    set_up()
    try:
        measure(os.path.abspath(arguments.daemon), arguments.rate, arguments.seconds)
    finally:
        tear_down()


if __name__ == "__main__":
    main()
