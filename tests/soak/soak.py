#!/usr/bin/env python3
"""Soak run of the quillFern server: many loopback clients for a bounded time.

Starts the server on a Unix socket in a fresh temporary runtime directory and drives it
with a mix of clients: pipelined valid requests, malformed lines, invalid UTF-8, deep
nesting, huge lines near the 64 MiB limit (and one past it), slow clients that send one
byte at a time, clients that connect and vanish, gossip.spread batches, and hostile
cases: second instances started on the same runtime directory, requests with huge ids,
big lines sent while fresh connections probe for liveness, requests whose params build
thirty times their text (probing liveness beside each), and clients that ask for whole
topics and never read the replies. Every second
it samples the server's RSS and open descriptors and checks that a fresh connection gets
its health.liveness answer within one second.

It fails when the server dies, misses a liveness answer, answers a request wrongly, ends
with more descriptors open than before the load, or its RSS keeps growing after the
warm-up; it ends the server with SIGTERM and requires exit status 0.

Standard library only. Usage: soak.py --binary PATH [--seconds N] [--clients N]
"""

import argparse
import json
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1024 * 1024
LINE_LIMIT = 64 * MIB
TOPICS = ("varne", "data", "compute")
PEERS = [f"soak-peer-{i}" for i in range(20)]
KEYS_PER_TOPIC = 400  # well below the topic capacity: the store's size settles early


class Counters:
    def __init__(self):
        self.lock = threading.Lock()
        self.values = {}

    def add(self, name, n=1):
        with self.lock:
            self.values[name] = self.values.get(name, 0) + n

    def get(self, name):
        with self.lock:
            return self.values.get(name, 0)

    def record_max(self, name, value):
        with self.lock:
            self.values[name] = max(self.values.get(name, 0), value)


class SoakFailure(Exception):
    pass


class LateNegotiation(Exception):
    """The client itself was too slow to send its negotiation line."""


# The server's negotiation time limit is 100 ms; a client slower than this share of it to
# connect and send its line may rightly see its line read as a request.
NEGOTIATION_SLACK = 0.05


def request(req_id, method, params=None):
    message = {"jsonrpc": "2.0", "id": req_id, "method": method}
    if params is not None:
        message["params"] = params
    return json.dumps(message, separators=(",", ":")).encode() + b"\n"


class Client:
    """One connection with a line reader over it."""

    def __init__(self, path, timeout=30.0, negotiate=True):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.buffer = b""
        if negotiate:
            started = time.monotonic()
            self.sock.connect(path)
            self.sock.sendall(b"PROTOCOLS: jsonrpc\n")
            sent_after = time.monotonic() - started
            answer = self.read_line()
            if answer != b"PROTOCOL: jsonrpc\n":
                if sent_after >= NEGOTIATION_SLACK:
                    # This client (not the server) took longer than the server's time limit to
                    # send its line: the line was read as a request, as the protocol says.
                    raise LateNegotiation()
                raise SoakFailure(f"negotiation line sent after {sent_after * 1000:.1f} ms answered {answer!r}")
        else:
            self.sock.connect(path)

    def read_line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                rest, self.buffer = self.buffer, b""
                return rest
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def at_end(self):
        """True when the server closes the stream without sending anything more."""
        try:
            return self.read_line() == b""
        except (ConnectionResetError, BrokenPipeError):
            return True

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def check_reply(line, req_id, want_result=True):
    if not line.endswith(b"\n"):
        raise SoakFailure(f"reply without its newline: {line[:200]!r}")
    try:
        reply = json.loads(line)
    except ValueError as e:
        raise SoakFailure(f"reply is not JSON ({e}): {line[:200]!r}")
    if reply.get("jsonrpc") != "2.0" or reply.get("id") != req_id:
        raise SoakFailure(f"reply envelope or id wrong (wanted id {req_id!r}): {line[:200]!r}")
    if want_result and "result" not in reply:
        raise SoakFailure(f"request answered with an error: {line[:200]!r}")
    return reply


