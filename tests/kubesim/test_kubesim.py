"""Semantics of the API server emulator, checked over its HTTPS port with the
node's certificate: authentication, resource versions, patches, deletion,
selectors, pagination, watch, fault injection, the scheduler, protobuf
bodies, the server's validation, events in both APIs and state kept across
restarts."""

import base64
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


# Protobuf encoding, written here by hand with the field numbers of the
# published API definitions, independent of the emulator's own table.
def pb_varint(n):
    n &= (1 << 64) - 1
    out = bytearray()
    while True:
        out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            return bytes(out)


def pb(*fields):
    """A message from (number, value) pairs: ints and bools as varints,
    str/bytes as length-delimited; (number, None) is left out."""
    out = b""
    for num, value in fields:
        if value is None:
            continue
        if isinstance(value, (bool, int)):
            out += pb_varint(num << 3) + pb_varint(int(value))
        else:
            data = value.encode() if isinstance(value, str) else value
            out += pb_varint(num << 3 | 2) + pb_varint(len(data)) + data
    return out


def pb_map(num, mapping):
    return [(num, pb((1, k), (2, v))) for k, v in mapping.items()]


def k8s_body(api_version, kind, raw):
    """The envelope: "k8s\\0" and runtime.Unknown{typeMeta{apiVersion, kind}, raw}."""
    return b"k8s\x00" + pb((1, pb((1, api_version), (2, kind))), (2, raw))


