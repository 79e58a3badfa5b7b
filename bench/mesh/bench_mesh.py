#!/usr/bin/env python3
"""N gates on loopback as a full mesh: how long E injected entries take to reach every gate, and
what all the gates together spend in CPU for each copy they receive.

Every gate lists all the others in QUILLFERN_PEERS, sweeps every second and runs one worker
thread; thornKit, reedHorn and the quorvel API are absent. E entries are injected at the first
gate on one pipelined connection; the run waits until every gate holds all of them in topic
"data", then until no gate receives anything more (every forwarded copy has arrived and been
refused or taken). Copies received are what the gates' "gossip.peers" count (entries taken plus
entries refused, over every sender); CPU is utime + stime from /proc of every gate, from just
before the injection to the end.

Usage: bench_mesh.py --binary PATH [--gates N] [--entries E] [--timeout S]
Prints one line: "mesh gates=N entries=E all_in=...s quiet_in=...s copies=... cpu=...s
cpu_per_copy=...us" (with the load average at the start)."""
import argparse, json, os, shutil, signal, socket, subprocess, sys, tempfile, time

CLK_TCK = os.sysconf("SC_CLK_TCK")


def free_ports(n):
    socks, ports = [], []
    for _ in range(n):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        socks.append(s)
        ports.append(s.getsockname()[1])
    for s in socks:
        s.close()
    return ports


class Client:
    """One JSON-RPC connection to a gate's main socket, negotiated."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)
        self.file = self.sock.makefile("rb")
        self.sock.sendall(b"PROTOCOLS: jsonrpc\n")
        self.file.readline()
        self.next_id = 0

    def call(self, method, params=None):
        self.next_id += 1
        req = {"jsonrpc": "2.0", "id": self.next_id, "method": method}
        if params is not None:
            req["params"] = params
        self.sock.sendall((json.dumps(req, separators=(",", ":")) + "\n").encode())
        return json.loads(self.file.readline())["result"]

    def pipeline(self, lines):
        self.sock.sendall(b"".join(lines))
        for _ in lines:
            self.file.readline()

    def close(self):
        self.file.close()
        self.sock.close()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def wait_for(predicate, deadline, what):
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit("bench-mesh: timed out waiting for " + what)
        time.sleep(0.05)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--gates", type=int, default=16)
    ap.add_argument("--entries", type=int, default=1000)
    ap.add_argument("--timeout", type=float, default=300)
    args = ap.parse_args()
    n, e = args.gates, args.entries
    load = os.getloadavg()[0]
    tmp = tempfile.mkdtemp(prefix="qfmesh")
    ports = free_ports(n)
    procs, sockets = [], []
    try:
        for i in range(n):
            rt = os.path.join(tmp, "g%d" % i)
            os.mkdir(rt)
            peers = ",".join("127.0.0.1:%d" % p for j, p in enumerate(ports) if j != i)
            env = dict(os.environ, GATE_ID="gate-%d" % i, VELLUMAR_RUNTIME_DIR=rt, QUILLFERN_PEERS=peers,
                       TOKIO_WORKER_THREADS="1", RUST_LOG="error", NO_COLOR="1",
                       QUILLFERN_THORNKIT_SOCK=os.path.join(rt, "absent-t.sock"),
                       REEDHORN_SOCKET=os.path.join(rt, "absent-r.sock"),
                       QUORVEL_API_SOCKET=os.path.join(rt, "absent-q.sock"))
            procs.append(subprocess.Popen([args.binary, "--gossip-port", str(ports[i]), "--spread-interval", "1"],
                                          env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            sockets.append(os.path.join(rt, "quillfern.sock"))
        deadline = time.monotonic() + args.timeout
        wait_for(lambda: all(os.path.exists(s) for s in sockets), deadline, "the gates' sockets")
        clients = [Client(s) for s in sockets]

        def copies():
            total = 0
            for c in clients:
                for stats in c.call("gossip.peers")["peers"].values():
                    total += stats.get("entries_received", 0) + stats.get("entries_rejected", 0)
            return total

        def data_entries(c):
            return c.call("gossip.status")["data_entries"]

        base_copies = copies()
        cpu0 = sum(cpu_seconds(p.pid) for p in procs)
        start = time.monotonic()
        payload = "x" * 100
        lines = [(json.dumps({"jsonrpc": "2.0", "id": k, "method": "gossip.inject",
                              "params": {"topic": "data", "key": "mesh:%d" % k, "payload": payload}},
                             separators=(",", ":")) + "\n").encode() for k in range(e)]
        clients[0].pipeline(lines)
        wait_for(lambda: all(data_entries(c) >= e for c in clients), deadline, "every gate to hold every entry")
        all_in = time.monotonic() - start
        # Quiet: the copies counted stay the same over three sweeps.
        last, still_since = copies(), time.monotonic()
        while time.monotonic() - still_since < 3.0:
            if time.monotonic() > deadline:
                raise SystemExit("bench-mesh: timed out waiting for the mesh to go quiet")
            time.sleep(0.25)
            now_copies = copies()
            if now_copies != last:
                last, still_since = now_copies, time.monotonic()
        quiet_in = still_since - start
        cpu = sum(cpu_seconds(p.pid) for p in procs) - cpu0
        received = last - base_copies
        for c in clients:
            c.close()
        print("mesh gates=%d entries=%d all_in=%.2fs quiet_in=%.2fs copies=%d cpu=%.2fs cpu_per_copy=%.2fus "
              "(load average %.2f at the start)" % (n, e, all_in, quiet_in, received, cpu,
                                                    1e6 * cpu / max(received, 1), load))
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