def random_entry(rng, now):
    return {
        "topic": rng.choice(TOPICS),
        "key": f"spread-{rng.randrange(KEYS_PER_TOPIC)}",
        "payload": {"n": rng.randrange(1000), "tags": ["soak", rng.choice(("x", "y"))]},
        "origin_gate": rng.choice(PEERS),
        "nonce": f"{rng.getrandbits(64):016x}{rng.getrandbits(64):016x}",
        "ttl": rng.randrange(0, 9),
        "version": now + rng.randrange(1000),
        "created_at_epoch": now,
        "expires_at_epoch": now + rng.choice((-5, 60, 600)),
    }


def valid_request(rng, req_id, inject_only=False):
    kind = 0 if inject_only else rng.randrange(10)
    topic = rng.choice(TOPICS)
    if kind < 4:
        return request(req_id, "gossip.inject", {
            "topic": topic, "key": f"k-{rng.randrange(KEYS_PER_TOPIC)}",
            "payload": {"v": rng.random(), "s": "é✓", "n": [1, 2, {"deep": [None, True]}]}})
    if kind < 6:
        return request(req_id, "gossip.query", {"topic": topic, "key_prefix": f"k-{rng.randrange(10)}"})
    return request(req_id, rng.choice(("gossip.status", "gossip.peers", "health.liveness", "health.check",
                                       "capabilities.list", "health.readiness", "gossip.subscribe")),
                   {"topic": topic})


# ---- Scenarios: each runs one connection to its end ---------------------------------------

def scenario_valid(ctx, rng):
    client = Client(ctx.path)
    try:
        for _ in range(rng.randrange(1, 6)):
            batch = rng.randrange(1, 40)
            ids = [ctx.next_id() for _ in range(batch)]
            client.sock.sendall(b"".join(valid_request(rng, i) for i in ids))
            for i in ids:
                check_reply(client.read_line(), i)
            ctx.counters.add("requests", batch)
    finally:
        client.close()


MALFORMED = [
    b"not json at all",
    b"{",
    b"}",
    b"[]",
    b'""',
    b"\x00\x01\x02",
    b'{"jsonrpc":"2.0","id":1,"method":"no.such.method"}',
    b'{"jsonrpc":"2.0","id":1,"method":5}',
    b'{"jsonrpc":"2.0","id":1,"method":"gossip.inject","params":{"topic":"bogus","key":"k"}}',
    b'{"jsonrpc":"2.0","id":1,"method":"gossip.inject","params":{"topic":"data"}}',
    b'{"jsonrpc":"2.0","id":1,"method":"gossip.spread","params":{"entries":[1,"x",null]}}',
    b'{"jsonrpc":"2.0","id":1,"method":"gossip.query","params":[]}',
    b'{"a":1} trailing',
    b'{"a":"\\ud800"}',
    b"1e999999",
    b"   ",
    b"",
]


def scenario_malformed(ctx, rng):
    client = Client(ctx.path)
    try:
        lines = [rng.choice(MALFORMED) for _ in range(rng.randrange(1, 30))]
        client.sock.sendall(b"".join(line + b"\n" for line in lines))
        for _ in lines:
            line = client.read_line()
            try:
                reply = json.loads(line)
            except ValueError:
                raise SoakFailure(f"malformed line answered with non-JSON {line[:200]!r}")
            if "error" not in reply and "error" not in (reply.get("result") or {}):
                # A few of them are well-formed requests whose parameters are bad.
                if not isinstance(reply.get("result"), dict):
                    raise SoakFailure(f"malformed line answered oddly: {line[:200]!r}")
        ctx.counters.add("malformed", len(lines))
    finally:
        client.close()


def scenario_invalid_utf8(ctx, rng):
    client = Client(ctx.path)
    try:
        req_id = ctx.next_id()
        bad = rng.choice((b"\xff\xfe", b'{"id":1,"method":"gossip.inject","params":{"key":"\xc3\x28"}}',
                          b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"ok \xc0\xaf"))
        client.sock.sendall(request(req_id, "health.liveness") + bad + b"\n" + request(req_id + 1, "health.liveness"))
        check_reply(client.read_line(), req_id)
        if not client.at_end():
            raise SoakFailure("a line of invalid UTF-8 did not end its connection")
        ctx.counters.add("requests")
        ctx.counters.add("malformed")
    finally:
        client.close()


