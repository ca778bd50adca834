"""Semantics of the API server emulator, checked over its HTTPS port with the
node's certificate: authentication, resource versions, patches, deletion,
selectors, pagination, watch, fault injection and the scheduler."""

import http.client
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kubesim_testlib import SCRIPT, Sim  # noqa: E402

PODS = "/api/v1/namespaces/default/pods"
SMP = "application/strategic-merge-patch+json"
MERGE = "application/merge-patch+json"


def pod(name, node=None, **spec):
    s = {"containers": [{"name": "c1", "image": "busybox:1.36"}]}
    if node:
        s["nodeName"] = node
    s.update(spec)
    return {"apiVersion": "v1", "kind": "Pod", "metadata": {"name": name, "labels": {"app": name}}, "spec": s}


def pb_fields(data):
    """Protocol buffers wire format: the (field number, value) pairs of one
    message; length-delimited values stay bytes, varints become ints."""
    out, i = [], 0

    def varint():
        nonlocal i
        n = shift = 0
        while True:
            b = data[i]
            i += 1
            n |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return n
    while i < len(data):
        key = varint()
        num, wire = key >> 3, key & 7
        if wire == 0:
            out.append((num, varint()))
        elif wire == 2:
            n = varint()
            out.append((num, data[i:i + n]))
            i += n
        else:
            raise ValueError("unexpected wire type %d" % wire)
    if i != len(data):
        raise ValueError("message overruns its end")
    return out


def pb_get(data, num):
    return [v for n, v in pb_fields(data) if n == num]


