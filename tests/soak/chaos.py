#!/usr/bin/env python3
"""Chaos soak of the site daemon: one klx-host polling 16 devices on 4 simulated lines (klx-sim
--listen, every line fault the simulator has at a low rate), publishing to a real mosquitto,
serving HTTP, keeping the database and the cache, while a driver injects at random: broker
restarts, HTTP floods and slow clients, SIGKILL and restart of klx-host, wall-clock steps
(libfaketime, the monotonic clock left alone) and a full disk under the database. As root the
database lives on a small tmpfs of its own, filled up to the last byte (while the host runs, or
before it starts); otherwise a restarted host gets a file-size limit (RLIMIT_FSIZE) just above
the database's size.

The oracle knows the alarm transitions the simulators cause: every device stops its module 1 for
a while at times of the schedule written here (a module running alarm raised, then cleared). At
the end each (device, alarm) must show exactly that sequence in the database's alarm_events and
at an MQTT subscriber (persistent session, QoS 1), after de-duplication: by the payload's "seq"
when there is one, else by collapsing repeats of the same state (retained copies sent again).
At quiet moments (no injection under way, the host and the broker up for a while) what the
subscriber holds (the last value of each value/ topic) is compared with the host's model as
/api/state serves it: discrete values (counts, states, alarm and switch bytes, which modules and
panels there are) exactly, measured values within their deadband; module 1's state also with the
schedule. RSS and descriptors are sampled; PRAGMA integrity_check runs after every kill.

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
full_disks = {"while running": 0, "at start": 0}
full_disk_exits = 0
procs = []
hosts = []
mounts = []
DISK_MB = 64  # the database's own file system, as root: far above what a run writes


class Disk:
    """The database's file system: a tmpfs of its own as root (filled to provoke a full disk),
    else the work folder (a file-size limit on a restarted host stands in for a full disk)."""

    def __init__(self):
        self.own = os.geteuid() == 0
        self.dir = os.path.join(work, "dbfs")
        os.makedirs(self.dir)
        if self.own:
            subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={DISK_MB}m", "tmpfs", self.dir],
                           check=True)
            mounts.append(self.dir)
        self.filler = os.path.join(self.dir, "filler")

    def fill(self):
        # Large blocks, then pages: a tmpfs hands out whole pages, so none is left after that.
        with open(self.filler, "ab", buffering=0) as f:
            for block in (1 << 20, 4096):
                try:
                    while f.write(b"\0" * block):
                        pass
                except OSError:
                    pass

    def free(self):
        if os.path.exists(self.filler):
            os.remove(self.filler)


def unmount_all():
    for m in mounts:
        subprocess.run(["umount", "-l", m], check=False)
    mounts.clear()


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
    def __init__(self, ports, broker_port, disk):
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
        self.db = os.path.join(disk.dir, "history.db")
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

    def alive(self):
        return self.p.poll() is None

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


def http_fetch(port, path, timeout=5):
    """The whole answer to one GET (the server closes after it); OSError when it fails."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
                  .encode())
        data = b""
        while True:
            c = s.recv(65536)
            if not c:
                return data
            data += c
    finally:
        s.close()


def http_get(port, path="/metrics", timeout=5):
    try:
        return http_fetch(port, path, timeout)[:12].decode(errors="replace")
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


# Default deadbands (docs/mqtt.md) plus half the published rounding step, by quantity.
BANDS = {"ac_voltage": (1.0, 0, 0.05), "dc_voltage": (0.2, 0, 0.005),
         "frequency": (0.05, 0, 0.005), "current": (0.5, 2, 0.005)}
MARGIN = 10  # s around an episode's edges in which module 1 may show either state


class Held:
    """What the oracle subscriber holds: the last payload of each topic, read from its log."""

    def __init__(self, path):
        self.path, self.offset, self.topics = path, 0, {}

    def update(self):
        with open(path_or_empty(self.path), "rb") as f:
            f.seek(self.offset)
            data = f.read()
        end = data.rfind(b"\n") + 1
        self.offset += end
        for line in data[:end].decode(errors="replace").splitlines():
            topic, _, payload = line.partition(" ")
            self.topics[topic] = "" if payload == "(null)" else payload  # a deleted value


def path_or_empty(path):
    return path if os.path.exists(path) else os.devnull


def api_state(port):
    try:
        head, _, body = http_fetch(port, "/api/state").partition(b"\r\n\r\n")
        return json.loads(body) if head.startswith(b"HTTP/1.1 200") else None
    except (OSError, ValueError):
        return None