def scenario_deep(ctx, rng):
    client = Client(ctx.path)
    try:
        depth = rng.choice((100, 125, 126, 5000, 200000))
        req_id = ctx.next_id()
        line = (b'{"jsonrpc":"2.0","id":%d,"method":"gossip.inject","params":{"topic":"data","key":"deep",'
                b'"payload":' % req_id) + b"[" * depth + b"]" * depth + b"}}\n"
        client.sock.sendall(line)
        reply = json.loads(client.read_line())
        # The params object and the envelope add two levels to the payload's own.
        if (depth + 2 >= 128) != ("error" in reply):
            raise SoakFailure(f"nesting of {depth} levels answered {reply}")
        ctx.counters.add("malformed" if depth + 2 >= 128 else "requests")
    finally:
        client.close()


def scenario_huge(ctx, rng):
    client = Client(ctx.path, timeout=120.0)
    try:
        if rng.random() < 0.7:
            req_id = ctx.next_id()
            head = (b'{"jsonrpc":"2.0","id":%d,"method":"gossip.query","params":{"topic":"data",'
                    b'"key_prefix":"no-such-key","pad":"' % req_id)
            pad = LINE_LIMIT - len(head) - 16 - rng.randrange(MIB)
            client.sock.sendall(head + b"a" * pad + b'"}}\n')
            reply = check_reply(client.read_line(), req_id)
            if reply["result"].get("count") != 0:
                raise SoakFailure(f"huge query answered {reply}")
            ctx.counters.add("requests")
            ctx.counters.add("huge_lines")
        else:
            # One byte past the limit: the server closes the connection without a reply.
            try:
                client.sock.sendall(b"x" * (LINE_LIMIT + 1) + b"\n")
            except (BrokenPipeError, ConnectionResetError):
                pass
            if not client.at_end():
                raise SoakFailure("a line past the limit got a reply")
            ctx.counters.add("malformed")
            ctx.counters.add("over_limit_lines")
    finally:
        client.close()


def scenario_slow(ctx, rng):
    client = Client(ctx.path)
    try:
        req_id = ctx.next_id()
        for byte in request(req_id, "gossip.status"):
            client.sock.send(bytes((byte,)))
            time.sleep(0.002)
        check_reply(client.read_line(), req_id)
        ctx.counters.add("requests")
        ctx.counters.add("slow_clients")
    finally:
        client.close()


def scenario_vanish(ctx, rng):
    kind = rng.randrange(5)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(ctx.path)
        if kind == 1:
            sock.sendall(b"PROTOCOLS: json")
        elif kind == 2:
            sock.sendall(b"PROTOCOLS: jsonrpc\n" + b'{"jsonrpc":"2.0","id":1,"meth')
        elif kind == 3:
            # Requests whose replies are never read.
            sock.sendall(b"PROTOCOLS: jsonrpc\n" + b"".join(request(i, "capabilities.list") for i in range(200)))
        elif kind == 4:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            sock.sendall(b"PROTOCOLS: jsonrpc\n" + request(1, "gossip.status"))
        ctx.counters.add("vanished")
    finally:
        sock.close()


def scenario_spread(ctx, rng, peer=None):
    client = Client(ctx.path)
    try:
        now = int(time.time())
        for _ in range(rng.randrange(1, 4)):
            entries = [random_entry(rng, now) for _ in range(rng.randrange(1, 50))]
            req_id = ctx.next_id()
            client.sock.sendall(request(req_id, "gossip.spread", {"from": peer or rng.choice(PEERS), "entries": entries}))
            result = check_reply(client.read_line(), req_id)["result"]
            if result.get("accepted", -1) + result.get("rejected", -1) != len(entries):
                raise SoakFailure(f"spread of {len(entries)} entries answered {result}")
            ctx.counters.add("requests")
            ctx.counters.add("spread_batches")
            ctx.counters.add("spread_entries", len(entries))
    finally:
        client.close()


