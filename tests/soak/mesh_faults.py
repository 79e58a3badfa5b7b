#!/usr/bin/env python3
"""Fault run of a small quillFern mesh on loopback.

Starts three gates (a, b, c), each with the other two in QUILLFERN_PEERS, a spread
interval of one second and a gossip port of its own, and checks that gossip flows. Then
gate b is killed with SIGKILL and gate c is stopped with SIGSTOP for several spread
intervals, while a client keeps injecting entries into gate a and measuring how long a
fresh connection to it takes to answer health.liveness. Then c is resumed.

It fails when the surviving gate a dies or misses a liveness answer within one second,
when a's open descriptors do not return to their level once c is back (delivery tasks
that outlive their time limits would hold them), when an entry injected on a after c
resumed does not reach c, or when a and c do not stop with status 0 on SIGTERM. The
figures of the run are printed at the end.

Standard library only; loopback only; ends by itself.
Usage: mesh_faults.py --binary PATH [--stop-seconds N]
"""

import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SPREAD_INTERVAL = 1


class FaultFailure(Exception):
    pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, limit, step=0.02):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


class Gate:
    def __init__(self, root, name, binary):
        self.name = name
        self.dir = os.path.join(root, name)
        os.makedirs(self.dir)
        self.port = free_port()
        self.socket_path = os.path.join(self.dir, "quillfern.sock")
        self.log_path = os.path.join(self.dir, "out.log")
        self.binary = binary
        self.process = None
        self.peers = []

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def start(self):
        env = {
            "VELLUMAR_RUNTIME_DIR": self.dir,
            "GATE_ID": self.name,
            "NO_COLOR": "1",
            "TOKIO_WORKER_THREADS": "2",
            "QUILLFERN_PEERS": ",".join(self.peers),
        }
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            [self.binary, "--spread-interval", str(SPREAD_INTERVAL), "--gossip-port", str(self.port)],
            env=env, stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_until(lambda: "Cross-gate gossip listener started" in self.output()
                          and "Listening on" in self.output(), 10):
            raise FaultFailure(f"gate {self.name} did not start:\n{self.output()}")

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))

    def call(self, method, params=None, timeout=1.0):
        """One request on a fresh main-socket connection: the reply and the seconds it took."""
        started = time.monotonic()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self.socket_path)
            message = {"jsonrpc": "2.0", "id": 1, "method": method}
            if params is not None:
                message["params"] = params
            s.sendall(b"PROTOCOLS: jsonrpc\n" + json.dumps(message, separators=(",", ":")).encode() + b"\n")
            data = b""
            while data.count(b"\n") < 2:
                chunk = s.recv(65536)
                if not chunk:
                    raise FaultFailure(f"gate {self.name} closed the connection: {data!r}")
                data += chunk
        lines = data.split(b"\n")
        if lines[0] != b"PROTOCOL: jsonrpc":
            raise FaultFailure(f"gate {self.name} negotiated {lines[0]!r}")
        return json.loads(lines[1]), time.monotonic() - started

    def has_key(self, key):
        reply, _ = self.call("gossip.query", {"topic": "data", "key_prefix": key})
        return any(e["key"] == key for e in reply["result"]["entries"])

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                return self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                return None
        return self.process.returncode


class Prober(threading.Thread):
    """Injects into gate a and times a fresh liveness exchange, every 50 ms."""

    def __init__(self, gate):
        super().__init__(daemon=True)
        self.gate = gate
        self.phase = "baseline"
        self.latencies = {}
        self.failures = []
        self.injected = 0
        self.running = True

    def run(self):
        n = 0
        while self.running:
            n += 1
            try:
                reply, _ = self.gate.call("gossip.inject", {"topic": "data", "key": f"probe.{n}", "payload": n})
                if reply["result"]["result"] == "Accepted":
                    self.injected += 1
                reply, took = self.gate.call("health.liveness")
                if reply.get("result") != {"alive": True}:
                    self.failures.append(f"{self.phase}: liveness answered {reply}")
                self.latencies.setdefault(self.phase, []).append(took)
            except (OSError, FaultFailure, ValueError) as e:
                self.failures.append(f"{self.phase}: {e!r}")
            time.sleep(0.05)