def model_points(st):
    """The value/ objects the host publishes for one device's /api/state, with their quantity:
    None for a discrete value, else the quantity of its deadband. Absent values are None."""
    out = {}
    for i, line in enumerate(st.get("acChannel", [])):
        for ph in "abc":
            if ph in line:
                out[f"ac{i + 1}_{ph}"] = (line[ph], "ac_voltage")
        out[f"ac{i + 1}_f"] = (line["f"], "frequency")
    for i, b in enumerate(st.get("ac", {}).get("airlock", [])):
        out[f"sw{i + 1}"] = (b, None)
    out["rc_voltage"] = (st["rc_voltage"], "dc_voltage")
    out["rc_current"] = (st["rc_current"], "current")
    out["rc_count"] = (st["rc_channel_count"], None)
    for i, m in enumerate(st["rcChannel"]):
        out[f"rc{i + 1}_current"] = (m["current"], "current")
        out[f"rc{i + 1}_state"] = (m["state"], None)
        out[f"rc{i + 1}_alarm"] = (m["alarm"], None)
    for n, key in ((1, "dc"), (2, "dc_2")):
        if key in st:
            out[f"dc{n}_voltage"] = (st[key]["voltage"], "dc_voltage")
            out[f"dc{n}_current"] = (st[key]["current"], "current")
            out[f"dc{n}_alarm"] = (st[key]["alarm"], None)
    return out


def agrees(model, quantity, held):
    if held is None or held == "":
        return False
    if model is None:
        return held == "None"
    if quantity is None:
        return str(model) == held
    try:
        h = float(held)
    except ValueError:
        return False
    absolute, pct, rounding = BANDS[quantity]
    return abs(model - h) <= max(absolute, abs(h) * pct / 100) + rounding + 1e-6


def module1_expected(data_id, sim_time, expected):
    """running / off from the schedule, or None within MARGIN of an edge."""
    state = "running"
    for (event, t) in expected[data_id]:
        if abs(sim_time - t) < MARGIN:
            return None
        if t <= sim_time:
            state = "off" if event == "raise" else "running"
    return state


class Oracle:
    """Compares, at quiet moments, the subscriber's values with the host's model."""

    def __init__(self, held, expected, t0):
        self.held, self.expected, self.t0 = held, expected, t0
        self.checks = self.compared = self.skipped = self.schedule_checked = 0
        self.mismatches = []

    def check(self, host, prefix="klx/chaos"):
        before = api_state(host.http)
        time.sleep(3)  # a round or more, and its messages at the subscriber
        self.held.update()
        after = api_state(host.http)
        if not before or not after:
            return
        self.checks += 1
        sim_time = time.time() - self.t0
        for data_id, st in after.items():
            old = before.get(data_id)
            if not st or not old or "rcChannel" not in st or "rcChannel" not in old:
                continue
            now, was = model_points(st), model_points(old)
            topic = f"{prefix}/{data_id}/value/"
            for obj, (value, quantity) in now.items():
                if quantity is None and was.get(obj, (None,))[0] != value:
                    self.skipped += 1  # changed meanwhile: not a quiet value
                    continue
                self.compared += 1
                held = self.held.topics.get(topic + obj)
                ok = agrees(value, quantity, held) or (
                    quantity is not None and obj in was and agrees(was[obj][0], quantity, held))
                if not ok:
                    self.mismatches.append(f"{data_id}/{obj}: model {value}, held {held!r}")
            # Modules and panels that are not there hold no value (deleted: empty payload).
            for gone in [f"rc{n}_state" for n in range(len(st["rcChannel"]) + 1, 13)] + \
                        [f"dc{n}_voltage" for n in (1, 2) if f"dc{n}_voltage" not in now]:
                self.compared += 1
                if self.held.topics.get(topic + gone, ""):
                    self.mismatches.append(f"{data_id}/{gone}: not in the model, held "
                                           f"{self.held.topics[topic + gone]!r}")
            # Fresh rounds only: the simulator's schedule for module 1.
            want = module1_expected(int(data_id), sim_time, self.expected)
            if want and st.get("round", 0) > old.get("round", 0):
                self.schedule_checked += 1
                got = st["rcChannel"][0]["state"]
                if got != want:
                    self.mismatches.append(f"{data_id}/rc1_state: schedule {want}, model {got}")


QUIET = 20  # s the host and the broker must have been up before a comparison


