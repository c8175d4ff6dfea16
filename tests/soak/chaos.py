#!/usr/bin/env python3
"""Chaos soak of the site daemon: one klx-host polling 16 devices on 4 simulated lines (klx-sim
--listen, every line fault the simulator has at a low rate), publishing to a real mosquitto,
serving HTTP, keeping the database and the cache, while a driver injects at random: broker
restarts, HTTP floods and slow clients, SIGKILL and restart of klx-host, wall-clock steps
(libfaketime, the monotonic clock left alone) and a full disk under the database (a file-size
limit on a restarted host: RLIMIT_FSIZE, which needs no root; no file system of its own).

The oracle knows the alarm transitions the simulators cause: every device stops its module 1 for
a while at times of the schedule written here (a module running alarm raised, then cleared). At
the end each (device, alarm) must show exactly that sequence in the database's alarm_events and
at an MQTT subscriber (persistent session, QoS 1), after de-duplication: by the payload's "seq"
when there is one, else by collapsing repeats of the same state (retained copies sent again).
RSS and descriptors are sampled; PRAGMA integrity_check runs after every kill.

Not part of the test run. Usage: tests/soak/chaos.py [MINUTES] [BUILD_DIR]   (default 10, build)
"""
import json, os, random, signal, socket, sqlite3, subprocess, sys, tempfile, threading, time

MINUTES = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
BUILD = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "build")
SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINES, PER_LINE = 4, 4
ALARM = "120600690010"  # module 1 running alarm: run state 1 (off)
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
EPISODE, GAP, SETTLE = 40, 50, 25  # s: module off, then on; quiet time before the checks
FAULTS = ["no_answer", "bad_chksum", "bad_lchksum", "rtn", "garbage", "garbage_inside",
          "truncated", "slow", "split", "wrong_address"]

work = tempfile.mkdtemp(prefix="klx-chaos-")
rng = random.Random(int(os.environ.get("SEED", "7")))
counts = {k: 0 for k in ["broker_restart", "http_flood", "slow_clients", "kill_restart",
                         "clock_step", "full_disk"]}
procs = []
hosts = []


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def schedule(line):
    """Episodes per device: (address, start, end) in seconds of the simulator's own time."""
    out, t = [], 30 + 7 * line
    while t + EPISODE < MINUTES * 60 - SETTLE:
        for a in range(1, PER_LINE + 1):
            out.append((a, t + 3 * a, t + 3 * a + EPISODE))
        t += EPISODE + GAP
    return out


def start_sims():
    ports, expected = [], {}
    for line in range(LINES):
        devices = []
        episodes = schedule(line)
        for a in range(1, PER_LINE + 1):
            events = [{"at": s, "type": "module_stop", "module": 1, "duration": e - s}
                      for (ad, s, e) in episodes if ad == a]
            faults = [{"type": f, "probability": 0.01} for f in FAULTS]
            model = json.load(open(os.path.join(SRC, "sim/models/example.json")))
            model.update(seed=100 * line + a, events=events, faults=faults)
            devices.append({"address": a, "model": model})
            expected[line * PER_LINE + a] = [ev for (ad, s, e) in episodes if ad == a
                                             for ev in (("raise", s), ("clear", e))]
        path = os.path.join(work, f"line{line}.json")
        json.dump({"description": f"chaos line {line}", "devices": devices}, open(path, "w"))
        p = subprocess.Popen([f"{BUILD}/bin/klx-sim", "--model", path, "--listen", "0",
                              "--idle-timeout", "0"], stdout=subprocess.PIPE,
                             stderr=open(os.path.join(work, f"sim{line}.err"), "w"), text=True)
        procs.append(p)
        ports.append(int(p.stdout.readline()))
    return ports, expected


class Broker:
    def __init__(self):
        self.port = free_port()
        os.makedirs(os.path.join(work, "mosq"), exist_ok=True)
        self.conf = os.path.join(work, "mosquitto.conf")
        open(self.conf, "w").write(
            f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence true\n"
            f"persistence_location {work}/mosq/\nautosave_interval 1\n")
        self.p = None
        self.start()

    def start(self):
        self.p = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        time.sleep(0.3)

    def restart(self):
        self.p.terminate()
        self.p.wait()
        time.sleep(rng.uniform(0.5, 5))
        self.start()


class Subscriber:
    """QoS 1 with a persistent session: what the broker queued while it was away comes later."""

    def __init__(self, port):
        self.out = os.path.join(work, "mqtt.log")
        self.p = subprocess.Popen(
            ["mosquitto_sub", "-p", str(port), "-t", "klx/#", "-v", "-q", "1", "-c", "-i",
             "chaos-oracle"], stdout=open(self.out, "w"), stderr=subprocess.DEVNULL)
        procs.append(self.p)
        # mosquitto_sub writes each message as "TOPIC PAYLOAD" on its own line.


