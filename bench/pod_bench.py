#!/usr/bin/env python3
"""pod_bench.py - the node agent's pods, measured end to end with the real
parts on loopback: the API server emulator, Debian's docker-registry (the
image manager tests' fixture), ozcd and ferryService.

  bench/pod_bench.py latency [--pods 20]
      Pod start latency: from the create request to the first status with
      phase Running seen by a watch; 20 pods one after another and 20 at
      once, with the image present (pull policy IfNotPresent) and with a
      full pull (each pod its own image). Median, p90, p99, split into the
      watch delay (create to the agent's first status: its watch pacing),
      pull, unpack, create/start (the agent's debug lines) and the status
      patch (start done to Running seen), plus what is left.
  bench/pod_bench.py density [--steps 1,20,50] [--idle 120]
      1, 20, 50 busybox sleep pods: time until all run, resident memory and
      threads of ferryService and ozcd at each step, and ferryService's CPU
      over --idle seconds with 20 pods.
  bench/pod_bench.py churn [--cycles 200]
      Create/delete cycles of one pod; mounts, namespace pins, message
      queues, bundles, file descriptors, processes and ferryService's RSS
      before and after.

Options: --build DIR (build), --speedup N (the agent's OZ_CLOCK_SPEEDUP;
default 1 for latency and density, 10 for churn), --keep-dir (keep the
work directory). Run as root, on a machine as quiet as can be: the load
average is printed with the figures.
"""
import argparse, http.client, json, os, shutil, signal, statistics, subprocess, sys, tempfile, \
    threading, time

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NODE = "bench-node"


def log(*a):
    print("pod_bench:", *a, file=sys.stderr, flush=True)


def pct(values, p):
    v = sorted(values)
    if not v:
        return float("nan")
    k = (len(v) - 1) * p / 100.0
    lo, hi = int(k), min(int(k) + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)


def proc_status(pid):
    out = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                k, _, v = line.partition(":")
                out[k] = v.strip()
    except OSError:
        pass
    return out


def rss_kib(pid):
    return int(proc_status(pid).get("VmRSS", "0 kB").split()[0])


def rss_split(pid):
    """"anon+file" KiB: what the process itself holds and what it maps of
    its program and libraries."""
    st = proc_status(pid)
    return "%d+%d" % (int(st.get("RssAnon", "0 kB").split()[0]), int(st.get("RssFile", "0 kB").split()[0]))