def scenario_silent_start(ctx, rng):
    # No negotiation line: after the time limit the first request line is served as such.
    client = Client(ctx.path, negotiate=False)
    try:
        # The server's 100 ms start when its worker first runs the connection: on a busy
        # machine that can be a good while after the connect.
        time.sleep(0.5)
        req_id = ctx.next_id()
        client.sock.sendall(request(req_id, "health.readiness"))
        check_reply(client.read_line(), req_id)
        ctx.counters.add("requests")
    finally:
        client.close()


# ---- Hostile cases: a second instance, huge ids, big lines beside liveness probes -------------

def scenario_second_instance(ctx, rng):
    """A second server started on the same runtime directory must find the first one's
    socket answering, leave it, and end with status 1 and the address-in-use report."""
    try:
        second = subprocess.run([ctx.binary, "--gossip-port", "0"], env=ctx.env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=30)
    except subprocess.TimeoutExpired:
        raise SoakFailure("a second instance on the same runtime directory kept running")
    if second.returncode != 1 or second.stderr != b"Error: Address already in use (os error 98)\n":
        raise SoakFailure(f"second instance ended with status {second.returncode}: {second.stderr[:200]!r}")
    if liveness_latency(ctx.path, ctx.next_id()) is None:
        raise SoakFailure("no health.liveness answer from the first instance after a second one started")
    ctx.counters.add("second_instances")


def scenario_huge_ids(ctx, rng):
    """Ids of every size and odd content come back unchanged, on results and errors alike."""
    client = Client(ctx.path, timeout=60.0)
    try:
        kind = rng.randrange(3)
        if kind == 0:
            req_id = "i" * rng.randrange(MIB, 8 * MIB)
        elif kind == 1:
            req_id = rng.choice([2**64 - 1, -(2**63), 0])
        else:
            # Controls and line separators that must never reach a log or a reply raw.
            req_id = "".join(rng.choice("ab\x1b\x0b\u2028\u2029\u0085\x00\n\"\\") for _ in range(4096))
        known = rng.random() < 0.5
        client.sock.sendall(request(req_id, "health.liveness" if known else "no.such.method"))
        reply = check_reply(client.read_line(), req_id, want_result=known)
        if not known and reply.get("error", {}).get("code") != -32601:
            raise SoakFailure(f"unknown method with a huge id answered {str(reply)[:200]}")
        ctx.counters.add("requests")
        ctx.counters.add("huge_ids")
    finally:
        client.close()


def scenario_big_line_beside_probes(ctx, rng):
    """One connection sends a big request line while fresh connections ask for liveness
    until its reply arrives: every probe must be answered within the soak's 1 s bound."""
    client = Client(ctx.path, timeout=120.0)
    try:
        req_id = ctx.next_id()
        head = b'{"jsonrpc":"2.0","id":%d,"method":"gossip.query","params":{"topic":"data","key_prefix":"none",' % req_id
        if rng.random() < 0.5:
            pad = b'"pad":"' + b"p" * rng.randrange(16 * MIB, 48 * MIB) + b'"'
        else:
            pad = b'"pad":[' + b"0," * rng.randrange(MIB, 3 * MIB) + b'0]'
        line = head + pad + b"}}\n"
        sender = threading.Thread(target=client.sock.sendall, args=(line,), daemon=True)
        sender.start()
        probes = 0
        while sender.is_alive() or probes == 0:
            latency = liveness_latency(ctx.path, ctx.next_id())
            if latency is None:
                raise SoakFailure(f"no health.liveness answer within 1 s beside a {len(line) // MIB} MiB line")
            ctx.note_probe_beside_big_line(latency)
            probes += 1
        sender.join()
        check_reply(client.read_line(), req_id)
        ctx.counters.add("requests")
        ctx.counters.add("big_lines_beside_probes")
        ctx.counters.add("probes_beside_big_lines", probes)
    finally:
        client.close()