class Host:
    def __init__(self, ports, broker_port):
        self.cfg = os.path.join(work, "site.json")
        self.http = free_port()
        devices = [{"data_id": line * PER_LINE + a, "address": a,
                    "port": f"tcp:127.0.0.1:{ports[line]}",
                    "settings": {"appSetting": {"has_dc": 1, "b_mode": 2}},
                    "alarm_levels": {ALARM: 2}}
                   for line in range(LINES) for a in range(1, PER_LINE + 1)]
        json.dump({"http": {"listen": f"127.0.0.1:{self.http}"},
                   "mqtt": {"url": f"mqtt://127.0.0.1:{broker_port}", "site": "chaos"},
                   "devices": devices}, open(self.cfg, "w"))
        self.db = os.path.join(work, "history.db")
        self.clock = os.path.join(work, "faketime")
        open(self.clock, "w").write("+0\n")
        self.p, self.samples, self.fsize = None, [], None
        self.start()

    def start(self, fsize_kb=None):
        env = dict(os.environ, TZ="UTC")
        if os.path.exists(FAKETIME):
            env.update(LD_PRELOAD=FAKETIME, FAKETIME_TIMESTAMP_FILE=self.clock,
                       FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1")
        limit = f"ulimit -f {fsize_kb}; " if fsize_kb else ""
        self.fsize = fsize_kb
        cmd = (f"{limit}exec {BUILD}/bin/klx-host --plugin {BUILD}/lib/korvantis_419.so "
               f"--config {self.cfg} --db {self.db} --cache {work}/records.cache")
        self.err = open(os.path.join(work, "host.err"), "a")
        self.p = subprocess.Popen(["/bin/sh", "-c", cmd], env=env, stdout=subprocess.DEVNULL,
                                  stderr=self.err)
        self.started = time.time()
        self.samples = []

    def kill(self):
        self.p.send_signal(signal.SIGKILL)
        self.p.wait()

    def stop(self):
        self.p.send_signal(signal.SIGTERM)
        return self.p.wait(timeout=60)

    def sample(self):
        try:
            rss = int([l for l in open(f"/proc/{self.p.pid}/status")
                       if l.startswith("VmRSS")][0].split()[1])
            fds = len(os.listdir(f"/proc/{self.p.pid}/fd"))
            self.samples.append((time.time() - self.started, rss, fds))
        except (OSError, IndexError):
            pass


def integrity(db):
    c = sqlite3.connect(db, timeout=30)
    r = c.execute("PRAGMA integrity_check").fetchone()[0]
    c.close()
    return r


def http_get(port, path="/metrics", timeout=5):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
        data = b""
        while True:
            c = s.recv(65536)
            if not c:
                break
            data += c
        s.close()
        return data[:12].decode(errors="replace")
    except OSError as e:
        return type(e).__name__


def http_flood(port, seconds, slow):
    stop = time.time() + seconds
    def worker():
        while time.time() < stop:
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=2)
                if slow:
                    s.sendall(b"GET / HTTP/1.1\r\nX-Slow: ")
                    s.settimeout(0.5)
                    try:
                        while s.recv(100):
                            pass
                    except OSError:
                        pass
                else:
                    s.sendall(b"GET /api/status HTTP/1.1\r\nHost: localhost\r\n\r\n")
                    while s.recv(65536):
                        pass
                s.close()
            except OSError:
                time.sleep(0.05)
    ts = [threading.Thread(target=worker, daemon=True) for _ in range(40 if slow else 8)]
    for t in ts:
        t.start()
    probes = [http_get(port) for _ in range(5) if not time.sleep(seconds / 6)]
    for t in ts:
        t.join()
    return probes


