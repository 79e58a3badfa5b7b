#!/usr/bin/env python3
"""Fault run of a small quillFern mesh on loopback.

Starts three gates (a, b, c), each with the other two in QUILLFERN_PEERS, a spread
interval of one second and a gossip port of its own, and checks that gossip flows. Then
gate b is killed with SIGKILL and gate c is stopped with SIGSTOP for several spread
intervals, while a client keeps injecting entries into gate a and measuring how long a
fresh connection to it takes to answer health.liveness. Then c is resumed.

Then two hostile parties. A hostile peer sends gate a 8,000 entries whose nonce and
origin are 1 KiB of U+0001 each (six bytes apiece once written), then 100 good entries:
a must forward every good one to c, and to a listening peer of a that checks each request
it gets, in requests of at most 8 MiB. (Written, the flood is larger than a's 64 MiB budget
of forward copies, so a drops its oldest copies and says so; the good entries, queued last,
are the ones a must keep.) A hostile
reedHorn names 20,000 peers where nothing listens and holds every relay connection
unanswered, to a fourth gate d that runs under a limit of 1,024 descriptors: d must keep
serving its local clients, and run a bounded number of deliveries at once. Last, a fifth
gate e whose thornKit accepts every connection and never answers, so that each entry e
receives waits out its check, while a peer sends e 1,000 entries a second and gives up on
each batch after 3 s as a gate's delivery does: e must stop each batch once its sender has
gone. Then a gate f whose peers are a silent one (it reads and never answers) and a good
one: every entry injected into f must reach the good peer within three spread intervals,
and f must hold at most one delivery to the silent peer at a time. Then a gate g fed by a
flooding peer beside a good one that sends a small batch a second: every batch of the
good peer must be answered and g's local calls served (the figures say how the two
shared g).

It fails when the surviving gate a dies or misses a liveness answer within one second,
when a's open descriptors do not return to their level once c is back (delivery tasks
that outlive their time limits would hold them), when an entry injected on a after c
resumed does not reach c, when a good entry of the hostile peer does not reach c and
the listening peer, c refuses one of a's lines or a request passes 8 MiB or its shape, when d misses a local call, logs an accept error or runs more
than 64 deliveries at once, when e checks more than 6 entries at once, does not end its
checks soon after the peer stops or stops fewer batches than its peer gave up on, or when
a silent peer holds f's good peer back, a good peer beside the flood goes unanswered, or
when a, c, d, e, f and g do not stop with status 0 on SIGTERM. The figures of the run are printed at
the end; --measure-silent-thornkit runs only gate e and prints its figures second by second.

Standard library only; loopback only; ends by itself.
Usage: mesh_faults.py --binary PATH [--stop-seconds N] [--silent-thornkit-seconds N] [--measure-silent-thornkit]
"""

import argparse
import json
import os
import resource
import select
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
MIB = 1024 * 1024
SWEEP_REQUEST_BYTES = 8 * MIB  # what the sender promises per request
SWEEP_DELIVERIES = 64  # deliveries in flight at once, over every peer
REEDHORN_PEERS = 1024  # peers a sweep takes from one mesh.peers answer


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
    def __init__(self, root, name, binary, env=None, descriptor_limit=None):
        self.name = name
        self.extra_env = env or {}
        self.descriptor_limit = descriptor_limit
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
            **self.extra_env,
        }
        limit = self.descriptor_limit

        def limit_descriptors():
            if limit is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            [self.binary, "--spread-interval", str(SPREAD_INTERVAL), "--gossip-port", str(self.port)],
            env=env, stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=limit_descriptors)
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


