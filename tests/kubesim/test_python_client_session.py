"""The emulator driven by the Python Kubernetes client (Debian's
python3-kubernetes, run with /usr/bin/python3) over TLS with the node's
certificate: nodes, leases, pods, secrets, list by field selector, watch with
bookmarks and 410 Gone, status patches and delete preconditions."""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kubesim_testlib import Sim  # noqa: E402

try:
    from kubernetes import client, config, watch
    from kubernetes.client.rest import ApiException
except ImportError:  # pragma: no cover - reported as a skip
    client = None


@unittest.skipIf(client is None, "python3-kubernetes is not importable")
class PythonClientSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--bookmark-interval", "1")
        api = config.new_client_from_config(config_file=cls.sim.kubeconfig, context="kubesim-node")
        cls.core = client.CoreV1Api(api)
        cls.coord = client.CoordinationV1Api(api)
        cls.api = api

    @classmethod
    def tearDownClass(cls):
        cls.api.close()
        cls.sim.stop()

    def status_of(self, call, *args, **kwargs):
        with self.assertRaises(ApiException) as cm:
            call(*args, **kwargs)
        return cm.exception.status

    def test_1_node_and_lease(self):
        self.assertEqual(self.status_of(self.core.read_node, "node1"), 404)
        node = client.V1Node(metadata=client.V1ObjectMeta(name="node1", labels={"type": "ozferry"}))
        made = self.core.create_node(node)
        self.assertTrue(made.metadata.uid)
        self.assertEqual(self.status_of(self.core.create_node, node), 409)
        body = {"status": {"conditions": [{"type": "Ready", "status": "True", "reason": "FerryReady"}],
                           "capacity": {"pods": "9", "cpu": "2"}}}
        patched = self.core.patch_node_status("node1", body)
        self.assertEqual([(c.type, c.status) for c in patched.status.conditions], [("Ready", "True")])
        self.assertEqual(patched.status.capacity["pods"], "9")
        body = {"status": {"conditions": [{"type": "Ready", "status": "False", "reason": "FerryStopping"}]}}
        patched = self.core.patch_node_status("node1", body)
        self.assertEqual(len(patched.status.conditions), 1)   # merged by type
        self.assertEqual(patched.status.conditions[0].status, "False")

        lease = client.V1Lease(metadata=client.V1ObjectMeta(name="node1", namespace="kube-node-lease"),
                               spec=client.V1LeaseSpec(holder_identity="node1", lease_duration_seconds=40))
        self.coord.create_namespaced_lease("kube-node-lease", lease)
        got = self.coord.patch_namespaced_lease("node1", "kube-node-lease",
                                                {"spec": {"renewTime": "2026-12-07T08:46:26.000000Z"}})
        self.assertEqual(got.spec.holder_identity, "node1")
        self.assertIsNotNone(got.spec.renew_time)
        got = self.coord.read_namespaced_lease("node1", "kube-node-lease")
        self.assertEqual(got.spec.lease_duration_seconds, 40)

    def test_2_secret(self):
        self.core.create_namespaced_secret("default", client.V1Secret(
            metadata=client.V1ObjectMeta(name="regcred"), type="kubernetes.io/dockerconfigjson",
            string_data={".dockerconfigjson": '{"auths":{}}'}))
        s = self.core.read_namespaced_secret("regcred", "default")
        self.assertEqual(s.data[".dockerconfigjson"], "eyJhdXRocyI6e319")
        self.assertIsNone(s.string_data)
        # A pull secret without its configuration is refused, the field named.
        with self.assertRaises(ApiException) as cm:
            self.core.create_namespaced_secret("default", client.V1Secret(
                metadata=client.V1ObjectMeta(name="empty"), type="kubernetes.io/dockerconfigjson"))
        self.assertEqual(cm.exception.status, 422)
        causes = json.loads(cm.exception.body)["details"]["causes"]
        self.assertEqual([(c["reason"], c["field"]) for c in causes], [("FieldValueRequired", "data[.dockerconfigjson]")])

    def test_3_pods_list_watch_delete(self):
        def pod(name, node):
            return client.V1Pod(metadata=client.V1ObjectMeta(name=name),
                                spec=client.V1PodSpec(node_name=node, containers=[
                                    client.V1Container(name="c1", image="busybox:1.36")]))
        self.core.create_namespaced_pod("default", pod("a", "node1"))
        self.core.create_namespaced_pod("default", pod("b", "node2"))
        lst = self.core.list_pod_for_all_namespaces(field_selector="spec.nodeName=node1")
        self.assertEqual([p.metadata.name for p in lst.items], ["a"])
        rv = lst.metadata.resource_version

        a = self.core.read_namespaced_pod("a", "default")
        self.core.patch_namespaced_pod_status("a", "default", {"status": {"phase": "Running", "containerStatuses": [
            {"name": "c1", "ready": True, "restartCount": 0, "image": "busybox:1.36", "imageID": "",
             "containerID": "ozc://a_c1", "state": {"running": {"startedAt": "2026-12-07T08:46:00Z"}}}]}})
        # Preconditions: wrong uid and stale version are conflicts.
        wrong = client.V1DeleteOptions(preconditions=client.V1Preconditions(uid="not-a"))
        self.assertEqual(self.status_of(self.core.delete_namespaced_pod, "a", "default", body=wrong), 409)
        stale = client.V1DeleteOptions(preconditions=client.V1Preconditions(
            uid=a.metadata.uid, resource_version=a.metadata.resource_version))
        self.assertEqual(self.status_of(self.core.delete_namespaced_pod, "a", "default", body=stale), 409)
        cur = self.core.read_namespaced_pod("a", "default")
        good = client.V1DeleteOptions(preconditions=client.V1Preconditions(
            uid=cur.metadata.uid, resource_version=cur.metadata.resource_version))
        gone = self.core.delete_namespaced_pod("a", "default", body=good)
        self.assertIsNotNone(gone.metadata.deletion_timestamp)   # bound: graceful
        self.core.delete_namespaced_pod("a", "default", grace_period_seconds=0)
        self.assertEqual(self.status_of(self.core.read_namespaced_pod, "a", "default"), 404)

        w = watch.Watch()
        seen = []
        for ev in w.stream(self.core.list_pod_for_all_namespaces, field_selector="spec.nodeName=node1",
                           resource_version=rv, timeout_seconds=2, allow_watch_bookmarks=True):
            seen.append(ev["type"])
        self.assertEqual(seen[:3], ["MODIFIED", "MODIFIED", "DELETED"])
        self.assertIn("BOOKMARK", seen[3:])

        self.sim.admin("POST", "/_kubesim/compact")
        with self.assertRaises(ApiException) as cm:
            for _ in watch.Watch().stream(self.core.list_pod_for_all_namespaces, resource_version=rv,
                                          timeout_seconds=2):
                pass
        self.assertEqual(cm.exception.status, 410)


if __name__ == "__main__":
    unittest.main(verbosity=2)