def main():
    t0 = time.time()
    ports, expected = start_sims()
    broker = Broker()
    procs.append(broker)
    sub = Subscriber(broker.port)
    host = Host(ports, broker.port)
    hosts.append(host)
    deadline = t0 + MINUTES * 60 - SETTLE
    probes, integrity_fail, steps = [], 0, 0.0
    while time.time() < deadline:
        time.sleep(rng.uniform(3, 12))
        host.sample()
        kind = rng.choice(list(counts))
        counts[kind] += 1
        if kind == "broker_restart":
            broker.restart()
        elif kind in ("http_flood", "slow_clients"):
            probes += http_flood(host.http, rng.uniform(3, 8), kind == "slow_clients")
        elif kind == "clock_step":
            step = rng.choice([-3600, -60, 60, 3600, 86400])
            steps += abs(step)
            open(host.clock, "w").write(f"{'+' if step >= 0 else ''}{step}\n")
        elif kind == "kill_restart":
            host.kill()
            if integrity(host.db) != "ok":
                integrity_fail += 1
            host.start()
        elif kind == "full_disk":
            host.kill()
            size_kb = os.path.getsize(host.db) // 1024 + 8
            host.start(fsize_kb=size_kb)
            time.sleep(rng.uniform(10, 30))
            host.kill()
            if integrity(host.db) != "ok":
                integrity_fail += 1
            host.start()
        if host.p.poll() is not None:  # died by itself: a finding
            print(f"klx-host ended by itself with {host.p.returncode}", file=sys.stderr)
            host.start()
    if host.fsize:
        host.kill()
        host.start()
    time.sleep(SETTLE)
    host.sample()
    rc = host.stop()
    real = time.time() - t0
    integrity_end = integrity(host.db)
    time.sleep(2)
    report(expected, host, broker, sub, probes, integrity_fail, integrity_end, rc, real, steps)


def db_sequences(db):
    c = sqlite3.connect(db)
    out = {}
    for data_id, event in c.execute(
            "SELECT data_id, event FROM alarm_events WHERE alarm_id = ? ORDER BY id", (ALARM,)):
        out.setdefault(data_id, []).append(event)
    return out


def mqtt_sequences(path):
    out, seen_seq = {}, set()
    for line in open(path, errors="replace"):
        topic, _, payload = line.rstrip("\n").partition(" ")
        parts = topic.split("/")
        if len(parts) < 5 or parts[3] != "alarm":
            continue
        try:
            p = json.loads(payload)
        except ValueError:
            continue
        if p.get("alarm_id") != ALARM:
            continue
        data_id = int(parts[2])
        if "seq" in p:
            if (data_id, p["seq"]) in seen_seq:
                continue
            seen_seq.add((data_id, p["seq"]))
        event = "raise" if p.get("active") else "clear"
        seq = out.setdefault(data_id, [])
        if "seq" not in p and seq and seq[-1] == event:
            continue  # a retained copy sent again
        seq.append(event)
    return out


def compare(name, got, expected, elapsed):
    lost = dup = checked = 0
    for data_id, evs in expected.items():
        want = [e for (e, t) in evs if t < elapsed - SETTLE]
        have = got.get(data_id, [])
        checked += len(want)
        # Order first: what arrived must be a prefix-free interleaving of raise/clear.
        bad_order = any(have[i] == have[i + 1] for i in range(len(have) - 1))
        if have[:len(want)] != want or bad_order:
            print(f"  {name} data_id {data_id}: expected {want}, got {have}")
        lost += max(0, len(want) - len(have))
        dup += max(0, len(have) - len([e for (e, t) in evs if t < elapsed]))
    return checked, lost, dup


def report(expected, host, broker, sub, probes, integrity_fail, integrity_end, rc, real, steps):
    for p in procs:
        try:
            (p.p if isinstance(p, Broker) else p).terminate()
        except (OSError, AttributeError):
            pass
    elapsed = real  # the simulators started with the run
    print(f"chaos soak: {real / 3600:.3f} h real, simulated the same plus "
          f"{steps / 3600:.1f} h of wall-clock steps; work folder {work}")
    print("faults injected: " + ", ".join(f"{k} {v}" for k, v in counts.items()) +
          f"; line faults: {', '.join(FAULTS)} at 1 % each per answer")
    for name, got in (("database", db_sequences(host.db)), ("mqtt", mqtt_sequences(sub.out))):
        checked, lost, dup = compare(name, got, expected, elapsed)
        print(f"{name}: transitions checked {checked}, lost {lost}, duplicated {dup}")
    ok = sum(p.startswith("HTTP/1.1 200") for p in probes)
    print(f"http probes during floods: {ok} of {len(probes)} answered 200")
    s = host.samples
    if s:
        print(f"last klx-host: RSS {s[0][1]} -> {s[-1][1]} kB, descriptors {s[0][2]} -> {s[-1][2]}"
              f" over {s[-1][0] - s[0][0]:.0f} s")
    print(f"integrity_check after kills: {integrity_fail} failed; at the end: {integrity_end}; "
          f"last stop exit {rc}")


if __name__ == "__main__":
    try:
        main()
    finally:
        for h in hosts:
            if h.p.poll() is None:
                h.kill()
        for p in procs:
            try:
                (p.p if isinstance(p, Broker) else p).kill()
            except (OSError, AttributeError):
                pass