class HostilePeer:
    """Sends a gate gossip.spread batches on its cross-gate port, as a peer would: entries
    whose nonce and origin are 1 KiB of U+0001 (one key, rising versions), then good
    entries of keys of their own."""

    HOSTILE = 8000
    GOOD = 100
    PER_BATCH = 400  # about 5 MiB a line as written: within what the gate takes

    def __init__(self, gate):
        self.gate = gate
        self.good_keys = [f"good.{i}" for i in range(self.GOOD)]

    def entries(self):
        now = int(time.time())
        controls = "\x01" * 1024
        for i in range(self.HOSTILE):
            serial = str(i)
            yield {"created_at_epoch": now, "expires_at_epoch": now + 600, "key": "hostile",
                   "nonce": controls[len(serial):] + serial, "origin_gate": controls, "payload": {"n": i},
                   "topic": "data", "ttl": 5, "version": i + 1}
        for i, key in enumerate(self.good_keys):
            yield {"created_at_epoch": now, "expires_at_epoch": now + 600, "key": key,
                   "nonce": f"good-nonce-{i}", "origin_gate": "hostile-peer", "payload": {"good": i},
                   "topic": "data", "ttl": 5, "version": 1}

    def run(self):
        """Sends every batch on one connection; gives (entries accepted, bytes sent)."""
        accepted = 0
        sent = 0
        with socket.create_connection(("127.0.0.1", self.gate.port), timeout=30) as s:
            s.sendall(b"\xec\x01")
            reader = s.makefile("rb")
            batch = []
            for entry in self.entries():
                batch.append(entry)
                if len(batch) == self.PER_BATCH:
                    accepted, sent = self._send(s, reader, batch, accepted, sent)
                    batch = []
            if batch:
                accepted, sent = self._send(s, reader, batch, accepted, sent)
        return accepted, sent

    @staticmethod
    def _send(s, reader, batch, accepted, sent):
        line = json.dumps({"id": 1, "jsonrpc": "2.0", "method": "gossip.spread",
                           "params": {"entries": batch, "from": "hostile-peer"}}, separators=(",", ":")).encode()
        s.sendall(line + b"\n")
        reply = reader.readline()
        if not reply:
            raise FaultFailure("the gate closed the hostile peer's connection")
        return accepted + json.loads(reply)["result"]["accepted"], sent + len(line) + 1