def scenario_amplifying(ctx, rng):
    """A request whose params [{},{},...] build some thirty times their text (an inject's
    payload is kept as text and would not): the server closes that connection with a
    warning of its own instead of running out of memory, and a liveness probe on another
    connection is answered while the line is read."""
    size = rng.choice((24, 60)) * MIB
    req_id = ctx.next_id()
    line = (b'{"jsonrpc":"2.0","id":%d,"method":"gossip.query","params":{"topic":"data","pad":[' % req_id
            + b"{}," * (size // 3) + b"{}]}}\n")
    client = Client(ctx.path, timeout=120.0)
    try:
        try:
            client.sock.sendall(line)
        except (BrokenPipeError, ConnectionResetError):
            pass
        latency = liveness_latency(ctx.path, ctx.next_id())
        if latency is None:
            raise SoakFailure("no health.liveness answer within 1 s beside an amplifying request")
        ctx.counters.record_max("big_line_probe_seconds", latency)
        if not client.at_end():
            raise SoakFailure("an amplifying request got a reply")
        ctx.counters.add("malformed")
        ctx.counters.add("amplifying_requests")
    finally:
        client.close()


def scenario_non_reader(ctx, rng):
    """Full-topic queries of every topic whose replies are never read: the server keeps a
    chunk of each reply, not the whole of it, while it waits for the client."""
    client = Client(ctx.path)
    try:
        client.sock.sendall(b"".join(request(ctx.next_id(), "gossip.query", {"topic": topic})
                                     for topic in TOPICS * 20))
        ctx.stop.wait(rng.uniform(1.0, 3.0))
        ctx.counters.add("non_readers")
    finally:
        client.close()


# Run one at a time by a client of their own: each makes the server build or hold a lot.
HOSTILE_SCENARIOS = [scenario_amplifying, scenario_non_reader]

SCENARIOS = [
    (scenario_valid, 40),
    (scenario_malformed, 12),
    (scenario_invalid_utf8, 6),
    (scenario_deep, 5),
    (scenario_slow, 3),
    (scenario_vanish, 12),
    (scenario_spread, 15),
    (scenario_silent_start, 2),
    (scenario_second_instance, 1),
    (scenario_huge_ids, 2),
    (scenario_big_line_beside_probes, 1),
]


class Context:
    def __init__(self, path, deadline):
        self.path = path
        self.deadline = deadline
        self.counters = Counters()
        self.failures = []
        self.stop = threading.Event()
        self._id = 0
        self._id_lock = threading.Lock()
        self.binary = None  # the server binary and its environment, for a second instance
        self.env = None
        self.worst_probe_beside_big_line = 0.0

    def note_probe_beside_big_line(self, latency):
        with self._id_lock:
            self.worst_probe_beside_big_line = max(self.worst_probe_beside_big_line, latency)

    def next_id(self):
        with self._id_lock:
            self._id += 2
            return self._id

    def fail(self, message):
        self.failures.append(message)
        self.stop.set()


def worker(ctx, seed, huge, hostile=False):
    rng = random.Random(seed)
    functions = [f for f, _ in SCENARIOS]
    weights = [w for _, w in SCENARIOS]
    while not ctx.stop.is_set() and time.monotonic() < ctx.deadline:
        if hostile:
            scenario = rng.choice(HOSTILE_SCENARIOS)
        else:
            scenario = scenario_huge if huge else rng.choices(functions, weights)[0]
        try:
            scenario(ctx, rng)
            ctx.counters.add("connections")
        except LateNegotiation:
            ctx.counters.add("late_negotiations")
        except SoakFailure as e:
            ctx.fail(f"{scenario.__name__}: {e}")
        except (OSError, ValueError) as e:
            ctx.fail(f"{scenario.__name__}: {type(e).__name__}: {e}")
        if huge or hostile:
            ctx.stop.wait(3.0)


# ---- The server and its samples --------------------------------------------------------------

PENDING_CAPACITY = 65536  # forward copies the store queues at most


def prefill(ctx, threads=8):
    """Fills the store's bounded collections before anything is measured: more injects
    than the pending queue holds (each keeps a forward copy, and with it its payload, until
    a spread sweep takes it) and spread batches from every peer."""
    per_thread = PENDING_CAPACITY // threads + 2000

    def run(seed):
        rng = random.Random(1000 + seed)
        client = Client(ctx.path)
        try:
            done = 0
            while done < per_thread:
                ids = [ctx.next_id() for _ in range(min(250, per_thread - done))]
                client.sock.sendall(b"".join(valid_request(rng, i, inject_only=True) for i in ids))
                for i in ids:
                    check_reply(client.read_line(), i)
                done += len(ids)
            ctx.counters.add("prefill_requests", done)
        finally:
            client.close()
        for peer in PEERS:
            scenario_spread(ctx, rng, peer)

    workers = [threading.Thread(target=run, args=(seed,)) for seed in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def open_fds(pid):
    """Open descriptors other than event loop ones (epoll, timerfd, eventfd): each worker
    thread makes its own set when it first runs a task, which is no leak."""
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if not target.startswith("anon_inode:"):
            count += 1
    return count


def liveness_latency(path, req_id):
    """Seconds a fresh connection takes to get its health.liveness answer; None past 1 s."""
    start = time.monotonic()
    reply = None
    while reply is None:
        remaining = 1.0 - (time.monotonic() - start)
        if remaining <= 0:
            return None
        try:
            client = Client(path, timeout=remaining)
            try:
                client.sock.sendall(request(req_id, "health.liveness"))
                reply = check_reply(client.read_line(), req_id)
            finally:
                client.close()
        except LateNegotiation:
            continue  # this process was too slow to send its line; try again within the second
        except (OSError, SoakFailure):
            return None
    if reply["result"] != {"alive": True}:
        return None
    elapsed = time.monotonic() - start
    return elapsed if elapsed <= 1.0 else None


def wait_for_socket(path, server, limit=20.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if server.poll() is not None:
            raise SoakFailure(f"server exited at start-up with status {server.returncode}")
        if os.path.exists(path) and liveness_latency(path, 1) is not None:
            return
        time.sleep(0.05)
    raise SoakFailure("server did not answer on its socket")


def settle_fds(pid, baseline, limit=10.0):
    end = time.monotonic() + limit
    count = open_fds(pid)
    while count > baseline and time.monotonic() < end:
        time.sleep(0.2)
        count = open_fds(pid)
    return count


def rss_growth(samples, warmup_seconds):
    """Median RSS of the first and last fifth of the samples after the warm-up."""
    after = [rss for t, rss in samples if t >= warmup_seconds]
    if len(after) < 10:
        return None
    fifth = max(2, len(after) // 5)
    return statistics.median(after[:fifth]), statistics.median(after[-fifth:])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--no-huge", action="store_true", help="leave out the huge-line client")
    parser.add_argument("--no-hostile", action="store_true",
                        help="leave out the client of amplifying requests and unread replies")
    args = parser.parse_args()

    runtime_dir = tempfile.mkdtemp(prefix="qf-soak-", dir="/tmp")
    path = os.path.join(runtime_dir, "quillfern.sock")
    log_path = os.path.join(runtime_dir, "server.log")
    env = dict(os.environ, VELLUMAR_RUNTIME_DIR=runtime_dir, GATE_ID="soak", RUST_LOG="warn", NO_COLOR="1",
               QUILLFERN_THORNKIT_SOCK=os.path.join(runtime_dir, "no-thornkit.sock"))
    env.pop("WENDLE_BIND_MODE", None)
    env.pop("NEGOTIATE_TIMEOUT_MS", None)
    with open(log_path, "wb") as log:
        server = subprocess.Popen([args.binary, "--gossip-port", "0"], env=env, stdout=log,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    failures = []
    samples = []
    ctx = growth = worst_liveness = None
    fds_before = fds_after = peak_fds = None
    try:
        wait_for_socket(path, server)
        fds_before = open_fds(server.pid)
        ctx = Context(path, time.monotonic() + 3600)
        ctx.binary, ctx.env = args.binary, env
        prefill_started = time.monotonic()
        prefill(ctx)
        failures.extend(ctx.failures)
        print(f"prefill: {ctx.counters.get('prefill_requests')} injects in {time.monotonic() - prefill_started:.1f} s, "
              f"RSS {rss_bytes(server.pid) / MIB:.1f} MiB", flush=True)
        start = time.monotonic()
        ctx.deadline = start + args.seconds
        threads = [threading.Thread(target=worker, args=(ctx, seed, seed == 0 and not args.no_huge,
                                                         seed == 1 and not args.no_hostile), daemon=True)
                   for seed in range(args.clients)]
        for t in threads:
            t.start()

        worst_liveness = 0.0
        peak_fds = fds_before
        probe_id = 1_000_000_001
        while time.monotonic() < ctx.deadline and not ctx.stop.is_set():
            tick = time.monotonic()
            if server.poll() is not None:
                ctx.fail(f"server died with status {server.returncode}")
                break
            samples.append((tick - start, rss_bytes(server.pid)))
            peak_fds = max(peak_fds, open_fds(server.pid))
            latency = liveness_latency(path, probe_id)
            probe_id += 2
            if latency is None:
                ctx.fail(f"no health.liveness answer within 1 s at {tick - start:.0f} s")
                break
            worst_liveness = max(worst_liveness, latency)
            ctx.stop.wait(max(0.0, 1.0 - (time.monotonic() - tick)))
        ctx.stop.set()
        for t in threads:
            t.join(timeout=180)
        failures.extend(ctx.failures)

        if server.poll() is None:
            fds_after = settle_fds(server.pid, fds_before)
            if fds_after > fds_before:
                failures.append(f"descriptors leaked: {fds_before} before the load, {fds_after} after")
        else:
            fds_after = None
            failures.append(f"server died with status {server.returncode}")

        warmup = max(20.0, args.seconds * 0.25)
        growth = rss_growth(samples, warmup)
        if growth is not None:
            early, late = growth
            if late > early * 1.2 + 24 * MIB:
                failures.append(f"RSS kept growing after the warm-up: median {early / MIB:.1f} MiB "
                                f"early, {late / MIB:.1f} MiB late")
    except (SoakFailure, OSError) as e:
        failures.append(str(e))
    finally:
        status = None
        if server.poll() is None:
            server.send_signal(signal.SIGTERM)
            try:
                status = server.wait(timeout=15)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
                failures.append("server did not stop within 15 s of SIGTERM")
        else:
            status = server.returncode
        if status is not None and status != 0:
            failures.append(f"server exit status {status} (wanted 0)")

    with open(log_path, "rb") as f:
        log_lines = f.read().count(b"\n")
    print("== soak figures")
    if ctx is not None:
        c = ctx.counters
        print(f"duration: {args.seconds} s, clients: {args.clients}, connections: {c.get('connections')}")
        print(f"requests answered: {c.get('requests')}, malformed inputs: {c.get('malformed')} "
              f"(lines past the limit: {c.get('over_limit_lines')}), huge lines near the limit: "
              f"{c.get('huge_lines')}")
        print(f"spread batches: {c.get('spread_batches')} ({c.get('spread_entries')} entries), "
              f"slow clients: {c.get('slow_clients')}, vanished clients: {c.get('vanished')}, "
              f"clients too slow to negotiate: {c.get('late_negotiations')}")
        print(f"amplifying requests: {c.get('amplifying_requests')} (slowest liveness answer beside one: "
              f"{c.get('big_line_probe_seconds') * 1000:.1f} ms), clients that never read: {c.get('non_readers')}")
        print(f"second instances refused: {c.get('second_instances')}, huge ids: {c.get('huge_ids')}, "
              f"big lines beside liveness probes: {c.get('big_lines_beside_probes')} "
              f"({c.get('probes_beside_big_lines')} probes, slowest "
              f"{ctx.worst_probe_beside_big_line * 1000:.1f} ms)")
    if samples:
        print(f"RSS: start {samples[0][1] / MIB:.1f} MiB, peak {max(r for _, r in samples) / MIB:.1f} MiB, "
              f"end {samples[-1][1] / MIB:.1f} MiB")
    if growth is not None:
        print(f"RSS after warm-up (median): early {growth[0] / MIB:.1f} MiB, late {growth[1] / MIB:.1f} MiB")
    print(f"descriptors: before {fds_before}, peak {peak_fds}, after {fds_after}")
    if worst_liveness is not None:
        print(f"slowest liveness answer: {worst_liveness * 1000:.1f} ms")
    print(f"server log lines: {log_lines} ({log_path}); exit status: {status}")
    if failures:
        for failure in failures:
            print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    print("soak: passed")
    shutil.rmtree(runtime_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