class KubesimSemantics(unittest.TestCase):
    def setUp(self):
        self.sim = Sim("--bookmark-interval", "1")

    def tearDown(self):
        self.sim.stop()

    def ok(self, method, path, body=None, ctype="application/json", want=200):
        status, obj = self.sim.https(method, path, body, ctype)
        self.assertEqual(status, want, obj)
        return obj

    def test_authentication(self):
        status, obj = self.sim.https("GET", "/api/v1/nodes", cert=None)
        self.assertEqual(status, 401)
        self.assertEqual(obj["kind"], "Status")
        self.assertEqual(obj["code"], 401)
        # A certificate from another CA does not get past the handshake.
        other = tempfile.mkdtemp(prefix="kubesim-other.")
        try:
            subprocess.run([sys.executable, SCRIPT, "mkcerts", other, "--node", "node1"], check=True,
                           stdout=subprocess.DEVNULL)
            ctx = ssl.create_default_context(cafile=os.path.join(self.sim.certs, "ca.crt"))
            ctx.load_cert_chain(os.path.join(other, "client.crt"), os.path.join(other, "client.key"))
            conn = http.client.HTTPSConnection("127.0.0.1", self.sim.port, context=ctx, timeout=10)
            with self.assertRaises((ssl.SSLError, ConnectionError, http.client.HTTPException)):
                conn.request("GET", "/api/v1/nodes")
                conn.getresponse().read()
            conn.close()
        finally:
            shutil.rmtree(other, True)
        self.ok("GET", "/version")
        self.assertEqual(self.ok("GET", "/api")["versions"], ["v1"])

    def openapi_v2(self, accept):
        conn = http.client.HTTPSConnection("127.0.0.1", self.sim.port, context=self.sim.tls_context(), timeout=20)
        try:
            conn.request("GET", "/openapi/v2", headers={"Accept": accept})
            resp = conn.getresponse()
            return resp.status, resp.getheader("Content-Type"), resp.read()
        finally:
            conn.close()

    def test_openapi_v2(self):
        # JSON: the operations with their group-version-kind and the query
        # parameters, among them dryRun, which older kubectl looks for.
        status, ctype, body = self.openapi_v2("application/json")
        self.assertEqual((status, ctype), (200, "application/json"))
        doc = json.loads(body)
        self.assertEqual(doc["swagger"], "2.0")
        patch = doc["paths"]["/apis/coordination.k8s.io/v1/namespaces/{namespace}/leases/{name}"]["patch"]
        self.assertEqual(patch["x-kubernetes-group-version-kind"],
                         {"group": "coordination.k8s.io", "version": "v1", "kind": "Lease"})
        self.assertIn("dryRun", [p["name"] for p in patch["parameters"]])
        self.assertEqual(doc["paths"]["/api/v1/nodes/{name}/status"]["put"]["x-kubernetes-action"], "put")
        self.assertNotIn("/api/v1/secrets/{name}/status", doc["paths"])

        # Protobuf (message openapi.v2.Document), as kubectl asks for it: the
        # same paths, extensions and parameters at their field numbers.
        status, ctype, body = self.openapi_v2("application/com.github.proto-openapi.spec.v2@v1.0+protobuf")
        self.assertEqual((status, ctype), (200, "application/com.github.proto-openapi.spec.v2.v1.0+protobuf"))
        self.assertEqual(pb_get(body, 1), [b"2.0"])                            # swagger
        self.assertEqual(pb_get(pb_get(body, 2)[0], 1), [b"Kubernetes"])      # info.title
        items = {pb_get(named, 1)[0].decode(): pb_get(named, 2)[0]            # paths.path: name, PathItem
                 for named in pb_get(pb_get(body, 8)[0], 2)}
        self.assertEqual(set(items), set(doc["paths"]))
        for path, item in doc["paths"].items():
            ops = {"get": 2, "put": 3, "post": 4, "delete": 5, "patch": 8}
            self.assertEqual(sorted(n for n, _ in pb_fields(items[path]) if n in ops.values()),
                             sorted(ops[k] for k in item if k in ops), path)
            for verb, num in ops.items():
                if verb not in item:
                    continue
                op = pb_get(items[path], num)[0]
                self.assertEqual(pb_get(op, 5), [item[verb]["operationId"].encode()])
                ext = {pb_get(e, 1)[0].decode(): json.loads(pb_get(pb_get(e, 2)[0], 2)[0])   # name, Any.yaml
                       for e in pb_get(op, 13)}
                self.assertEqual(ext, {k: v for k, v in item[verb].items() if k.startswith("x-")})
                # parameters: ParametersItem.parameter.non_body_parameter.query_parameter_sub_schema
                query = [pb_get(pb_get(pb_get(pb_get(p, 1)[0], 2)[0], 3)[0], 4)[0].decode()
                         for p in pb_get(op, 8)]
                self.assertEqual(query, [p["name"] for p in item[verb]["parameters"]])
        # Path parameters of the item: path_parameter_sub_schema, required.
        named = items["/api/v1/namespaces/{namespace}/pods/{name}"]
        params = [pb_get(pb_get(pb_get(p, 1)[0], 2)[0], 4)[0] for p in pb_get(named, 9)]
        self.assertEqual([pb_get(p, 4) for p in params], [[b"namespace"], [b"name"]])
        self.assertEqual([pb_get(p, 1) for p in params], [[1], [1]])

        status, ctype, body = self.openapi_v2("text/html")
        self.assertEqual(status, 406)
        self.assertEqual(json.loads(body)["reason"], "NotAcceptable")

    def test_resource_versions_and_status_subresource(self):
        made = self.ok("POST", PODS, pod("a", "node1"), want=201)
        rv1 = int(made["metadata"]["resourceVersion"])
        self.assertEqual(made["status"]["phase"], "Pending")
        self.ok("POST", PODS, pod("b"), want=201)
        lst = self.ok("GET", "/api/v1/pods")
        self.assertGreater(int(lst["metadata"]["resourceVersion"]), rv1)
        self.assertNotIn("kind", lst["items"][0])   # list items come without kind
        # An unchanged patch keeps the version; the main resource ignores status,
        # the status subresource ignores everything else.
        same = self.ok("PATCH", PODS + "/a", {"metadata": {"labels": {"app": "a"}}}, SMP)
        self.assertEqual(int(same["metadata"]["resourceVersion"]), rv1)
        p = self.ok("PATCH", PODS + "/a", {"status": {"phase": "Running"}}, MERGE)
        self.assertEqual(p["status"]["phase"], "Pending")
        p = self.ok("PATCH", PODS + "/a/status", {"status": {"phase": "Running"}, "metadata": {"labels": {"x": "y"}}}, MERGE)
        self.assertEqual(p["status"]["phase"], "Running")
        self.assertNotIn("x", p["metadata"]["labels"])
        # Pod specs are immutable but for a few members.
        status, obj = self.sim.https("PATCH", PODS + "/a", {"spec": {"nodeName": "node2"}}, MERGE)
        self.assertEqual(status, 422, obj)
        p = self.ok("PATCH", PODS + "/a", {"spec": {"containers": [{"name": "c1", "image": "busybox:1.37"}]}}, SMP)
        self.assertEqual(p["spec"]["containers"][0]["image"], "busybox:1.37")
        status, obj = self.sim.https("POST", PODS, pod("a"))
        self.assertEqual((status, obj["reason"]), (409, "AlreadyExists"))
        self.assertEqual(obj["message"], 'pods "a" already exists')

    def test_patches(self):
        self.ok("POST", "/api/v1/nodes", {"metadata": {"name": "n1"}}, want=201)
        st = {"status": {"conditions": [{"type": "Ready", "status": "False"}, {"type": "DiskPressure", "status": "False"}],
                         "addresses": [{"type": "InternalIP", "address": "10.0.0.1"}, {"type": "Hostname", "address": "n1"}]}}
        self.ok("PATCH", "/api/v1/nodes/n1/status", st, SMP)
        n = self.ok("PATCH", "/api/v1/nodes/n1/status",
                    {"status": {"conditions": [{"type": "Ready", "status": "True"}],
                                "addresses": [{"type": "InternalIP", "address": "10.0.0.2"}]}}, SMP)
        self.assertEqual([(c["type"], c["status"]) for c in n["status"]["conditions"]],
                         [("Ready", "True"), ("DiskPressure", "False")])
        self.assertEqual({a["type"]: a["address"] for a in n["status"]["addresses"]},
                         {"InternalIP": "10.0.0.2", "Hostname": "n1"})
        # $patch: delete removes one keyed element.
        n = self.ok("PATCH", "/api/v1/nodes/n1/status",
                    {"status": {"conditions": [{"type": "DiskPressure", "$patch": "delete"}]}}, SMP)
        self.assertEqual([c["type"] for c in n["status"]["conditions"]], ["Ready"])
        # A JSON merge patch replaces lists and deletes with null.
        n = self.ok("PATCH", "/api/v1/nodes/n1/status", {"status": {"addresses": [{"type": "Hostname", "address": "h"}]}}, MERGE)
        self.assertEqual(len(n["status"]["addresses"]), 1)
        n = self.ok("PATCH", "/api/v1/nodes/n1", {"metadata": {"labels": {"a": "1", "b": "2"}}}, MERGE)
        n = self.ok("PATCH", "/api/v1/nodes/n1", {"metadata": {"labels": {"a": None}}}, MERGE)
        self.assertEqual(n["metadata"]["labels"], {"b": "2"})
        n = self.ok("PATCH", "/api/v1/nodes/n1", [{"op": "add", "path": "/spec/unschedulable", "value": True}],
                    "application/json-patch+json")
        self.assertTrue(n["spec"]["unschedulable"])
        # Container statuses have no merge key: a strategic merge patch replaces them.
        self.ok("POST", PODS, pod("p", "n1", containers=[{"name": "c1", "image": "x"}, {"name": "c2", "image": "y"}]), want=201)
        cs = lambda name: {"name": name, "ready": False, "restartCount": 0, "image": "x", "imageID": ""}  # noqa: E731
        self.ok("PATCH", PODS + "/p/status", {"status": {"containerStatuses": [cs("c1"), cs("c2")]}}, SMP)
        p = self.ok("PATCH", PODS + "/p/status", {"status": {"containerStatuses": [cs("c2")]}}, SMP)
        self.assertEqual([c["name"] for c in p["status"]["containerStatuses"]], ["c2"])
        # A uid in the patch that is not the object's: 409 Conflict.
        status, obj = self.sim.https("PATCH", "/api/v1/nodes/n1/status", {"metadata": {"uid": "x"}}, SMP)
        self.assertEqual((status, obj["reason"]), (409, "Conflict"))
        status, obj = self.sim.https("PATCH", "/api/v1/nodes/n1", {"a": 1}, "application/apply-patch+yaml")
        self.assertEqual(status, 415)
        status, obj = self.sim.https("PATCH", "/api/v1/nodes/n1", "{broken", SMP)
        self.assertEqual(status, 400)

    def test_deletion(self):
        made = self.ok("POST", PODS, pod("bound", "n1"), want=201)
        uid, rv = made["metadata"]["uid"], made["metadata"]["resourceVersion"]
        status, obj = self.sim.https("DELETE", PODS + "/bound", {"preconditions": {"uid": "other"}})
        self.assertEqual(status, 409)
        self.assertIn("Precondition failed: UID in precondition: other", obj["message"])
        status, obj = self.sim.https("DELETE", PODS + "/bound", {"preconditions": {"resourceVersion": "1"}})
        self.assertEqual(status, 409)
        p = self.ok("DELETE", PODS + "/bound", {"preconditions": {"uid": uid, "resourceVersion": rv}})
        self.assertIn("deletionTimestamp", p["metadata"])
        self.assertEqual(p["metadata"]["deletionGracePeriodSeconds"], 30)
        again = self.ok("DELETE", PODS + "/bound")
        self.assertEqual(again["metadata"]["resourceVersion"], p["metadata"]["resourceVersion"])
        self.ok("DELETE", PODS + "/bound?gracePeriodSeconds=0")
        self.assertEqual(self.sim.https("GET", PODS + "/bound")[0], 404)
        # Unbound pods go at once; finalizers hold an object until removed.
        self.ok("POST", PODS, pod("loose"), want=201)
        self.ok("DELETE", PODS + "/loose")
        self.assertEqual(self.sim.https("GET", PODS + "/loose")[0], 404)
        fin = pod("held")
        fin["metadata"]["finalizers"] = ["example.com/keep"]
        self.ok("POST", PODS, fin, want=201)
        self.ok("DELETE", PODS + "/held")
        self.assertEqual(self.sim.https("GET", PODS + "/held")[0], 200)
        self.ok("PATCH", PODS + "/held", {"metadata": {"finalizers": None}}, MERGE)
        self.assertEqual(self.sim.https("GET", PODS + "/held")[0], 404)
        status, obj = self.sim.https("DELETE", PODS + "/nothing")
        self.assertEqual((status, obj["message"]), (404, 'pods "nothing" not found'))

    def test_selectors_and_pagination(self):
        for i, node in enumerate(["n1", "n2", "n1", "n1"]):
            self.ok("POST", PODS, pod("p%d" % i, node), want=201)
        names = lambda lst: [p["metadata"]["name"] for p in lst["items"]]  # noqa: E731
        self.assertEqual(names(self.ok("GET", "/api/v1/pods?fieldSelector=spec.nodeName%3Dn1")), ["p0", "p2", "p3"])
        self.assertEqual(names(self.ok("GET", "/api/v1/pods?fieldSelector=spec.nodeName!%3Dn1")), ["p1"])
        self.assertEqual(names(self.ok("GET", "/api/v1/pods?labelSelector=app+in+(p1,p3)")), ["p1", "p3"])
        first = self.ok("GET", "/api/v1/pods?limit=3")
        self.assertEqual(len(first["items"]), 3)
        rest = self.ok("GET", "/api/v1/pods?limit=3&continue=" + first["metadata"]["continue"])
        self.assertEqual(names(rest), ["p3"])

    def test_watch(self):
        self.ok("POST", PODS, pod("a", "n1"), want=201)
        # From no version: ADDED for what exists, then the end by timeout.
        evs = self.sim.watch_lines("/api/v1/pods?watch=true&timeoutSeconds=1")
        self.assertEqual([(e["type"], e["object"]["metadata"]["name"]) for e in evs], [("ADDED", "a")])
        rv = self.ok("GET", "/api/v1/pods")["metadata"]["resourceVersion"]
        self.ok("POST", PODS, pod("b", "n2"), want=201)
        self.ok("PATCH", PODS + "/a/status", {"status": {"phase": "Running"}}, MERGE)
        self.ok("DELETE", PODS + "/a?gracePeriodSeconds=0")
        evs = self.sim.watch_lines("/api/v1/pods?watch=1&fieldSelector=spec.nodeName%3Dn1&allowWatchBookmarks=true"
                                   "&timeoutSeconds=1&resourceVersion=" + rv)
        self.assertEqual([e["type"] for e in evs], ["MODIFIED", "DELETED", "BOOKMARK"])
        self.assertEqual(list(evs[-1]["object"]["metadata"]), ["resourceVersion"])
        # Watch on a named path with the watch prefix.
        evs = self.sim.watch_lines("/api/v1/watch/namespaces/default/pods/b?timeoutSeconds=1")
        self.assertEqual([e["object"]["metadata"]["name"] for e in evs], ["b"])
        # Older than the history: one ERROR event with a 410 Status.
        self.sim.admin("POST", "/_kubesim/compact")
        evs = self.sim.watch_lines("/api/v1/pods?watch=true&timeoutSeconds=5&resourceVersion=" + rv)
        self.assertEqual(len(evs), 1)
        self.assertEqual((evs[0]["type"], evs[0]["object"]["code"], evs[0]["object"]["reason"]), ("ERROR", 410, "Expired"))

    def test_faults(self):
        rule = [{"method": "GET", "path": "/api/v1/nodes/n.*", "status": 503, "count": 2, "retryAfter": 1}]
        self.assertEqual(self.sim.admin("POST", "/_kubesim/faults", rule)[0], 200)
        for _ in range(2):
            status, obj = self.sim.https("GET", "/api/v1/nodes/n1")
            self.assertEqual((status, obj["code"]), (503, 503))
        self.assertEqual(self.sim.https("GET", "/api/v1/nodes/n1")[0], 404)   # used up
        self.sim.admin("POST", "/_kubesim/faults", {"method": "*", "path": "/api/v1/nodes", "drop": True})
        with self.assertRaises((http.client.HTTPException, ConnectionError, ssl.SSLError, OSError)):
            self.sim.https("GET", "/api/v1/nodes")
        self.sim.admin("POST", "/_kubesim/faults", {"method": "GET", "path": "/version", "delay": 0.5})
        start = time.time()
        self.assertEqual(self.sim.https("GET", "/version")[0], 200)
        self.assertGreaterEqual(time.time() - start, 0.5)
        self.assertEqual(self.sim.admin("GET", "/_kubesim/faults")[1], {"faults": []})
        reqs = self.sim.admin("GET", "/_kubesim/requests")[1]["requests"]
        api = [r for r in reqs if not r["admin"]]
        self.assertEqual(api[0]["user"], "system:node:node1")
        self.assertEqual(api[0]["fault"]["status"], 503)

    def test_scheduler(self):
        self.ok("POST", "/api/v1/nodes", {"metadata": {"name": "n1"}}, want=201)
        self.ok("POST", PODS, pod("free"), want=201)
        self.sim.admin("POST", "/_kubesim/scheduler", {"enabled": True})
        time.sleep(0.6)
        self.assertNotIn("nodeName", self.ok("GET", PODS + "/free")["spec"])   # no Ready node yet
        self.ok("PATCH", "/api/v1/nodes/n1/status", {"status": {"conditions": [{"type": "Ready", "status": "True"}]}}, SMP)
        deadline = time.time() + 5
        while time.time() < deadline and "nodeName" not in self.ok("GET", PODS + "/free")["spec"]:
            time.sleep(0.1)
        self.assertEqual(self.ok("GET", PODS + "/free")["spec"].get("nodeName"), "n1")


if __name__ == "__main__":
    unittest.main(verbosity=2)