class ListeningPeer(threading.Thread):
    """A peer of gate a on a TCP port: reads each gossip.spread line a sends, checks its
    size and shape, notes the keys of its entries and answers with the count."""

    HEAD = b'{"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":['

    def __init__(self, sender_id):
        super().__init__(daemon=True)
        self.tail = b'],"from":' + json.dumps(sender_id).encode() + b"}}"
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.keys = set()
        self.requests = 0
        self.largest = 0
        self.wrong = []

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def run(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        with conn:
            chunks = []
            while not chunks or not chunks[-1].endswith(b"\n"):
                chunk = conn.recv(1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
            data = b"".join(chunks)
            request = data[2:-1]
            try:
                entries = json.loads(request)["params"]["entries"]
            except (ValueError, KeyError, TypeError):
                entries = None
            with self.lock:
                self.requests += 1
                self.largest = max(self.largest, len(request))
                if (not data.startswith(b"\xec\x01") or data.count(b"\n") != 1 or not data.endswith(b"\n")
                        or not request.startswith(self.HEAD) or not request.endswith(self.tail)
                        or entries is None or len(request) > SWEEP_REQUEST_BYTES):
                    self.wrong.append(f"{len(request)} bytes: {request[:80]!r}...{request[-40:]!r}")
                else:
                    self.keys.update(e["key"] for e in entries)
            try:
                count = len(entries or [])
                conn.sendall(b'{"id":null,"jsonrpc":"2.0","result":{"accepted":%d,"rejected":0}}\n' % count)
            except OSError:
                pass

    def stop(self):
        self.listener.close()


class HostileReedhorn(threading.Thread):
    """A reedHorn on a Unix socket that answers mesh.peers with `peers` loopback addresses
    where nothing listens, and holds every other request (gossip.relay) unanswered until
    its client gives up. It counts the most connections open at once, as seen at each
    accept (a connection whose client has closed it no longer counts)."""

    def __init__(self, path, peers):
        super().__init__(daemon=True)
        records = ",".join(f'{{"addr":"127.1.{i // 250}.{i % 250 + 1}"}}' for i in range(peers))
        self.mesh_peers = ('{"id":1,"jsonrpc":"2.0","result":{"peers":[' + records + ']}}\n').encode()
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1024)
        self.lock = threading.Lock()
        self.open = []
        self.accepted = 0
        self.peak = 0
        self.running = True

    def still_open(self):
        poller = select.poll()
        for conn in self.open:
            poller.register(conn, select.POLLRDHUP)
        closed = {fd for fd, _ in poller.poll(0)}
        return [conn for conn in self.open if conn.fileno() not in closed]

    def run(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.open = self.still_open()
                self.open.append(conn)
                self.accepted += 1
                self.peak = max(self.peak, len(self.open))
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        try:
            data = b""
            while b"\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            if b'"method":"mesh.peers"' in data:
                conn.sendall(self.mesh_peers)
            while conn.recv(65536):
                pass
        except OSError:
            pass
        finally:
            with self.lock:
                if conn in self.open:
                    self.open.remove(conn)
            conn.close()

    def stop(self):
        self.running = False
        self.listener.close()


class SilentThornkit(threading.Thread):
    """A thornKit on a Unix socket that accepts every connection, reads the request and
    never answers nor closes. It counts the connections its client still holds open
    (each is one received entry being checked), and the most at once."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1024)
        self.lock = threading.Lock()
        self.conns = []
        self.accepted = 0
        self.peak = 0

    def held(self):
        """Connections the gate has not closed yet (a closed one hangs up)."""
        with self.lock:
            poller = select.poll()
            for conn in self.conns:
                poller.register(conn, select.POLLHUP)
            closed = {fd for fd, events in poller.poll(0) if events & (select.POLLHUP | select.POLLERR)}
            for conn in [c for c in self.conns if c.fileno() in closed]:
                conn.close()
            self.conns = [c for c in self.conns if c.fileno() != -1]
            return len(self.conns)

    def run(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            held = self.held()
            with self.lock:
                self.conns.append(conn)
                self.accepted += 1
                self.peak = max(self.peak, held + 1)

    def stop(self):
        self.listener.close()


class GivingUpPeer(threading.Thread):
    """Sends a gate a gossip.spread batch of `per_batch` fresh entries on its cross-gate
    port every second, each on a connection of its own that it closes once it has waited
    3 s for the reply, as a gate's delivery does."""

    REPLY_LIMIT = 3.0

    def __init__(self, gate, per_batch):
        super().__init__(daemon=True)
        self.gate = gate
        self.per_batch = per_batch
        self.running = True
        self.sent = 0
        self.answered = 0
        self.senders = []

    def line(self, serial):
        now = int(time.time())
        entries = [{"created_at_epoch": now, "expires_at_epoch": now + 600, "key": f"silent.{serial}.{i}",
                    "nonce": f"silent-{serial}-{i}", "origin_gate": "giving-up-peer", "payload": {"n": i},
                    "topic": "data", "ttl": 5, "version": 1} for i in range(self.per_batch)]
        return json.dumps({"id": None, "jsonrpc": "2.0", "method": "gossip.spread",
                           "params": {"entries": entries, "from": "giving-up-peer"}},
                          separators=(",", ":")).encode()

    def send(self, line):
        try:
            with socket.create_connection(("127.0.0.1", self.gate.port), timeout=5) as s:
                s.sendall(b"\xec\x01" + line + b"\n")
                s.settimeout(self.REPLY_LIMIT)
                try:
                    if s.recv(65536):
                        self.answered += 1
                except socket.timeout:
                    pass
        except OSError:
            pass

    def run(self):
        serial = 0
        next_at = time.monotonic()
        while self.running:
            sender = threading.Thread(target=self.send, args=(self.line(serial),), daemon=True)
            sender.start()
            self.senders.append(sender)
            self.sent += 1
            serial += 1
            next_at += 1.0
            time.sleep(max(0.0, next_at - time.monotonic()))

    def stop(self):
        self.running = False
        self.join()
        for sender in self.senders:
            sender.join()


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def hostile_peer_phase(a, c, listening, report):
    """The hostile peer sends a its batches; every good entry must reach c and the
    listening peer, in requests within the bound."""
    attacker = HostilePeer(a)
    log_before = len(c.output())
    started = time.monotonic()
    accepted, sent = attacker.run()
    report["hostile peer: entries accepted by a"] = f"{accepted} of {attacker.HOSTILE + attacker.GOOD}"
    report["hostile peer: MiB sent to a"] = f"{sent / MIB:.1f}"
    missing = list(attacker.good_keys)

    def all_on_c():
        missing[:] = [k for k in missing if not c.has_key(k)]
        return not missing

    def all_heard():
        with listening.lock:
            return listening.keys.issuperset(attacker.good_keys)

    wait_until(all_on_c, 30, step=0.1)
    wait_until(all_heard, 30, step=0.1)
    report["hostile peer: good entries on c"] = f"{attacker.GOOD - len(missing)} of {attacker.GOOD}"
    report["hostile peer: seconds until c had them"] = f"{time.monotonic() - started:.2f}"
    out_c = c.output()[log_before:]
    refused = out_c.count("Request line too long")
    report["hostile peer: lines c refused as too long"] = refused
    with listening.lock:
        heard = len(listening.keys.intersection(attacker.good_keys))
        report["hostile peer: good entries the listening peer got"] = f"{heard} of {attacker.GOOD}"
        report["hostile peer: requests the listening peer got (largest)"] = (
            f"{listening.requests} ({listening.largest / MIB:.2f} MiB)")
        wrong = list(listening.wrong)
    if missing:
        raise FaultFailure(f"{len(missing)} good entries did not reach c, {missing[:3]} among them")
    if refused:
        raise FaultFailure("c refused a line of a's sweep as too long")
    if wrong:
        raise FaultFailure(f"{len(wrong)} requests from a were past the bound or malformed: {wrong[0]}")
    if heard != attacker.GOOD:
        raise FaultFailure(f"the listening peer got {heard} of {attacker.GOOD} good entries")


def hostile_reedhorn_phase(root, binary, report):
    """A fourth gate d under 1,024 descriptors whose reedHorn names 20,000 peers."""
    gossip_port = free_port()  # nothing listens there on any 127.1.x.y
    reedhorn_path = os.path.join(root, "rh.sock")
    d = Gate(root, "d", binary, env={"REEDHORN_SOCKET": reedhorn_path, "GOSSIP_PORT": str(gossip_port)},
             descriptor_limit=1024)
    reedhorn = None
    try:
        d.start()
        # reedHorn comes up once d's registration has passed it by: from then on only the
        # sweeps reach it, each tick with its own "mesh.peers" exchange.
        if not wait_until(lambda: "Reedhorn socket not found" in d.output(), 10):
            raise FaultFailure("d did not pass its registration by:\n" + d.output()[-2000:])
        reedhorn = HostileReedhorn(reedhorn_path, 20000)
        reedhorn.start()
        started = time.monotonic()
        served = 0
        descriptors = 0
        failures = []
        latencies = []
        for i in range(20):
            # Each local call once a few more relay connections have come.
            if not wait_until(lambda: reedhorn.accepted >= 2 + 5 * i, 20):
                raise FaultFailure(f"d's deliveries stalled at {reedhorn.accepted} relay connections")
            try:
                reply, _ = d.call("gossip.inject", {"topic": "data", "key": f"d.{i}", "payload": i})
                if reply.get("result", {}).get("result") == "Accepted":
                    served += 1
                reply, took = d.call("health.liveness")
                latencies.append(took)
                if reply.get("result") != {"alive": True}:
                    failures.append(f"liveness answered {reply}")
            except (OSError, FaultFailure, ValueError) as e:
                failures.append(repr(e))
            descriptors = max(descriptors, d.descriptors())
        elapsed = time.monotonic() - started
        out = d.output()
        warnings = out.count("Gossip spread failed (TCP + relay)")
        report["hostile reedHorn: d's local calls served"] = f"{served} of 20"
        report["hostile reedHorn: d liveness"] = figures(latencies)
        report["hostile reedHorn: d descriptors (peak sampled, limit 1024)"] = descriptors
        report["hostile reedHorn: relay connections open at once (peak)"] = reedhorn.peak
        report["hostile reedHorn: relay connections in all"] = reedhorn.accepted
        report["hostile reedHorn: failed-delivery WARN lines"] = f"{warnings} in {elapsed:.1f} s"
        left_out = [line for line in out.splitlines() if "the rest are left out" in line]
        report["hostile reedHorn: d's peer cap"] = left_out[0].split(": ", 1)[1] if left_out else "not logged"
        if failures or served != 20:
            raise FaultFailure("d missed local calls: " + "; ".join(failures[:5]))
        if "Accept error" in out:
            raise FaultFailure("d's listener ran out of descriptors")
        if reedhorn.peak > SWEEP_DELIVERIES + 1:  # the relays and a sweep's "mesh.peers"
            raise FaultFailure(f"d ran {reedhorn.peak} deliveries at once")
        if not left_out:
            raise FaultFailure(f"d took more than {REEDHORN_PEERS} peers without a word")
        status = d.stop()
        report["exit status (d)"] = status
        if status != 0:
            raise FaultFailure(f"d exited with {status}")
    finally:
        if d.process is not None and d.process.poll() is None:
            d.process.kill()
            d.process.wait()
        if reedhorn is not None:
            reedhorn.stop()


def silent_thornkit_phase(root, binary, report, seconds, measure_only=False):
    """A gate e whose thornKit accepts and never answers, so that every entry it receives
    waits out its 500 ms, while a peer sends it 1,000 entries every second and gives up on
    each batch after 3 s. The batches of senders that have gone must stop: e's checks in
    progress, descriptors and memory stay bounded, and end soon after the peer stops."""
    thornkit_path = os.path.join(root, "tk.sock")
    thornkit = SilentThornkit(thornkit_path)
    thornkit.start()
    e = Gate(root, "e", binary, env={"QUILLFERN_THORNKIT_SOCK": thornkit_path})
    peer = None
    try:
        e.start()
        baseline = e.descriptors()
        peer = GivingUpPeer(e, 1000)
        peer.start()
        samples = []
        started = time.monotonic()
        while time.monotonic() - started < seconds:
            time.sleep(1.0)
            samples.append((time.monotonic() - started, thornkit.held(), e.descriptors(), rss_kib(e.process.pid)))
        peer.stop()
        stopped = time.monotonic()
        ended = wait_until(lambda: thornkit.held() == 0 and e.descriptors() <= baseline + 1, 10, step=0.05)
        report["silent thornKit: batches sent (answered)"] = f"{peer.sent} ({peer.answered})"
        report["silent thornKit: checks in progress (peak)"] = max(s[1] for s in samples)
        report["silent thornKit: e descriptors (baseline, peak)"] = f"{baseline}, {max(s[2] for s in samples)}"
        report["silent thornKit: e RSS MiB (first, peak, last)"] = (
            f"{samples[0][3] / 1024:.1f}, {max(s[3] for s in samples) / 1024:.1f}, {samples[-1][3] / 1024:.1f}")
        report["silent thornKit: per second (s, checks, descriptors, RSS KiB)"] = " ".join(
            f"{t:.0f}:{held}/{fds}/{rss}" for t, held, fds, rss in samples)
        report["silent thornKit: seconds until e's checks ended"] = (
            f"{time.monotonic() - stopped:.2f}" if ended else "not within 10")
        out = e.output()
        stops = out.count("sender has gone")
        report["silent thornKit: batches stopped for a gone sender (WARN)"] = stops
        if measure_only:
            return
        if not ended:
            raise FaultFailure(f"e still checks {thornkit.held()} entries of gone senders")
        if max(s[1] for s in samples) > 6:
            raise FaultFailure(f"e checked {max(s[1] for s in samples)} entries at once")
        if stops < peer.sent - 2:
            raise FaultFailure(f"e stopped {stops} of {peer.sent} batches of gone senders")
        status = e.stop()
        report["exit status (e)"] = status
        if status != 0:
            raise FaultFailure(f"e exited with {status}")
    finally:
        if peer is not None:
            peer.running = False
        if e.process is not None and e.process.poll() is None:
            e.process.kill()
            e.process.wait()
        thornkit.stop()


class SilentPeer(threading.Thread):
    """A peer on a TCP port that reads every batch and never answers, holding each
    connection until its client closes it; counts the connections open at once, as seen
    at each accept (one whose client has closed it no longer counts)."""

    def __init__(self):
        super().__init__(daemon=True)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.open = []
        self.peak = 0
        self.accepted = 0

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def run(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                poller = select.poll()
                for other in self.open:
                    poller.register(other, select.POLLRDHUP)
                closed = {fd for fd, _ in poller.poll(0)}
                self.open = [other for other in self.open if other.fileno() not in closed]
                self.open.append(conn)
                self.accepted += 1
                self.peak = max(self.peak, len(self.open))
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass
        with self.lock:
            if conn in self.open:
                self.open.remove(conn)
        conn.close()

    def stop(self):
        self.listener.close()


def spread_line(prefix, count, sender, serial):
    now = int(time.time())
    entries = [{"created_at_epoch": now, "expires_at_epoch": now + 600, "key": f"{prefix}.{serial}.{i}",
                "nonce": f"{prefix}-{serial}-{i}", "origin_gate": sender, "payload": {"n": i}, "topic": "data",
                "ttl": 3, "version": 1} for i in range(count)]
    return json.dumps({"id": serial, "jsonrpc": "2.0", "method": "gossip.spread",
                       "params": {"entries": entries, "from": sender}}, separators=(",", ":")).encode() + b"\n"


def silent_peer_phase(root, binary, report):
    """A gate f whose peers are a silent one (listed first) and a good one: every entry
    injected into f reaches the good peer within about a spread interval, while the silent
    peer holds one delivery at a time for its 3 s."""
    silent = SilentPeer()
    silent.start()
    good = ListeningPeer("f")
    good.start()
    f = Gate(root, "f", binary)
    f.peers = [silent.address, good.address]
    try:
        f.start()
        keys = [f"f.{i}" for i in range(10)]
        latencies = []
        for key in keys:
            f.call("gossip.inject", {"topic": "data", "key": key, "payload": 1})
            started = time.monotonic()
            if not wait_until(lambda: key in good.keys, 10):
                raise FaultFailure(f"{key} did not reach f's good peer beside a silent one")
            latencies.append(time.monotonic() - started)
        report["silent peer: f's good peer, inject to arrival"] = figures(latencies)
        report["silent peer: its deliveries (open at once, peak)"] = f"{silent.accepted} ({silent.peak})"
        if silent.peak > 1:
            raise FaultFailure(f"f held {silent.peak} deliveries to its silent peer at once")
        if max(latencies) > 3 * SPREAD_INTERVAL:
            raise FaultFailure(f"the silent peer held f's good peer back ({max(latencies):.2f} s)")
        status = f.stop()
        report["exit status (f)"] = status
        if status != 0:
            raise FaultFailure(f"f exited with {status}")
    finally:
        if f.process is not None and f.process.poll() is None:
            f.process.kill()
            f.process.wait()
        silent.stop()
        good.stop()


def flooding_peer_phase(root, binary, report, seconds=6.0):
    """A gate g fed by a flooding peer (batches of 1,000 entries as fast as g takes them,
    on four connections) beside a good peer (a batch of 5 entries a second, waiting for
    each reply): the good peer's batches are all answered and taken in, and g's local
    calls are served. How fairly the two share g's store is the store's; the figures are
    printed."""
    g = Gate(root, "g", binary)
    running = True
    flood_batches = [0]
    good_answers = []
    failures = []

    def flood():
        serial = 0
        try:
            with socket.create_connection(("127.0.0.1", g.port), timeout=30) as s:
                s.sendall(b"\xec\x01")
                reader = s.makefile("rb")
                while running:
                    serial += 1
                    s.sendall(spread_line("flood", 1000, "flooder", serial))
                    if not reader.readline():
                        return
                    flood_batches[0] += 1
        except OSError:
            pass

    def good_peer():
        serial = 0
        with socket.create_connection(("127.0.0.1", g.port), timeout=30) as s:
            s.sendall(b"\xec\x01")
            reader = s.makefile("rb")
            while running:
                serial += 1
                started = time.monotonic()
                s.sendall(spread_line("good", 5, "good-peer", serial))
                reply = reader.readline()
                if not reply:
                    failures.append("the good peer's connection closed")
                    return
                good_answers.append((serial, time.monotonic() - started, json.loads(reply)["result"]))
                time.sleep(SPREAD_INTERVAL)

    try:
        g.start()
        threads = [threading.Thread(target=flood, daemon=True) for _ in range(4)]
        threads.append(threading.Thread(target=good_peer, daemon=True))
        for t in threads:
            t.start()
        latencies = []
        started = time.monotonic()
        while time.monotonic() - started < seconds:
            try:
                _, took = g.call("health.liveness", timeout=5.0)
                latencies.append(took)
            except (OSError, FaultFailure, ValueError) as e:
                failures.append(repr(e))
            time.sleep(0.1)
        running = False
        for t in threads:
            t.join(10)
        taken = sum(r["accepted"] for _, _, r in good_answers)
        present = sum(1 for serial, _, _ in good_answers[:3] if g.has_key(f"good.{serial}.0"))
        report["flooding peer: flood batches answered"] = flood_batches[0]
        report["flooding peer: good batches answered (entries accepted)"] = f"{len(good_answers)} ({taken})"
        report["flooding peer: good peer's reply time"] = figures([t for _, t, _ in good_answers])
        report["flooding peer: g liveness"] = figures(latencies)
        report["flooding peer: good entries found in g (of the first 3 batches)"] = present
        if failures:
            raise FaultFailure("beside the flood: " + "; ".join(failures[:5]))
        if not good_answers:
            raise FaultFailure("the good peer got no answer beside the flood")
        status = g.stop()
        report["exit status (g)"] = status
        if status != 0:
            raise FaultFailure(f"g exited with {status}")
    finally:
        running = False
        if g.process is not None and g.process.poll() is None:
            g.process.kill()
            g.process.wait()


def figures(samples):
    if not samples:
        return "no samples"
    ms = sorted(x * 1000 for x in samples)
    p99 = ms[min(len(ms) - 1, int(len(ms) * 0.99))]
    return f"n={len(ms)} p50={statistics.median(ms):.2f} ms p99={p99:.2f} ms max={ms[-1]:.2f} ms"


def run(binary, stop_seconds, silent_seconds):
    root = tempfile.mkdtemp(prefix="qf-faults-")
    gates = {name: Gate(root, name, binary) for name in ("a", "b", "c")}
    a, b, c = gates["a"], gates["b"], gates["c"]
    for gate in gates.values():
        gate.peers = [other.address for other in gates.values() if other is not gate]
    listening = ListeningPeer("a")
    listening.start()
    a.peers.append(listening.address)
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

        prober.phase = "hostile peer"
        hostile_peer_phase(a, c, listening, report)
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
        for phase in ("baseline", "faults", "after", "hostile peer"):
            report[f"a liveness ({phase})"] = figures(prober.latencies.get(phase, []))

        statuses = {name: gates[name].stop() for name in ("a", "c")}
        report["exit statuses (a, c)"] = f"{statuses['a']}, {statuses['c']}"
        if statuses != {"a": 0, "c": 0}:
            raise FaultFailure(f"exit statuses {statuses}")

        hostile_reedhorn_phase(root, binary, report)
        silent_thornkit_phase(root, binary, report, silent_seconds)
        silent_peer_phase(root, binary, report)
        flooding_peer_phase(root, binary, report)
    finally:
        if prober is not None:
            prober.running = False
        for gate in gates.values():
            if gate.process is not None and gate.process.poll() is None:
                gate.process.send_signal(signal.SIGCONT)
                gate.process.kill()
                gate.process.wait()
        listening.stop()
        for name, value in report.items():
            print(f"{name}: {value}")
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--stop-seconds", type=float, default=6.0)
    parser.add_argument("--silent-thornkit-seconds", type=float, default=12.0)
    parser.add_argument("--measure-silent-thornkit", action="store_true",
                        help="only run gate e against the silent thornKit and print its figures")
    args = parser.parse_args()
    if args.measure_silent_thornkit:
        root = tempfile.mkdtemp(prefix="qf-faults-")
        report = {}
        try:
            silent_thornkit_phase(root, args.binary, report, args.silent_thornkit_seconds, measure_only=True)
        finally:
            for name, value in report.items():
                print(f"{name}: {value}")
            shutil.rmtree(root, ignore_errors=True)
        return 0
    try:
        run(args.binary, args.stop_seconds, args.silent_thornkit_seconds)
    except FaultFailure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1
    print("mesh faults: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
