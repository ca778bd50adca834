"""The emulator driven by the real kubectl with the generated kubeconfig:
version and discovery, get/create/apply/patch/delete of nodes, pods and
leases, a watch, and the answers kubectl expects for conflicts and absent
objects. Skipped when kubectl is not installed."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kubesim_testlib import Sim, kubectl_available  # noqa: E402

KUBECTL = shutil.which("kubectl") or "/usr/bin/kubectl"

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


@unittest.skipUnless(kubectl_available() or os.path.exists(KUBECTL), "kubectl is not installed")
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
