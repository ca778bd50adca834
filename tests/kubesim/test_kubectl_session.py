"""The emulator driven by the real kubectl with the generated kubeconfig:
version and discovery, get/create/apply/patch/delete of nodes, pods and
leases, a watch, and the answers kubectl expects for conflicts and absent
objects; the commands users type to set up pods (create secret
docker-registry, configmap, namespace, run, get -w, describe), the 422 a
real server gives for an invalid label, and a restart that keeps state.

The client is $KUBESIM_KUBECTL, else the kubectl on the PATH; exit status 77
(skipped) when it is not installed."""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kubesim_testlib import Sim  # noqa: E402

KUBECTL = os.environ.get("KUBESIM_KUBECTL") or shutil.which("kubectl") or "/usr/bin/kubectl"
PROTOBUF = "application/vnd.kubernetes.protobuf"

# `kubectl patch --subresource` came with kubectl 1.24; older clients (Debian
# 12 ships 1.20) change status through the status subresource with
# `kubectl replace --raw` (a PUT of the whole object) instead.
SUBRESOURCE_FLAG_SINCE = (1, 24)

NODE = {"apiVersion": "v1", "kind": "Node",
        "metadata": {"name": "node1", "labels": {"type": "ozferry"}}}

POD = {"apiVersion": "v1", "kind": "Pod",
       "metadata": {"name": "web", "namespace": "default", "labels": {"app": "web"}},
       "spec": {"nodeName": "node1",
                "containers": [{"name": "c1", "image": "busybox:1.36", "command": ["sleep", "1000"],
                                "env": [{"name": "A", "value": "1"}]}]}}

LEASE = {"apiVersion": "coordination.k8s.io/v1", "kind": "Lease",
         "metadata": {"name": "node1", "namespace": "kube-node-lease"},
         "spec": {"holderIdentity": "node1", "leaseDurationSeconds": 40,
                  "renewTime": "2026-12-07T08:45:46.000000Z"}}


class KubectlSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--bookmark-interval", "1")
        cls.work = tempfile.mkdtemp(prefix="kubectl-session.")
        # kubectl keeps its discovery cache under the home directory: use a
        # fresh one so that nothing from another server is reused.
        cls.env = dict(os.environ, KUBECONFIG=cls.sim.kubeconfig, HOME=cls.work,
                       KUBECACHEDIR=os.path.join(cls.work, "cache"))
        p = subprocess.run([KUBECTL, "version", "--client", "-o", "json"], env=cls.env,
                           capture_output=True, text=True, timeout=60)
        v = json.loads(p.stdout)["clientVersion"]
        cls.client = (int(v["major"]), int(v["minor"].rstrip("+")))
        sys.stderr.write("%s: client %s\n" % (KUBECTL, v.get("gitVersion", "")))

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        shutil.rmtree(cls.work, True)

    def requests(self, method, path):
        """The requests the emulator saw for `method` on `path`, oldest first."""
        log = self.sim.admin("GET", "/_kubesim/requests")[1]["requests"]
        return [r for r in log if r["method"] == method and r["path"] == path]

    def kubectl(self, *args, ok=True, stdin=None):
        p = subprocess.run([KUBECTL, "--request-timeout=20s"] + list(args), env=self.env, input=stdin,
                           capture_output=True, text=True, timeout=60)
        if ok:
            self.assertEqual(p.returncode, 0, "kubectl %s\nstdout: %s\nstderr: %s" % (" ".join(args), p.stdout, p.stderr))
        return p

    def kjson(self, *args):
        return json.loads(self.kubectl(*(list(args) + ["-o", "json"])).stdout)

    def write(self, name, obj):
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            json.dump(obj, f)
        return path

    def patch_status(self, kind, name, patch_type, status, namespace=None):
        """Changes `status` through the status subresource: `kubectl patch
        --subresource=status --type=patch_type` where the client has it, else
        the object read back with the given members of its status replaced,
        PUT to .../status with `kubectl replace --raw` (the same result for
        the members changed here: scalars, or lists not set before)."""
        ns = ["-n", namespace] if namespace else []
        if self.client >= SUBRESOURCE_FLAG_SINCE:
            self.kubectl("patch", kind, name, *ns, "--subresource=status", "--type=" + patch_type,
                         "-p", json.dumps({"status": status}))
            return
        obj = self.kjson("get", kind, name, *ns)
        obj.setdefault("status", {}).update(status)
        path = "/api/v1/%s%ss/%s/status" % ("namespaces/%s/" % namespace if namespace else "", kind, name)
        out = self.kubectl("replace", "--raw", path, "-f", self.write(kind + "-status.json", obj)).stdout
        self.assertEqual(json.loads(out)["status"], obj["status"])

    def test_1_version_and_discovery(self):
        v = json.loads(self.kubectl("version", "-o", "json").stdout)
        self.assertIn("serverVersion", v)
        self.assertTrue(v["serverVersion"]["gitVersion"].startswith("v1."))
        res = self.kubectl("api-resources").stdout
        for kind in ("Node", "Pod", "Secret", "Lease", "Namespace"):
            self.assertIn(kind, res)
        self.assertIn("kube-node-lease", self.kubectl("get", "namespaces").stdout)

    def test_2_nodes(self):
        self.assertEqual(self.kjson("get", "nodes")["items"], [])
        out = self.kubectl("create", "-f", self.write("node.json", NODE)).stdout
        self.assertIn("node/node1 created", out)
        p = self.kubectl("create", "-f", self.write("node.json", NODE), ok=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("AlreadyExists", p.stderr)
        # Server-side dry run: kubectl before 1.27 first looks up in the
        # OpenAPI v2 document whether the kind's patch takes dryRun.
        other = dict(NODE, metadata={"name": "node2"})
        out = self.kubectl("create", "--dry-run=server", "-o", "name", "-f", self.write("node2.json", other)).stdout
        self.assertEqual(out.strip(), "node/node2")
        self.assertEqual([n["metadata"]["name"] for n in self.kjson("get", "nodes")["items"]], ["node1"])
        # Status through the status subresource, as the node agent does.
        status = {"conditions": [{"type": "Ready", "status": "True", "reason": "FerryReady",
                                  "lastHeartbeatTime": "2026-12-07T08:45:46Z",
                                  "lastTransitionTime": "2026-12-07T08:45:46Z"}],
                  "addresses": [{"type": "InternalIP", "address": "10.0.0.5"}],
                  "nodeInfo": {"kubeletVersion": "v1.0.1", "operatingSystem": "Orrery",
                               "architecture": "amd64", "containerRuntimeVersion": "ozc://1.0",
                               "kernelVersion": "26.03", "osImage": "Orrery", "kubeProxyVersion": "",
                               "machineID": "", "systemUUID": "", "bootID": ""}}
        self.patch_status("node", "node1", "strategic", status)
        table = self.kubectl("get", "nodes", "-o", "wide").stdout
        self.assertRegex(table, r"node1\s+Ready")
        self.assertIn("10.0.0.5", table)
        node = self.kjson("get", "node", "node1")
        self.assertEqual(node["metadata"]["labels"]["type"], "ozferry")
        self.kubectl("label", "node", "node1", "zone=a")
        self.assertEqual(self.kubectl("get", "node", "node1", "-o", "jsonpath={.metadata.labels.zone}").stdout, "a")

    def test_3_pods_apply_watch_delete(self):
        self.kubectl("apply", "--validate=false", "-f", self.write("pod.json", POD))
        pod = self.kjson("get", "pod", "web")
        self.assertEqual(pod["spec"]["nodeName"], "node1")
        self.assertEqual(pod["status"]["phase"], "Pending")
        self.assertIn("kubectl.kubernetes.io/last-applied-configuration", pod["metadata"]["annotations"])
        # A second apply with a new image: a strategic merge patch computed by kubectl.
        changed = json.loads(json.dumps(POD))
        changed["spec"]["containers"][0]["image"] = "busybox:1.37"
        out = self.kubectl("apply", "--validate=false", "-f", self.write("pod2.json", changed)).stdout
        self.assertIn("pod/web configured", out)
        pod = self.kjson("get", "pod", "web")
        self.assertEqual(pod["spec"]["containers"][0]["image"], "busybox:1.37")
        self.assertEqual(pod["spec"]["containers"][0]["env"], [{"name": "A", "value": "1"}])
        self.assertIn("web", self.kubectl("get", "pods", "--field-selector", "spec.nodeName=node1").stdout)
        self.assertNotIn("web", self.kubectl("get", "pods", "--field-selector", "spec.nodeName=other",
                                             "-o", "name").stdout)

        # Watch while the pod's status changes and the pod is deleted.
        watch = subprocess.Popen([KUBECTL, "get", "pods", "--watch", "--output-watch-events", "-o", "json"],
                                 env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(1.0)
            self.patch_status("pod", "web", "merge", {"phase": "Running"}, namespace="default")
            self.assertEqual(self.kjson("get", "pod", "web")["status"]["phase"], "Running")
            # Bound pod: the plain delete is graceful (deletionTimestamp set);
            # --wait=false so kubectl does not wait the grace period out.
            self.kubectl("delete", "pod", "web", "--wait=false")
            pod = self.kjson("get", "pod", "web")
            self.assertIn("deletionTimestamp", pod["metadata"])
            self.assertEqual(pod["metadata"]["deletionGracePeriodSeconds"], 30)
            self.kubectl("delete", "pod", "web", "--grace-period=0", "--force")
            time.sleep(1.0)
        finally:
            watch.terminate()
            out, err = watch.communicate(timeout=10)
        events = []
        dec = json.JSONDecoder()
        text = out.strip()
        while text:
            obj, end = dec.raw_decode(text)
            events.append((obj["type"], obj["object"]["metadata"]["name"]))
            text = text[end:].strip()
        types = [t for t, n in events if n == "web"]
        self.assertEqual(types[0], "ADDED", out + err)
        self.assertIn("MODIFIED", types)
        self.assertEqual(types[-1], "DELETED", out + err)
        p = self.kubectl("get", "pod", "web", ok=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn('pods "web" not found', p.stderr)

    def test_4_leases(self):
        self.kubectl("create", "-f", self.write("lease.json", LEASE))
        self.assertIn("node1", self.kubectl("get", "leases", "-n", "kube-node-lease").stdout)
        self.kubectl("patch", "lease", "node1", "-n", "kube-node-lease", "--type=strategic",
                     "-p", '{"spec":{"renewTime":"2026-12-07T08:46:26.000000Z"}}')
        lease = self.kjson("get", "lease", "node1", "-n", "kube-node-lease")
        self.assertEqual(lease["spec"]["renewTime"], "2026-12-07T08:46:26.000000Z")
        self.assertEqual(lease["spec"]["holderIdentity"], "node1")
        # A uid in the patch that is not the object's is a conflict.
        p = self.kubectl("patch", "lease", "node1", "-n", "kube-node-lease", "--type=merge",
                         "-p", '{"metadata":{"uid":"someone-else"}}', ok=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("Conflict", p.stderr + p.stdout)
        self.kubectl("delete", "lease", "node1", "-n", "kube-node-lease")
        self.assertEqual(self.kjson("get", "leases", "-n", "kube-node-lease")["items"], [])

    def test_5_raw_watch_bookmarks_and_gone(self):
        status, lst = self.sim.https("GET", "/api/v1/pods")
        rv = lst["metadata"]["resourceVersion"]
        out = self.kubectl("get", "--raw",
                           "/api/v1/pods?watch=true&allowWatchBookmarks=true&timeoutSeconds=2&resourceVersion=" + rv).stdout
        events = [json.loads(line) for line in out.splitlines() if line.strip()]
        self.assertTrue(events and all(e["type"] == "BOOKMARK" for e in events), out)
        self.sim.admin("POST", "/_kubesim/compact")
        out = self.kubectl("get", "--raw", "/api/v1/pods?watch=true&timeoutSeconds=2&resourceVersion=1").stdout
        ev = json.loads(out.splitlines()[0])
        self.assertEqual(ev["type"], "ERROR")
        self.assertEqual(ev["object"]["code"], 410)

    def test_6_create_commands(self):
        """The commands that set up a namespace for pods: kubectl 1.32 sends
        their bodies as protobuf, 1.20 as JSON; both store the same objects."""
        self.kubectl("create", "namespace", "team-a")
        self.kubectl("create", "secret", "docker-registry", "regcred", "-n", "team-a",
                     "--docker-server=registry.example:5000", "--docker-username=puller",
                     "--docker-password=s3cret", "--docker-email=puller@example.com")
        blob = os.path.join(self.work, "blob")
        with open(blob, "wb") as f:
            f.write(b"\x00\xffbinary")
        self.kubectl("create", "configmap", "settings", "-n", "team-a", "--from-literal=mode=fast",
                     "--from-file=blob=" + blob)
        ns = self.kjson("get", "namespace", "team-a")
        self.assertEqual(ns["status"]["phase"], "Active")
        self.assertEqual(ns["metadata"]["labels"], {"kubernetes.io/metadata.name": "team-a"})
        secret = self.kjson("get", "secret", "regcred", "-n", "team-a")
        self.assertEqual(secret["type"], "kubernetes.io/dockerconfigjson")
        auth = json.loads(base64.b64decode(secret["data"][".dockerconfigjson"]))["auths"]["registry.example:5000"]
        self.assertEqual((auth["username"], auth["password"]), ("puller", "s3cret"))
        self.assertEqual(base64.b64decode(auth["auth"]), b"puller:s3cret")
        cm = self.kjson("get", "configmap", "settings", "-n", "team-a")
        self.assertEqual(cm["data"], {"mode": "fast"})
        self.assertEqual(base64.b64decode(cm["binaryData"]["blob"]), b"\x00\xffbinary")
        if self.client >= (1, 32):
            for path in ("/api/v1/namespaces", "/api/v1/namespaces/team-a/secrets",
                         "/api/v1/namespaces/team-a/configmaps"):
                self.assertEqual([r["contentType"] for r in self.requests("POST", path)], [PROTOBUF], path)
        p = self.kubectl("create", "namespace", "team-a", ok=False)
        self.assertIn("AlreadyExists", p.stderr)

    def test_7_run_watch_describe(self):
        self.kubectl("run", "runner", "--image=busybox:1.36", "--restart=Never", "--labels=app=runner",
                     "--", "sleep", "1000")
        pod = self.kjson("get", "pod", "runner")
        self.assertEqual(pod["spec"]["restartPolicy"], "Never")
        self.assertEqual(pod["spec"]["containers"][0]["args"], ["sleep", "1000"])
        # `get -w` lists, then shows the change the node agent makes, and
        # ends by itself when its request timeout passes.
        watch = subprocess.Popen([KUBECTL, "get", "pods", "-l", "app=runner", "-w", "--request-timeout=8s"],
                                 env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            # Once the list is shown the watch starts from its version: the
            # change below reaches it even if made before the watch request.
            first = [watch.stdout.readline(), watch.stdout.readline()]
            self.assertTrue(first[1].startswith("runner"), first)
            status = {"phase": "Running", "containerStatuses": [
                {"name": "runner", "ready": True, "restartCount": 0, "image": "busybox:1.36", "imageID": "",
                 "state": {"running": {"startedAt": "2026-12-08T06:00:00Z"}}}]}
            self.assertEqual(self.sim.https("PATCH", "/api/v1/namespaces/default/pods/runner/status",
                                            {"status": status}, "application/merge-patch+json")[0], 200)
            out, err = watch.communicate(timeout=30)
            out = "".join(first) + out
        finally:
            watch.kill()
            watch.wait()
        self.assertEqual(watch.returncode, 0, err)
        lines = [line.split() for line in out.splitlines() if line.startswith("runner")]
        self.assertEqual([(w[1], w[2]) for w in lines], [("0/1", "Pending"), ("1/1", "Running")], out)

        # What the agent reports about the pod, in both event APIs, is what
        # `describe` shows.
        ref = {"kind": "Pod", "namespace": "default", "name": "runner", "uid": pod["metadata"]["uid"],
               "apiVersion": "v1"}
        core = {"metadata": {"name": "runner.pulled"}, "involvedObject": ref, "reason": "Pulled",
                "message": "Container image already present", "type": "Normal",
                "source": {"component": "ferry", "host": "node1"}, "count": 1,
                "firstTimestamp": "2026-12-08T06:00:00Z", "lastTimestamp": "2026-12-08T06:00:00Z"}
        new = {"metadata": {"name": "runner.started"}, "regarding": ref, "reason": "Started",
               "note": "Started container runner", "type": "Normal", "action": "Start",
               "reportingController": "example.com/ferry", "reportingInstance": "ferry-node1",
               "eventTime": "2026-12-08T06:00:01.000000Z"}
        self.assertEqual(self.sim.https("POST", "/api/v1/namespaces/default/events", core)[0], 201)
        self.assertEqual(self.sim.https("POST", "/apis/events.k8s.io/v1/namespaces/default/events", new)[0], 201)
        described = self.kubectl("describe", "pod", "runner").stdout
        events = described[described.index("Events:"):]
        self.assertRegex(events, r"Normal\s+Pulled\s+.*ferry\s+Container image already present")
        self.assertRegex(events, r"Normal\s+Started\s+.*example.com/ferry\s+Started container runner")
        self.assertIn("runner.started", self.kubectl("get", "events", "-o", "name").stdout)

    def test_8_refused_label(self):
        """kubectl checks `label` itself; a patch reaches the server, which refuses it."""
        p = self.kubectl("patch", "pod", "runner", "--type=merge",
                         "-p", '{"metadata":{"labels":{"tier":"front end"}}}', ok=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn('The Pod "runner" is invalid: metadata.labels: Invalid value: "front end"', p.stderr)
        self.assertNotIn("tier", self.kjson("get", "pod", "runner")["metadata"].get("labels", {}))
        p = self.kubectl("run", "Bad_Name", "--image=busybox:1.36", ok=False)
        self.assertIn('metadata.name: Invalid value: "Bad_Name"', p.stderr)

    def test_9_restart_keeps_state(self):
        self.kubectl("create", "configmap", "kept", "--from-literal=a=1")
        before = {kind: self.kjson("get", kind, name)["metadata"]
                  for kind, name in (("configmap", "kept"), ("pod", "runner"))}
        rv = self.sim.https("GET", "/api/v1/configmaps")[1]["metadata"]["resourceVersion"]
        self.sim.restart()
        for kind, name in (("configmap", "kept"), ("pod", "runner")):
            self.assertEqual(self.kjson("get", kind, name)["metadata"], before[kind])
        self.assertEqual(self.kjson("get", "configmap", "kept")["data"], {"a": "1"})
        self.assertEqual(self.sim.https("GET", "/api/v1/configmaps")[1]["metadata"]["resourceVersion"], rv)
        # Watches resume from the current version; older ones are gone.
        out = self.kubectl("get", "--raw", "/api/v1/configmaps?watch=true&timeoutSeconds=1&resourceVersion=" + rv).stdout
        self.assertEqual(out.strip(), "")
        out = self.kubectl("get", "--raw", "/api/v1/configmaps?watch=true&timeoutSeconds=1&resourceVersion=2").stdout
        self.assertEqual(json.loads(out.splitlines()[0])["object"]["code"], 410)


def main():
    if not os.path.exists(KUBECTL):
        print("skipped: %s is not installed" % KUBECTL)
        return 77
    result = unittest.main(verbosity=2, exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