def main():
    t0 = time.time()
    ports, expected = start_sims()
    broker = Broker()
    procs.append(broker)
    sub = Subscriber(broker.port)
    disk = Disk()
    host = Host(ports, broker.port, disk)
    hosts.append(host)
    oracle = Oracle(Held(sub.out), expected, t0)
    deadline = t0 + MINUTES * 60 - SETTLE
    probes, integrity_fail, steps = [], 0, 0.0
    global full_disk_exits
    broker_up = time.time()
    while time.time() < deadline:
        time.sleep(rng.uniform(3, 12))
        host.sample()
        if host.alive() and time.time() - max(host.started, broker_up) > QUIET:
            oracle.check(host)
        kind = rng.choice(list(counts))
        counts[kind] += 1
        if kind == "broker_restart":
            broker.restart()
            broker_up = time.time()
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
        elif kind == "full_disk" and disk.own:
            # Filled under a running host, or before it starts: either way it polls and
            # publishes on, and what it could not write goes in once there is room.
            at_start = rng.random() < 0.5
            full_disks["at start" if at_start else "while running"] += 1
            if at_start:
                host.kill()
                if integrity(host.db) != "ok":
                    integrity_fail += 1
            disk.fill()
            if at_start:
                host.start()
            time.sleep(rng.uniform(10, 30))
            if not host.alive():
                print(f"klx-host ended on a full disk with {host.p.returncode}", file=sys.stderr)
                full_disk_exits += 1
            disk.free()
        elif kind == "full_disk":
            full_disks["at start"] += 1
            host.kill()
            size_kb = os.path.getsize(host.db) // 1024 + 8
            host.start(fsize_kb=size_kb)
            time.sleep(rng.uniform(10, 30))
            if not host.alive():
                full_disk_exits += 1
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
    oracle.check(host)  # the stable moment at the end: every episode over, the host settled
    rc = host.stop()
    real = time.time() - t0
    integrity_end = integrity(host.db)
    time.sleep(2)
    return report(expected, host, broker, sub, probes, integrity_fail, integrity_end, rc, real,
                  steps, oracle)


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
        if "seq" not in p and (seq[-1] if seq else "clear") == event:
            continue  # a retained copy sent again, or the inactive state announced at start
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


def report(expected, host, broker, sub, probes, integrity_fail, integrity_end, rc, real, steps,
           oracle):
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
    disk = "its own tmpfs, filled" if mounts else "a file-size limit"
    print(f"full disks ({disk}): " + ", ".join(f"{k} {v}" for k, v in full_disks.items()) +
          f"; the host ended on one {full_disk_exits} times")
    failed = full_disk_exits > 0
    for name, got in (("database", db_sequences(host.db)), ("mqtt", mqtt_sequences(sub.out))):
        checked, lost, dup = compare(name, got, expected, elapsed)
        failed |= lost > 0 or dup > 0
        print(f"{name}: transitions checked {checked}, lost {lost}, duplicated {dup}")
    print(f"published values against the model: {oracle.checks} quiet moments, "
          f"{oracle.compared} values compared, {oracle.skipped} skipped (changed meanwhile), "
          f"module 1 against the schedule {oracle.schedule_checked}; "
          f"mismatches {len(oracle.mismatches)}")
    for m in oracle.mismatches[:20]:
        print(f"  mismatch: {m}")
    failed |= bool(oracle.mismatches)
    ok = sum(p.startswith("HTTP/1.1 200") for p in probes)
    print(f"http probes during floods: {ok} of {len(probes)} answered 200")
    s = host.samples
    if s:
        print(f"last klx-host: RSS {s[0][1]} -> {s[-1][1]} kB, descriptors {s[0][2]} -> {s[-1][2]}"
              f" over {s[-1][0] - s[0][0]:.0f} s")
    print(f"integrity_check after kills: {integrity_fail} failed; at the end: {integrity_end}; "
          f"last stop exit {rc}")
    failed |= integrity_fail > 0 or integrity_end != "ok"
    print("chaos soak: " + ("FAILED" if failed else "passed"))
    return 1 if failed else 0


if __name__ == "__main__":
    status = 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # clean-up (the tmpfs) runs too
    try:
        status = main()
    finally:
        for h in hosts:
            if h.p.poll() is None:
                h.kill()
        for p in procs:
            try:
                (p.p if isinstance(p, Broker) else p).kill()
            except (OSError, AttributeError):
                pass
        unmount_all()  # after the host, which holds the database open
    sys.exit(status)