def figures(samples):
    if not samples:
        return "no samples"
    ms = sorted(x * 1000 for x in samples)
    p99 = ms[min(len(ms) - 1, int(len(ms) * 0.99))]
    return f"n={len(ms)} p50={statistics.median(ms):.2f} ms p99={p99:.2f} ms max={ms[-1]:.2f} ms"


def run(binary, stop_seconds):
    root = tempfile.mkdtemp(prefix="qf-faults-")
    gates = {name: Gate(root, name, binary) for name in ("a", "b", "c")}
    a, b, c = gates["a"], gates["b"], gates["c"]
    for gate in gates.values():
        gate.peers = [other.address for other in gates.values() if other is not gate]
    report = {}
    prober = None
    try:
        for gate in gates.values():
            gate.start()

        # Gossip flows: an entry injected on a reaches b and c.
        a.call("gossip.inject", {"topic": "data", "key": "warmup", "payload": 0})
        started = time.monotonic()
        if not wait_until(lambda: b.has_key("warmup") and c.has_key("warmup"), 10):
            raise FaultFailure("the warm-up entry did not reach b and c")
        report["propagation before the faults"] = f"{time.monotonic() - started:.2f} s"

        prober = Prober(a)
        prober.start()
        time.sleep(3 * SPREAD_INTERVAL)
        report["a descriptors (baseline)"] = a.descriptors()

        # Faults: b is killed, c is frozen for several spread intervals.
        prober.phase = "faults"
        log_before_faults = len(a.output())
        b.process.send_signal(signal.SIGKILL)
        b.process.wait()
        c.process.send_signal(signal.SIGSTOP)
        peak = 0
        deadline = time.monotonic() + stop_seconds
        while time.monotonic() < deadline:
            peak = max(peak, a.descriptors())
            time.sleep(0.1)
        report["a descriptors (peak while c is stopped)"] = peak

        # c comes back; gossip to it resumes.
        c.process.send_signal(signal.SIGCONT)
        prober.phase = "after"
        a.call("gossip.inject", {"topic": "data", "key": "after.resume", "payload": 1})
        started = time.monotonic()
        if not wait_until(lambda: c.has_key("after.resume"), 15):
            raise FaultFailure("gossip did not resume to c:\n" + c.output()[-2000:])
        report["propagation to c after it resumed"] = f"{time.monotonic() - started:.2f} s"

        # Every delivery task ends within its limits (3 s for a reply, 10 s per write):
        # a's descriptors come back to their level.
        baseline = report["a descriptors (baseline)"]
        settled = wait_until(lambda: a.descriptors() <= baseline + 1, 15, step=0.1)
        report["a descriptors (after)"] = a.descriptors()
        prober.running = False
        prober.join(5)

        if a.process.poll() is not None:
            raise FaultFailure("gate a died:\n" + a.output()[-2000:])
        if prober.failures:
            raise FaultFailure("gate a missed answers: " + "; ".join(prober.failures[:5]))
        if not settled:
            raise FaultFailure(f"a's descriptors stayed at {a.descriptors()} (baseline {baseline})")

        out = a.output()[log_before_faults:]
        report["entries injected into a during the run"] = prober.injected
        report["a: failed deliveries to b (TCP + relay) since the faults"] = out.count(
            f"Gossip spread failed (TCP + relay) peer={b.address}")
        report["a: failed deliveries to c (TCP + relay) since the faults"] = out.count(
            f"Gossip spread failed (TCP + relay) peer={c.address}")
        probes_on_c, _ = c.call("gossip.status")
        report["c: data entries after the run"] = probes_on_c["result"]["data_entries"]
        for phase in ("baseline", "faults", "after"):
            report[f"a liveness ({phase})"] = figures(prober.latencies.get(phase, []))

        statuses = {name: gates[name].stop() for name in ("a", "c")}
        report["exit statuses (a, c)"] = f"{statuses['a']}, {statuses['c']}"
        if statuses != {"a": 0, "c": 0}:
            raise FaultFailure(f"exit statuses {statuses}")
    finally:
        if prober is not None:
            prober.running = False
        for gate in gates.values():
            if gate.process is not None and gate.process.poll() is None:
                gate.process.send_signal(signal.SIGCONT)
                gate.process.kill()
                gate.process.wait()
        for name, value in report.items():
            print(f"{name}: {value}")
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--stop-seconds", type=float, default=6.0)
    args = parser.parse_args()
    try:
        run(args.binary, args.stop_seconds)
    except FaultFailure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1
    print("mesh faults: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