PROTOBUF = "application/vnd.kubernetes.protobuf"


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


    def test_protobuf_bodies(self):
        """Bodies as client-go sends them: every member a Go client writes,
        empty or not; what is stored is what the same object sent as JSON is."""
        def meta(name):
            return pb((1, name), (2, ""), (4, ""), (7, 0))     # generateName, selfLink, generation: empty

        secret = pb((1, meta("pull")), *pb_map(2, {".dockerconfigjson": b'{"auths":{}}'}),
                    (3, "kubernetes.io/dockerconfigjson"), (5, False))
        got = self.ok("POST", "/api/v1/namespaces/default/secrets", k8s_body("v1", "Secret", secret), PROTOBUF, 201)
        self.assertEqual(got["data"], {".dockerconfigjson": base64.b64encode(b'{"auths":{}}').decode()})
        self.assertIs(got["immutable"], False)     # a pointer in the API: an explicit false is kept
        self.assertNotIn("generateName", got["metadata"])
        self.assertNotIn("generation", got["metadata"])

        container = pb((1, "c1"), (2, "busybox:1.36"), (5, ""),
                       (6, pb((2, 0), (3, 8080), (4, ""))),                               # ports
                       (7, pb((1, "A"), (2, "1"))),                                      # env
                       (8, pb(*pb_map(1, {"cpu": pb((1, "500m"))}))),                     # resources.limits
                       (11, pb((1, pb((2, pb((1, "/ready"), (2, pb((1, 1), (3, "http"))))))), (4, 0))),  # probe
                       (15, pb((2, False), (4, 0))),                                     # privileged, runAsUser
                       (16, False))                                                      # stdin
        spec = pb((1, pb((1, "data"), (2, pb((2, pb((2, pb((1, "1Gi"))))))))),           # volumes: emptyDir
                  (2, container), (3, ""), (4, 0), (8, ""), (10, "n1"), (11, False), (21, False), (25, -5),
                  (22, pb((1, "k"), (2, "Exists"), (4, "NoExecute"), (5, 0))))            # tolerations
        body = k8s_body("v1", "Pod", pb((1, meta("web")), (2, spec), (3, pb((1, "Running")))))
        got = self.ok("POST", PODS, body, PROTOBUF, 201)
        c = got["spec"]["containers"][0]
        self.assertEqual(c["ports"], [{"containerPort": 8080, "protocol": "TCP"}])
        self.assertEqual(c["env"], [{"name": "A", "value": "1"}])
        self.assertEqual(c["resources"], {"limits": {"cpu": "500m"}})
        self.assertEqual(c["readinessProbe"], {"httpGet": {"path": "/ready", "port": "http"}})
        self.assertEqual(c["securityContext"], {"privileged": False, "runAsUser": 0})
        self.assertEqual(c["imagePullPolicy"], "IfNotPresent")
        self.assertFalse({"stdin", "workingDir"} & set(c))
        sp = got["spec"]
        self.assertEqual(sp["volumes"], [{"name": "data", "emptyDir": {"sizeLimit": "1Gi"}}])
        self.assertEqual((sp["restartPolicy"], sp["terminationGracePeriodSeconds"], sp["priority"]), ("Always", 0, -5))
        self.assertIs(sp["automountServiceAccountToken"], False)
        self.assertEqual(sp["tolerations"], [{"key": "k", "operator": "Exists", "effect": "NoExecute",
                                              "tolerationSeconds": 0}])
        self.assertFalse({"hostNetwork", "serviceAccountName"} & set(sp))
        self.assertEqual(got["status"]["phase"], "Pending")

        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(1796000000))
        lease = pb((1, meta("n1")), (2, pb((1, "n1"), (2, 40), (3, b""), (4, pb((1, 1796000000), (2, 123456789))))))
        got = self.ok("POST", "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases",
                      k8s_body("coordination.k8s.io/v1", "Lease", lease), PROTOBUF, 201)
        self.assertEqual(got["spec"], {"holderIdentity": "n1", "leaseDurationSeconds": 40,
                                       "acquireTime": None,           # the zero time, as JSON writes it
                                       "renewTime": stamp + ".123456Z"})

        event = pb((1, meta("web.1")), (2, pb((1, 1796000000))), (4, "example.com/ferry"), (5, "ferry-n1"),
                   (6, "Start"), (7, "Started"), (8, pb((1, "Pod"), (2, "default"), (3, "web"))), (10, "started"),
                   (11, "Normal"), (15, 0))
        self.ok("POST", "/apis/events.k8s.io/v1/namespaces/default/events",
                k8s_body("events.k8s.io/v1", "Event", event), PROTOBUF, 201)
        core = self.ok("GET", "/api/v1/namespaces/default/events/web.1")
        self.assertEqual((core["involvedObject"]["name"], core["message"], core["reportingComponent"], core["eventTime"]),
                         ("web", "started", "example.com/ferry", stamp + ".000000Z"))

        # DeleteOptions too: grace period 0 removes the bound pod at once.
        self.ok("DELETE", PODS + "/web", k8s_body("v1", "DeleteOptions", pb((1, 0))), PROTOBUF)
        self.assertEqual(self.sim.https("GET", PODS + "/web")[0], 404)

        # Malformed or unknown content: a Status, and nothing stored.
        cm = pb((1, meta("c1")))
        cases = [("no envelope", b"k8x\x00" + cm, 400),
                 ("truncated", k8s_body("v1", "ConfigMap", cm)[:-2], 400),
                 ("invalid UTF-8", k8s_body("v1", "ConfigMap", pb((1, pb((1, b"\xff"))))), 400),
                 ("group wire type", k8s_body("v1", "ConfigMap", cm + b"\x1b"), 400),
                 ("number too long", k8s_body("v1", "ConfigMap", cm + b"\x18" + b"\xff" * 11), 400),
                 ("field unknown here", k8s_body("v1", "ConfigMap", cm + pb((99, "x"))), 415),
                 ("kind not read", k8s_body("apps/v1", "Deployment", cm), 415),
                 ("another kind", k8s_body("v1", "Secret", cm), 400)]
        for what, body, code in cases:
            with self.subTest(what):
                status, obj = self.sim.https("POST", "/api/v1/namespaces/default/configmaps", body, PROTOBUF)
                self.assertEqual((status, obj["kind"], obj["code"]), (code, "Status", code), obj)
        self.assertEqual(self.ok("GET", "/api/v1/configmaps")["items"], [])
        # Answers are JSON: a client that takes nothing else gets 406.
        status, obj = self.sim.https("GET", "/api/v1/namespaces", headers={"Accept": PROTOBUF})
        self.assertEqual((status, obj["reason"]), (406, "NotAcceptable"))

    def test_validation(self):
        """What the server refuses on create: 422 with a cause naming the
        field, or 400 for a member that does not decode; nothing is stored."""
        def spec(**members):
            c = {"name": "c1", "image": "busybox:1.36"}
            c.update(members.pop("container", {}))
            s = {"containers": [c]}
            s.update(members)
            return {"metadata": {"name": "p"}, "spec": s}
        bad_label = {"metadata": {"name": "p", "labels": {"app": "x" * 64}}, "spec": spec()["spec"]}
        big = {"metadata": {"name": "p", "annotations": {"a": "x" * 262144}}, "spec": spec()["spec"]}
        cases = [
            (PODS, pod("Bad_Name"), 422, "metadata.name", "FieldValueInvalid"),
            (PODS, dict(pod("p"), metadata={"name": "p", "labels": {"bad key": "v"}}), 422, "metadata.labels",
             "FieldValueInvalid"),
            (PODS, bad_label, 422, "metadata.labels", "FieldValueInvalid"),
            (PODS, big, 422, "metadata.annotations", "FieldValueTooLong"),
            (PODS, {"metadata": {"name": "p"}, "spec": {"containers": []}}, 422, "spec.containers", "FieldValueRequired"),
            (PODS, spec(container={"image": ""}), 422, "spec.containers[0].image", "FieldValueRequired"),
            (PODS, spec(initContainers=[{"name": "c1", "image": "x"}]), 422, "spec.containers[0].name",
             "FieldValueDuplicate"),
            (PODS, spec(container={"ports": [{"containerPort": 0}]}), 422, "spec.containers[0].ports[0].containerPort",
             "FieldValueInvalid"),
            (PODS, spec(restartPolicy="Sometimes"), 422, "spec.restartPolicy", "FieldValueNotSupported"),
            (PODS, spec(container={"volumeMounts": [{"name": "nope", "mountPath": "/x"}]}), 422,
             "spec.containers[0].volumeMounts[0].name", "FieldValueNotFound"),
            ("/api/v1/namespaces", {"metadata": {"name": "a.b"}}, 422, "metadata.name", "FieldValueInvalid"),
            ("/api/v1/nodes", {"metadata": {"name": "n1"}, "spec": {"taints": [{"key": "k", "effect": "Later"}]}},
             422, "spec.taints[0].effect", "FieldValueNotSupported"),
            ("/apis/coordination.k8s.io/v1/namespaces/default/leases",
             {"metadata": {"name": "l1"}, "spec": {"leaseDurationSeconds": 0}}, 422, "spec.leaseDurationSeconds",
             "FieldValueInvalid"),
            ("/api/v1/namespaces/default/secrets", {"metadata": {"name": "s1"}, "type": "kubernetes.io/dockerconfigjson"},
             422, "data[.dockerconfigjson]", "FieldValueRequired"),
            ("/api/v1/namespaces/default/configmaps", {"metadata": {"name": "c1"}, "data": {"a b": "x"}}, 422,
             "data[a b]", "FieldValueInvalid"),
            ("/api/v1/namespaces/default/events", {"metadata": {"name": "e1"}, "involvedObject": {
                "kind": "Pod", "name": "p", "namespace": "other"}}, 422, "involvedObject.namespace", "FieldValueInvalid"),
            ("/apis/events.k8s.io/v1/namespaces/default/events", {"metadata": {"name": "e1"}, "type": "Normal"},
             422, "reportingController", "FieldValueRequired"),
            (PODS, spec(container={"resources": {"limits": {"cpu": "lots"}}}), 400, None, None),
            ("/api/v1/namespaces/default/secrets", {"metadata": {"name": "s1"}, "data": {"k": "not base64!"}},
             400, None, None),
        ]
        rv = self.sim.admin("GET", "/_kubesim/state")[1]["resourceVersion"]
        for path, body, code, field, reason in cases:
            with self.subTest(path=path, field=field):
                status, obj = self.sim.https("POST", path, body)
                self.assertEqual(status, code, obj)
                if code == 422:
                    self.assertEqual(obj["reason"], "Invalid")
                    self.assertIn({"field": field, "reason": reason},
                                  [{"field": c["field"], "reason": c["reason"]} for c in obj["details"]["causes"]])
        self.assertEqual(self.sim.admin("GET", "/_kubesim/state")[1]["resourceVersion"], rv)
        status, obj = self.sim.https("POST", "/apis/coordination.k8s.io/v1/namespaces/default/leases",
                                     {"metadata": {"name": "l1"}, "spec": {"leaseDurationSeconds": -1}})
        self.assertEqual(obj["message"], 'Lease.coordination.k8s.io "l1" is invalid: spec.leaseDurationSeconds: '
                                         'Invalid value: -1: must be greater than 0')
        self.assertEqual((obj["details"]["kind"], obj["details"]["group"]), ("Lease", "coordination.k8s.io"))

        # Updates and patches are checked the same way, and change nothing when refused.
        made = self.ok("POST", PODS, pod("keep", "n1"), want=201)
        refused = [("PATCH", MERGE, {"metadata": {"labels": {"tier": "front end"}}}, "metadata.labels"),
                   ("PATCH", "application/json-patch+json",
                    [{"op": "add", "path": "/metadata/annotations", "value": {"a/b/c": "x"}}], "metadata.annotations"),
                   ("PUT", "application/json", dict(made, metadata=dict(made["metadata"], finalizers=["a b"])),
                    "metadata.finalizers")]
        for method, ctype, body, field in refused:
            with self.subTest(field=field):
                status, obj = self.sim.https(method, PODS + "/keep", body, ctype)
                self.assertEqual((status, [c["field"] for c in obj["details"]["causes"]]), (422, [field]), obj)
        self.assertEqual(self.ok("GET", PODS + "/keep")["metadata"]["resourceVersion"], made["metadata"]["resourceVersion"])
        self.ok("POST", "/api/v1/nodes", {"metadata": {"name": "n2"}, "spec": {"podCIDR": "10.0.0.0/24"}}, want=201)
        status, obj = self.sim.https("PATCH", "/api/v1/nodes/n2", {"spec": {"podCIDR": "10.0.1.0/24"}}, MERGE)
        self.assertEqual((status, obj["details"]["causes"][0]["reason"]), (422, "FieldValueForbidden"))
        self.ok("POST", "/api/v1/namespaces/default/secrets", {"metadata": {"name": "s2"}}, want=201)
        status, obj = self.sim.https("PATCH", "/api/v1/namespaces/default/secrets/s2", {"type": "example.com/x"}, MERGE)
        self.assertEqual((status, obj["details"]["causes"][0]["field"]), (422, "type"))

    def test_events_in_both_apis(self):
        """core/v1 and events.k8s.io/v1 events are one set of objects, each
        API with its own member names."""
        events, new_events = "/api/v1/namespaces/default/events", "/apis/events.k8s.io/v1/namespaces/default/events"
        ref = {"kind": "Pod", "namespace": "default", "name": "p", "uid": "u1"}
        self.ok("POST", events, {"metadata": {"name": "p.1"}, "involvedObject": ref, "reason": "Pulled",
                                 "message": "pulled", "type": "Normal", "source": {"component": "ferry"},
                                 "count": 3}, want=201)
        rv = self.ok("GET", events)["metadata"]["resourceVersion"]
        made = self.ok("POST", new_events, {"metadata": {"name": "p.2"}, "regarding": ref, "reason": "Started",
                                            "note": "started", "type": "Normal", "action": "Start",
                                            "reportingController": "example.com/ferry", "reportingInstance": "i1",
                                            "eventTime": "2026-12-08T06:00:00.000000Z"}, want=201)
        self.assertEqual((made["apiVersion"], made["regarding"]), ("events.k8s.io/v1", ref))
        # The fields `kubectl describe` selects by, on the core API.
        found = self.ok("GET", events + "?fieldSelector=involvedObject.name%3Dp,involvedObject.uid%3Du1")["items"]
        self.assertEqual([e["metadata"]["name"] for e in found], ["p.1", "p.2"])
        self.assertEqual((found[1]["message"], found[1]["reportingComponent"]), ("started", "example.com/ferry"))
        view = self.ok("GET", new_events + "/p.1")
        self.assertEqual((view["note"], view["deprecatedSource"], view["deprecatedCount"]),
                         ("pulled", {"component": "ferry"}, 3))
        self.assertNotIn("message", view)
        self.ok("PATCH", new_events + "/p.2", {"note": "started again"}, MERGE)
        self.assertEqual(self.ok("GET", events + "/p.2")["message"], "started again")
        evs = self.sim.watch_lines(new_events + "?watch=1&timeoutSeconds=1&resourceVersion=" + rv)
        self.assertEqual([(e["type"], e["object"]["apiVersion"], e["object"]["note"]) for e in evs],
                         [("ADDED", "events.k8s.io/v1", "started"), ("MODIFIED", "events.k8s.io/v1", "started again")])
        status, table = self.sim.https("GET", events, headers={"Accept": "application/json;as=Table;v=v1;g=meta.k8s.io"})
        self.assertEqual([r["cells"][1:4] for r in table["rows"]], [["Normal", "Pulled", "pod/p"],
                                                                   ["Normal", "Started", "pod/p"]])

    def test_state_survives_restart(self):
        self.ok("POST", PODS, pod("bound", "n1"), want=201)
        self.ok("DELETE", PODS + "/bound")                       # graceful: still there, being deleted
        self.ok("POST", "/api/v1/namespaces/default/configmaps", {"metadata": {"name": "c"}, "data": {"k": "v"}},
                want=201)
        self.ok("POST", "/apis/coordination.k8s.io/v1/namespaces/kube-node-lease/leases",
                {"metadata": {"name": "n1"}, "spec": {"holderIdentity": "n1"}}, want=201)
        self.ok("POST", "/api/v1/namespaces", {"metadata": {"name": "gone"}}, want=201)
        self.ok("DELETE", "/api/v1/namespaces/gone")
        before = self.sim.admin("GET", "/_kubesim/state")[1]
        self.sim.restart(kill=True)
        after = self.sim.admin("GET", "/_kubesim/state")[1]
        self.assertEqual((after["objects"], after["resourceVersion"]), (before["objects"], before["resourceVersion"]))
        self.assertEqual([f for f in os.listdir(self.sim.dir) if f.endswith(".tmp")], [])
        rv = int(before["resourceVersion"])
        evs = self.sim.watch_lines("/api/v1/pods?watch=1&timeoutSeconds=5&resourceVersion=%d" % (rv - 1))
        self.assertEqual([(e["type"], e["object"]["code"]) for e in evs], [("ERROR", 410)])
        self.assertEqual(self.sim.watch_lines("/api/v1/pods?watch=1&timeoutSeconds=1&resourceVersion=%d" % rv), [])
        made = self.ok("POST", PODS, pod("next"), want=201)
        self.assertEqual(int(made["metadata"]["resourceVersion"]), rv + 1)

        # A state file that cannot be read stops the emulator rather than
        # letting it start empty and overwrite what the file held.
        for text in ('{"resourceVersion": 3, "objects": [{"resource": "/widgets", "object": {}}]}', "{not json"):
            with self.subTest(text=text):
                path = os.path.join(self.sim.dir, "broken.json")
                with open(path, "w") as f:
                    f.write(text)
                p = subprocess.run([sys.executable, SCRIPT, "--port", "0", "--certs", self.sim.certs, "--state", path],
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(p.returncode, 2, p.stderr)
                self.assertIn("cannot read the state file", p.stderr)
                with open(path) as f:
                    self.assertEqual(f.read(), text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