def threads(pid):
    return int(proc_status(pid).get("Threads", "0"))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Rig:
    """The parts, started in a work directory; stop() ends them in order."""

    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.dir = tempfile.mkdtemp(prefix="ozpodbench.")
        self.procs = []
        self.lines = []            # (monotonic time, line) of ferryService's output
        self.lines_lock = threading.Lock()
        self.regdir = None

    # -- parts -----------------------------------------------------------------
    def start(self, registry):
        d = self.dir
        ready = os.path.join(d, "ready.json")
        sim = subprocess.Popen([sys.executable, os.path.join(SRC, "tests/kubesim/kubesim.py"), "--port", "0",
                                "--admin-port", "0", "--certs", os.path.join(d, "certs"), "--node", NODE,
                                "--ready-file", ready, "--history", "100000"],
                               stdout=open(os.path.join(d, "kubesim.log"), "w"), stderr=subprocess.STDOUT)
        self.procs.append(("kubesim", sim))
        self.wait(lambda: os.path.exists(ready) and os.path.getsize(ready) > 0, 30, "the emulator")
        info = json.load(open(ready))
        self.url, self.admin = info["url"], info["adminPort"]
        env = dict(os.environ, OZC_BASE=os.path.join(d, "base"), OZC_IMAGE_PATH=os.path.join(d, "images"),
                   OZC_DAEMON_QUEUE="/ozpodbench-%d" % os.getpid(), OZ_OVERLAY_DEV_DIR="")
        env.pop("OZC_VERBOSE", None)
        if registry:
            self.regdir = tempfile.mkdtemp(prefix="ozreg.")
            up = subprocess.run(["bash", os.path.join(SRC, "tests/manager/regfixture.sh"), "up", self.regdir],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if up.returncode != 0:
                raise SystemExit("pod_bench: the registry did not start: " + up.stderr[-2000:])
            for line in open(os.path.join(self.regdir, "env")):
                k, _, v = line.strip().partition("=")
                self.__dict__.setdefault("reg", {})[k] = v
            env["OZC_TLS_CA_CERT_FILE"] = self.reg["OZ_REG_CA"]
        self.env = env
        ozcd = subprocess.Popen([os.path.join(self.build, "container/runtime/tools/ozcd")], env=env,
                                stdout=open(os.path.join(d, "ozcd.log"), "w"), stderr=subprocess.STDOUT)
        self.procs.append(("ozcd", ozcd))
        self.ozcd = ozcd.pid
        ozc = os.path.join(self.build, "container/runtime/tools/ozc")
        self.wait(lambda: subprocess.run([ozc, "list"], env=env, capture_output=True).returncode == 0, 10, "ozcd")
        certs = os.path.join(d, "certs")
        fenv = dict(env)
        if self.args.speedup > 1:
            fenv["OZ_CLOCK_SPEEDUP"] = str(self.args.speedup)
        ferry = subprocess.Popen([os.path.join(self.build, "container/ferry/ferryService"), "-C", certs + "/ca.crt",
                                  "-c", certs + "/client.crt", "-k", certs + "/client.key", "-n", NODE, "-u",
                                  self.url, "-i", "127.0.0.1", "-p", "110", "-v", "3"],
                                 env=fenv, stdout=subprocess.PIPE, stderr=open(os.path.join(d, "ferry.err"), "w"),
                                 text=True)
        self.procs.append(("ferryService", ferry))
        self.ferry = ferry.pid
        threading.Thread(target=self.read_lines, args=(ferry.stdout,), daemon=True).start()
        self.wait(lambda: any("ferryService is ready." in l for _, l in self.lines), 30, "ferryService")
        self.watch = Watch(self.admin)

    def push_sleepers(self, names):
        """The busybox image whose process sleeps, pushed under each name
        (each its own repository, so its own layout on the node); the
        references."""
        layout = os.path.join(self.dir, "sleeper")
        subprocess.run([os.path.join(SRC, "tests/fixtures/mkimage.sh"), "--tag", "v1", "--cmd",
                        '["sh","-c","sleep 100000"]', layout], check=True, stdout=subprocess.DEVNULL)
        refs = []
        for name in names:
            refs.append("%s/bench%d/%s:v1" % (self.reg["OZ_REG_TLS"], os.getpid(), name))
            subprocess.run(["skopeo", "copy", "-q", "--dest-tls-verify=false", "oci:%s:v1" % layout,
                            "docker://" + refs[-1]], check=True)
        return refs

    def read_lines(self, stream):
        with open(os.path.join(self.dir, "ferry.out"), "w") as copy:
            for line in stream:
                now = time.monotonic()
                copy.write(line)
                if "pulled in" in line or "unpacked in" in line or "is ready" in line:
                    with self.lines_lock:
                        self.lines.append((now, line.strip()))

    def stop(self):
        for name, p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(30)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if self.regdir:
            subprocess.run(["bash", os.path.join(SRC, "tests/manager/regfixture.sh"), "down", self.regdir],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not self.args.keep_dir:
            shutil.rmtree(self.dir, ignore_errors=True)
        else:
            log("work directory kept:", self.dir)

    @staticmethod
    def wait(cond, limit, what):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if cond():
                return
            time.sleep(0.05)
        raise SystemExit("pod_bench: %s did not come up" % what)

    # -- API -------------------------------------------------------------------
    def request(self, method, path, body=None):
        c = http.client.HTTPConnection("127.0.0.1", self.admin, timeout=60)
        c.request(method, path, json.dumps(body) if body is not None else None,
                  {"Content-Type": "application/json"})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, (json.loads(data) if data else None)

    def create(self, name, image, policy="IfNotPresent"):
        pod = {"apiVersion": "v1", "kind": "Pod", "metadata": {"name": name, "namespace": "default"},
               "spec": {"nodeName": NODE, "containers": [{"name": "main", "image": image,
                                                          "imagePullPolicy": policy}]}}
        t = time.monotonic()
        status, answer = self.request("POST", "/api/v1/namespaces/default/pods", pod)
        if status != 201:
            raise SystemExit("pod_bench: create %s: %s %s" % (name, status, answer))
        return t, answer["metadata"]["uid"]

    def delete(self, name):
        self.request("DELETE", "/api/v1/namespaces/default/pods/" + name)

    def gone(self, name):
        return self.request("GET", "/api/v1/namespaces/default/pods/" + name)[0] == 404


class Watch:
    """A watch of the pods: per pod name the first time a status was seen
    and the first time phase Running was seen."""

    def __init__(self, admin):
        self.first_status, self.running, self.deleted = {}, {}, {}
        self.cond = threading.Condition()
        self.conn = http.client.HTTPConnection("127.0.0.1", admin)
        self.conn.request("GET", "/api/v1/namespaces/default/pods?watch=true&timeoutSeconds=36000")
        self.resp = self.conn.getresponse()
        threading.Thread(target=self.loop, daemon=True).start()

    def loop(self):
        buf = b""
        while True:
            chunk = self.resp.read1(65536) if hasattr(self.resp, "read1") else self.resp.read(1)
            if not chunk:
                return
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                if not line.strip():
                    continue
                now = time.monotonic()
                try:
                    ev = json.loads(line)
                except ValueError:
                    continue
                pod = ev.get("object") or {}
                name = (pod.get("metadata") or {}).get("name")
                status = pod.get("status") or {}
                with self.cond:
                    if ev.get("type") == "DELETED":
                        self.deleted[name] = now
                    if status.get("containerStatuses") and name not in self.first_status:
                        self.first_status[name] = now
                    if status.get("phase") == "Running" and name not in self.running:
                        self.running[name] = now
                    self.cond.notify_all()

    def wait_running(self, names, limit=600):
        end = time.monotonic() + limit
        with self.cond:
            while not all(n in self.running for n in names):
                left = end - time.monotonic()
                if left <= 0:
                    missing = [n for n in names if n not in self.running]
                    raise SystemExit("pod_bench: not Running after %d s: %s" % (limit, missing[:5]))
                self.cond.wait(min(left, 1))


def split_of(rig, uid):
    """(pull ms, unpack ms, create/start ms, time the start line came) for
    the pod's container, from the agent's debug lines."""
    pull = unpack = start = 0.0
    at = None
    key = uid + ":main"
    with rig.lines_lock:
        for t, line in rig.lines:
            if key not in line:
                continue
            words = line.split()
            if "pulled in" in line:
                pull = float(words[words.index("pulled") + 2])
            if "unpacked in" in line:
                unpack = float(words[words.index("unpacked") + 2])
                start = float(words[words.index("started") + 2])
                at = t
    return pull, unpack, start, at


def report(title, rows):
    """rows: list of dict(total, watch, pull, unpack, start, patch) in seconds."""
    print("\n%s (%d pods, load average %s)" % (title, len(rows), open("/proc/loadavg").read().split()[0]))
    print("  %-13s %8s %8s %8s" % ("seconds", "median", "p90", "p99"))
    for k in ("total", "watch", "pull", "unpack", "start", "patch", "other"):
        v = [r[k] for r in rows]
        print("  %-13s %8.3f %8.3f %8.3f" % (k, statistics.median(v), pct(v, 90), pct(v, 99)))
    sys.stdout.flush()


def latency(args):
    rig = Rig(args)
    try:
        rig.start(registry=True)
        n = args.pods
        names = ["present"] + ["pull%d" % i for i in range(2 * n)]
        images = dict(zip(names, rig.push_sleepers(names)))
        image = lambda name: images[name]
        # the image present: one pod pulls it first
        rig.create("warm", image("present"))
        rig.watch.wait_running(["warm"])
        runs = [("present, one after another", "p-seq", lambda i: image("present"), True),
                ("present, all at once", "p-par", lambda i: image("present"), False),
                ("with pull, one after another", "f-seq", lambda i: image("pull%d" % i), True),
                ("with pull, all at once", "f-par", lambda i: image("pull%d" % (n + i)), False)]
        for title, prefix, img, sequential in runs:
            created = {}
            for i in range(n):
                name = "%s%d" % (prefix, i)
                created[name] = rig.create(name, img(i))
                if sequential:
                    rig.watch.wait_running([name])
            rig.watch.wait_running(list(created))
            time.sleep(0.5)  # the last debug lines
            rows = []
            for name, (t0, uid) in created.items():
                w = rig.watch
                pull, unpack, start, at = split_of(rig, uid)
                total = w.running[name] - t0
                row = {"total": total, "watch": w.first_status.get(name, t0) - t0, "pull": pull / 1000,
                       "unpack": unpack / 1000, "start": start / 1000,
                       "patch": (w.running[name] - at) if at else float("nan")}
                row["other"] = total - row["watch"] - row["pull"] - row["unpack"] - row["start"] - row["patch"]
                rows.append(row)
            report("Pod start latency, image " + title, rows)
            for name in created:
                rig.delete(name)
            Rig.wait(lambda: all(rig.gone(nm) for nm in created), 300, "the deletions")
    finally:
        rig.stop()


def density(args):
    rig = Rig(args)
    try:
        rig.start(registry=True)
        image = rig.push_sleepers(["sleeper"])[0]
        time.sleep(2)
        print("\nDensity (load average %s)" % open("/proc/loadavg").read().split()[0])
        print("  %5s %12s %14s %16s %10s %12s %10s" % ("pods", "all Running", "ferry RSS KiB", "(anon+file)",
                                                        "ferry thr", "ozcd RSS KiB", "ozcd thr"))
        print("  %5d %12s %14d %16s %10d %12d %10d" % (0, "-", rss_kib(rig.ferry), rss_split(rig.ferry),
                                                      threads(rig.ferry), rss_kib(rig.ozcd), threads(rig.ozcd)))
        have = 0
        for step in [int(s) for s in args.steps.split(",")]:
            t0 = time.monotonic()
            names = ["d%d" % i for i in range(have, step)]
            for name in names:
                rig.create(name, image)
            rig.watch.wait_running(names)
            took = time.monotonic() - t0
            have = step
            time.sleep(2)
            print("  %5d %11.1fs %14d %16s %10d %12d %10d" % (step, took, rss_kib(rig.ferry), rss_split(rig.ferry),
                                                             threads(rig.ferry), rss_kib(rig.ozcd), threads(rig.ozcd)))
            sys.stdout.flush()
            if step == 20 and args.idle > 0:
                c0, w0 = cpu_seconds(rig.ferry), time.monotonic()
                time.sleep(args.idle)
                c1, w1 = cpu_seconds(rig.ferry), time.monotonic()
                print("  idle with 20 pods: ferryService CPU %.2f s over %.0f s = %.3f%% of one core" %
                      (c1 - c0, w1 - w0, 100 * (c1 - c0) / (w1 - w0)))
                sys.stdout.flush()
    finally:
        rig.stop()


def counts(rig):
    base = rig.env["OZC_BASE"]
    mounts = sum(1 for l in open("/proc/self/mountinfo") if base in l or "/run/orrery/ns/" in l)
    pins = len(os.listdir("/run/orrery/ns")) if os.path.isdir("/run/orrery/ns") else 0
    queues = len(os.listdir("/dev/mqueue")) if os.path.isdir("/dev/mqueue") else 0
    bundles = len([e for e in os.listdir(base) if "_bundle_" in e]) if os.path.isdir(base) else 0
    host_ns = os.readlink("/proc/self/ns/mnt")
    procs = 0
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                if os.readlink("/proc/%s/ns/mnt" % p) != host_ns and \
                        proc_status(int(p)).get("State", "").split()[0] != "Z":
                    procs += 1
            except OSError:
                pass
    return {"mounts (base, pins)": mounts, "namespace pins (machine)": pins, "message queues (machine)": queues,
            "bundles": bundles, "ferryService fds": len(os.listdir("/proc/%d/fd" % rig.ferry)),
            "ozcd fds": len(os.listdir("/proc/%d/fd" % rig.ozcd)),
            "processes in namespaces (machine)": procs, "ferryService RSS KiB": rss_kib(rig.ferry)}


def churn(args):
    rig = Rig(args)
    try:
        rig.start(registry=True)
        image = rig.push_sleepers(["sleeper"])[0]
        # one cycle first, so that the image and the agent's caches are warm
        rig.create("warm", image)
        rig.watch.wait_running(["warm"])
        rig.delete("warm")
        Rig.wait(lambda: rig.gone("warm"), 120, "the first deletion")
        time.sleep(2)
        before = counts(rig)
        t0 = time.monotonic()
        for i in range(args.cycles):
            name = "churn%d" % i
            rig.create(name, image)
            rig.watch.wait_running([name])
            rig.delete(name)
            Rig.wait(lambda: rig.gone(name), 120, "deletion of " + name)
        took = time.monotonic() - t0
        Rig.wait(lambda: counts(rig)["bundles"] == 0, 30, "the last bundle's removal")
        time.sleep(2)
        after = counts(rig)
        print("\nChurn: %d create/delete cycles of one pod in %.0f s (%.2f s a cycle, agent clock x%d)" %
              (args.cycles, took, took / args.cycles, args.speedup))
        print("  %-36s %8s %8s" % ("", "before", "after"))
        for k in before:
            print("  %-36s %8d %8d" % (k, before[k], after[k]))
        print("  ferryService RSS growth: %d KiB" % (after["ferryService RSS KiB"] - before["ferryService RSS KiB"]))
    finally:
        rig.stop()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("mode", choices=["latency", "density", "churn"])
    p.add_argument("--build", default=os.path.join(SRC, "build"))
    p.add_argument("--pods", type=int, default=20)
    p.add_argument("--steps", default="1,20,50")
    p.add_argument("--idle", type=int, default=120)
    p.add_argument("--cycles", type=int, default=200)
    p.add_argument("--speedup", type=int, default=None)
    p.add_argument("--keep-dir", action="store_true")
    args = p.parse_args()
    if args.speedup is None:
        args.speedup = 10 if args.mode == "churn" else 1
    {"latency": latency, "density": density, "churn": churn}[args.mode](args)


if __name__ == "__main__":
    main()
