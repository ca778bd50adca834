#!/usr/bin/env python3
"""kubesim: an emulator of the Kubernetes API server for tests and the local demo.

Python standard library only.  Serves HTTPS with client-certificate
authentication on 127.0.0.1 and, optionally, a plain-HTTP admin port on
127.0.0.1 that reaches the same API without authentication plus the test
controls under /_kubesim/ (fault injection, request log, history compaction,
scheduler switch).

Behaviour follows the public API conventions: one global, monotonically
increasing resourceVersion; list and watch with field and label selectors;
watch streams of one JSON event per line (ADDED, MODIFIED, DELETED, BOOKMARK,
ERROR with a 410 Status when the requested version is older than the kept
history); JSON patch, JSON merge patch and strategic merge patch for the
built-in kinds; status subresources; delete preconditions and the graceful
deletion of pods bound to a node; Status objects for every error; Table
output for kubectl.  Request bodies in JSON or, as client-go sends built-in
kinds, protobuf (kubeproto.py); the server's validation with its 422 field
causes (kubevalidate.py); core/v1 and events.k8s.io/v1 events as one set of
objects; --state keeps every object and the resourceVersion across restarts.

Sub-commands:
  kubesim.py [serve] --port 0 --certs DIR [--ready-file F] ...   run the server
  kubesim.py mkcerts DIR [--node NAME]                            generate TLS material
"""

import argparse
import base64
import bisect
import copy
import datetime
import http.server
import json
import os
import random
import re
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import traceback
import urllib.parse
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kubeproto  # noqa: E402
import kubevalidate  # noqa: E402

SERVER_VERSION = {
    "major": "1", "minor": "32", "gitVersion": "v1.32.0-kubesim",
    "gitCommit": "0000000000000000000000000000000000000000", "gitTreeState": "clean",
    "buildDate": "2026-01-01T00:00:00Z", "goVersion": "go1.23.0", "compiler": "gc",
    "platform": "linux/amd64",
}

# --------------------------------------------------------------------------
# Resource types
# --------------------------------------------------------------------------


class ResourceType:
    """One resource of the API.  A resource may be another version's view of
    a stored one (events.k8s.io/v1 events are core/v1 events): `storage` is
    the resource whose objects it shows, `to_storage` / `from_storage` convert
    between the two forms."""

    def __init__(self, group, version, plural, singular, kind, namespaced,
                 short_names=(), has_status=False, subresources=(), storage=None, renames=()):
        self.group = group
        self.version = version
        self.plural = plural
        self.singular = singular
        self.kind = kind
        self.namespaced = namespaced
        self.short_names = list(short_names)
        self.has_status = has_status
        self.subresources = set(subresources) | ({"status"} if has_status else set())
        self.storage = storage or self
        self.renames = dict(renames)          # storage member -> member of this form

    def _convert(self, obj, renames, rt):
        if not renames:
            return obj
        out = {renames.get(k, k): v for k, v in obj.items()}
        out["kind"], out["apiVersion"] = rt.kind, rt.api_version
        return out

    def from_storage(self, obj):
        return self._convert(obj, self.renames, self)

    def to_storage(self, obj):
        return self._convert(obj, {v: k for k, v in self.renames.items()}, self.storage)

    @property
    def api_version(self):
        return self.version if not self.group else self.group + "/" + self.version

    @property
    def key(self):
        return self.group + "/" + self.plural

    @property
    def qualified(self):
        """The resource name used in error messages: "pods", "leases.coordination.k8s.io"."""
        return self.plural if not self.group else self.plural + "." + self.group


VERBS = ["create", "delete", "deletecollection", "get", "list", "patch", "update", "watch"]

CORE_EVENTS = ResourceType("", "v1", "events", "event", "Event", True, ["ev"])
# The members of an events.k8s.io/v1 Event that carry other names in core/v1.
EVENT_RENAMES = {"involvedObject": "regarding", "message": "note", "source": "deprecatedSource",
                 "firstTimestamp": "deprecatedFirstTimestamp", "lastTimestamp": "deprecatedLastTimestamp",
                 "count": "deprecatedCount", "reportingComponent": "reportingController"}

RESOURCES = [
    ResourceType("", "v1", "namespaces", "namespace", "Namespace", False, ["ns"], has_status=True),
    ResourceType("", "v1", "nodes", "node", "Node", False, ["no"], has_status=True),
    ResourceType("", "v1", "pods", "pod", "Pod", True, ["po"], has_status=True, subresources=["binding"]),
    ResourceType("", "v1", "secrets", "secret", "Secret", True),
    ResourceType("", "v1", "configmaps", "configmap", "ConfigMap", True, ["cm"]),
    CORE_EVENTS,
    ResourceType("", "v1", "serviceaccounts", "serviceaccount", "ServiceAccount", True, ["sa"]),
    ResourceType("coordination.k8s.io", "v1", "leases", "lease", "Lease", True),
    ResourceType("events.k8s.io", "v1", "events", "event", "Event", True, ["ev"],
                 storage=CORE_EVENTS, renames=EVENT_RENAMES),
]
RESOURCE_BY_GV_PLURAL = {(r.group, r.version, r.plural): r for r in RESOURCES}
RESOURCE_BY_KEY = {r.key: r for r in RESOURCES}
RESOURCE_BY_KIND = {(r.api_version, r.kind): r for r in RESOURCES}
STORED = {r.key for r in RESOURCES if r.storage is r}
GROUPS = {}
for _r in RESOURCES:
    if _r.group:
        GROUPS.setdefault(_r.group, set()).add(_r.version)

PROTECTED_NAMESPACES = {"default", "kube-system", "kube-public"}
INITIAL_NAMESPACES = ["default", "kube-system", "kube-public", "kube-node-lease"]

# Strategic merge: merge keys of object lists, per resource, by field path
# (list indices left out).  Lists not named here are replaced as a whole, as
# the real server does for lists without a patch strategy (containerStatuses,
# tolerations, taints, ...).
_CONTAINER_KEYS = {"ports": "containerPort", "env": "name", "volumeMounts": "mountPath",
                   "volumeDevices": "devicePath"}
SMP_COMMON = {("metadata", "ownerReferences"): "uid"}
SMP_PRIMITIVE_MERGE = {("metadata", "finalizers")}
SMP_KEYS = {
    "/pods": {
        ("spec", "containers"): "name", ("spec", "initContainers"): "name",
        ("spec", "ephemeralContainers"): "name", ("spec", "volumes"): "name",
        ("spec", "imagePullSecrets"): "name", ("spec", "hostAliases"): "ip",
        ("status", "conditions"): "type", ("status", "podIPs"): "ip",
        ("status", "hostIPs"): "ip",
    },
    "/nodes": {
        ("status", "conditions"): "type", ("status", "addresses"): "type",
        ("status", "volumesAttached"): "name",
    },
    "/namespaces": {("status", "conditions"): "type"},
}
for _c in ("containers", "initContainers", "ephemeralContainers"):
    for _f, _k in _CONTAINER_KEYS.items():
        SMP_KEYS["/pods"][("spec", _c, _f)] = _k


# --------------------------------------------------------------------------
# Errors and Status objects
# --------------------------------------------------------------------------

REASONS = {400: "BadRequest", 401: "Unauthorized", 403: "Forbidden", 404: "NotFound",
           405: "MethodNotAllowed", 406: "NotAcceptable", 409: "Conflict", 410: "Expired",
           415: "UnsupportedMediaType", 422: "Invalid", 429: "TooManyRequests",
           500: "InternalError", 503: "ServiceUnavailable", 504: "Timeout"}


class ApiError(Exception):
    def __init__(self, code, message, reason=None, details=None):
        super().__init__(message)
        self.code = code
        self.message = message
        self.reason = reason if reason is not None else REASONS.get(code, "")
        self.details = details

    def status(self):
        return status_object(self.code, self.message, self.reason, self.details)


def status_object(code, message, reason="", details=None):
    st = {"kind": "Status", "apiVersion": "v1", "metadata": {}, "status": "Failure",
          "message": message, "reason": reason, "code": code}
    if details:
        st["details"] = details
    if not reason:
        del st["reason"]
    return st


def _details(rt, name, uid=None):
    d = {"name": name, "kind": rt.plural}
    if rt.group:
        d["group"] = rt.group
    if uid:
        d["uid"] = uid
    return d


def not_found(rt, name):
    return ApiError(404, '%s "%s" not found' % (rt.qualified, name), "NotFound", _details(rt, name))


def conflict(rt, name, why="the object has been modified; please apply your changes to the latest version and try again"):
    return ApiError(409, 'Operation cannot be fulfilled on %s "%s": %s' % (rt.qualified, name, why),
                    "Conflict", _details(rt, name))


def invalid(rt, name, errs):
    """422 Invalid for the field errors (kubevalidate.FieldErrors) of one object."""
    det = _details(rt, name)
    det["kind"] = rt.kind
    det["causes"] = errs.causes
    kind = rt.kind if not rt.group else rt.kind + "." + rt.group
    return ApiError(422, '%s "%s" is invalid: %s' % (kind, name, errs.summary()), "Invalid", det)


def validation_errors(rt, obj, old=None):
    """The server's validation of an object about to be stored: its field
    errors; a member that does not decode is 400 at once."""
    try:
        return kubevalidate.validate(rt.api_version, rt.kind, obj, old)
    except kubevalidate.BadType as e:
        raise ApiError(400, '%s in version "%s" cannot be handled as a %s: %s' % (rt.kind, rt.version, rt.kind, e),
                       "BadRequest")


def check_valid(rt, obj, old=None):
    errs = validation_errors(rt, obj, old)
    if errs:
        raise invalid(rt, (obj.get("metadata") or {}).get("name") or "", errs)


# --------------------------------------------------------------------------
# Small helpers
# --------------------------------------------------------------------------

def rfc3339(t=None):
    if t is None:
        t = time.time()
    return datetime.datetime.fromtimestamp(int(t), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def parse_time(s):
    try:
        s = s.replace("Z", "+00:00")
        return datetime.datetime.fromisoformat(s).timestamp()
    except (AttributeError, ValueError):
        return None


def human_duration(seconds):
    """Age text in the form kubectl users know ("5s", "3m20s", "2d4h")."""
    seconds = int(seconds)
    if seconds < -1:
        return "<invalid>"
    if seconds < 0:
        return "0s"
    if seconds < 120:
        return "%ds" % seconds
    minutes = seconds // 60
    if minutes < 10:
        s = seconds % 60
        return "%dm" % minutes if s == 0 else "%dm%ds" % (minutes, s)
    if minutes < 180:
        return "%dm" % minutes
    hours = seconds // 3600
    if hours < 8:
        m = minutes % 60
        return "%dh" % hours if m == 0 else "%dh%dm" % (hours, m)
    if hours < 48:
        return "%dh" % hours
    if hours < 24 * 8:
        h = hours % 24
        return "%dd" % (hours // 24) if h == 0 else "%dd%dh" % (hours // 24, h)
    if hours < 24 * 365 * 2:
        return "%dd" % (hours // 24)
    if hours < 24 * 365 * 8:
        dy = (hours // 24) % 365
        return "%dy" % (hours // 24 // 365) if dy == 0 else "%dy%dd" % (hours // 24 // 365, dy)
    return "%dy" % (hours // 24 // 365)


def query_bool(text):
    """A boolean query parameter read as the server reads it: 1, t, T, TRUE,
    true and True are true (clients send "true" or "True")."""
    return text in ("1", "t", "T", "TRUE", "true", "True")


def get_path(obj, dotted):
    cur = obj
    for part in dotted.split("."):
        if not isinstance(cur, dict) or part not in cur:
            return None
        cur = cur[part]
    return cur


# --------------------------------------------------------------------------
# Selectors
# --------------------------------------------------------------------------

class FieldSelector:
    """Comma-separated terms "path=value", "path==value", "path!=value"."""

    def __init__(self, text):
        self.terms = []
        if not text:
            return
        for term in text.split(","):
            term = term.strip()
            if not term:
                continue
            m = re.match(r"^([A-Za-z0-9_.\-]+)\s*(!=|==|=)\s*(.*)$", term)
            if not m:
                raise ApiError(400, "invalid field selector: %r" % term, "BadRequest")
            self.terms.append((m.group(1), m.group(2), m.group(3)))

    def matches(self, obj):
        for path, op, value in self.terms:
            actual = get_path(obj, path)
            if actual is None:
                actual = ""
            if isinstance(actual, bool):
                actual = "true" if actual else "false"
            actual = str(actual)
            if (op == "!=") == (actual == value):
                return False
        return True


class LabelSelector:
    """Equality, set-based and existence requirements."""

    def __init__(self, text):
        self.reqs = []
        if not text:
            return
        for term in self._split(text):
            term = term.strip()
            if not term:
                continue
            m = re.match(r"^([A-Za-z0-9_./\-]+)\s+(in|notin)\s+\((.*)\)$", term)
            if m:
                vals = {v.strip() for v in m.group(3).split(",") if v.strip()}
                self.reqs.append((m.group(1), m.group(2), vals))
                continue
            m = re.match(r"^([A-Za-z0-9_./\-]+)\s*(!=|==|=)\s*([A-Za-z0-9_.\-]*)$", term)
            if m:
                self.reqs.append((m.group(1), m.group(2), {m.group(3)}))
                continue
            m = re.match(r"^(!?)\s*([A-Za-z0-9_./\-]+)$", term)
            if m:
                self.reqs.append((m.group(2), "!exists" if m.group(1) else "exists", set()))
                continue
            raise ApiError(400, "unable to parse requirement: %r" % term, "BadRequest")

    @staticmethod
    def _split(text):
        out, depth, cur = [], 0, ""
        for ch in text:
            if ch == "(":
                depth += 1
            elif ch == ")":
                depth -= 1
            if ch == "," and depth == 0:
                out.append(cur)
                cur = ""
            else:
                cur += ch
        out.append(cur)
        return out

    def matches(self, obj):
        labels = (obj.get("metadata") or {}).get("labels") or {}
        for key, op, vals in self.reqs:
            present = key in labels
            v = labels.get(key)
            if op in ("=", "==", "in") and not (present and v in vals):
                return False
            if op in ("!=", "notin") and present and v in vals:
                return False
            if op == "exists" and not present:
                return False
            if op == "!exists" and present:
                return False
        return True


# --------------------------------------------------------------------------
# Patches
# --------------------------------------------------------------------------

def json_merge_patch(target, patch):
    """RFC 7386."""
    if not isinstance(patch, dict):
        return copy.deepcopy(patch)
    result = copy.deepcopy(target) if isinstance(target, dict) else {}
    for k, v in patch.items():
        if v is None:
            result.pop(k, None)
        else:
            result[k] = json_merge_patch(result.get(k), v)
    return result


def _pointer(path):
    if path == "":
        return []
    if not path.startswith("/"):
        raise ApiError(400, "invalid JSON pointer: %r" % path)
    return [p.replace("~1", "/").replace("~0", "~") for p in path[1:].split("/")]


def _container_of(doc, parts, create_missing=False):
    cur = doc
    for p in parts[:-1]:
        if isinstance(cur, list):
            try:
                cur = cur[int(p)]
            except (ValueError, IndexError):
                raise ApiError(422, "path not found: %s" % "/".join(parts))
        elif isinstance(cur, dict):
            if p not in cur:
                raise ApiError(422, "doc is missing path: /%s" % "/".join(parts))
            cur = cur[p]
        else:
            raise ApiError(422, "path not found: /%s" % "/".join(parts))
    return cur


def _jp_get(doc, parts):
    cur = doc
    for p in parts:
        if isinstance(cur, list):
            try:
                cur = cur[int(p)]
            except (ValueError, IndexError):
                raise ApiError(422, "path not found: /%s" % "/".join(parts))
        elif isinstance(cur, dict) and p in cur:
            cur = cur[p]
        else:
            raise ApiError(422, "path not found: /%s" % "/".join(parts))
    return cur


def _jp_remove(doc, parts):
    parent = _container_of(doc, parts)
    last = parts[-1]
    if isinstance(parent, list):
        try:
            return parent.pop(int(last))
        except (ValueError, IndexError):
            raise ApiError(422, "unable to remove nonexistent key: /%s" % "/".join(parts))
    if isinstance(parent, dict) and last in parent:
        return parent.pop(last)
    raise ApiError(422, "unable to remove nonexistent key: %s: missing value" % last)


def _jp_add(doc, parts, value):
    if not parts:
        return value
    parent = _container_of(doc, parts)
    last = parts[-1]
    if isinstance(parent, list):
        if last == "-":
            parent.append(value)
        else:
            try:
                idx = int(last)
            except ValueError:
                raise ApiError(422, "invalid array index: %s" % last)
            if idx < 0 or idx > len(parent):
                raise ApiError(422, "add operation does not apply: index out of range")
            parent.insert(idx, value)
    elif isinstance(parent, dict):
        parent[last] = value
    else:
        raise ApiError(422, "add operation does not apply: doc is missing path")
    return doc


def json_patch(doc, ops):
    """RFC 6902."""
    if not isinstance(ops, list):
        raise ApiError(400, "json patch must be a list of operations")
    doc = copy.deepcopy(doc)
    for op in ops:
        if not isinstance(op, dict) or "op" not in op or "path" not in op:
            raise ApiError(400, "invalid json patch operation: %r" % (op,))
        kind = op["op"]
        parts = _pointer(op["path"])
        if kind == "add":
            doc = _jp_add(doc, parts, copy.deepcopy(op.get("value")))
        elif kind == "remove":
            _jp_remove(doc, parts)
        elif kind == "replace":
            if not parts:
                doc = copy.deepcopy(op.get("value"))
                continue
            _jp_get(doc, parts)
            parent = _container_of(doc, parts)
            if isinstance(parent, list):
                parent[int(parts[-1])] = copy.deepcopy(op.get("value"))
            else:
                parent[parts[-1]] = copy.deepcopy(op.get("value"))
        elif kind in ("move", "copy"):
            src = _pointer(op.get("from", ""))
            value = copy.deepcopy(_jp_get(doc, src))
            if kind == "move":
                _jp_remove(doc, src)
            doc = _jp_add(doc, parts, value)
        elif kind == "test":
            if _jp_get(doc, parts) != op.get("value"):
                raise ApiError(422, "testing value %s failed" % op["path"])
        else:
            raise ApiError(400, "unexpected json patch operation: %r" % kind)
    return doc


def strategic_merge(original, patch, keys, path=()):
    """Strategic merge patch of one map.  `keys` maps list paths to merge keys."""
    if not isinstance(patch, dict):
        return copy.deepcopy(patch)
    if not isinstance(original, dict):
        original = {}
    directive = patch.get("$patch")
    if directive == "replace":
        return {k: copy.deepcopy(v) for k, v in patch.items() if k != "$patch"}
    if directive == "delete":
        return None
    result = copy.deepcopy(original)
    if "$retainKeys" in patch:
        retain = set(patch["$retainKeys"] or [])
        result = {k: v for k, v in result.items() if k in retain}
    orders = {}
    for k, v in patch.items():
        if k.startswith("$setElementOrder/"):
            orders[k.split("/", 1)[1]] = v
    for k, v in patch.items():
        if k.startswith("$deleteFromPrimitiveList/"):
            field = k.split("/", 1)[1]
            if isinstance(result.get(field), list):
                result[field] = [e for e in result[field] if e not in (v or [])]
    for k, v in patch.items():
        if k.startswith("$"):
            continue
        sub = path + (k,)
        if v is None:
            result.pop(k, None)
        elif isinstance(v, dict):
            merged = strategic_merge(result.get(k), v, keys, sub)
            if merged is None:
                result.pop(k, None)
            else:
                result[k] = merged
        elif isinstance(v, list):
            result[k] = _merge_list(result.get(k), v, keys, sub)
        else:
            result[k] = copy.deepcopy(v)
    for field, order in orders.items():
        if isinstance(result.get(field), list):
            result[field] = _apply_order(result[field], order, keys.get(path + (field,)))
    return result


def _merge_list(original, patch, keys, path):
    key = keys.get(path)
    if path in SMP_PRIMITIVE_MERGE:
        out = list(original or [])
        for e in patch:
            if e not in out:
                out.append(copy.deepcopy(e))
        return out
    if key is None:
        return [copy.deepcopy(e) for e in patch if not (isinstance(e, dict) and "$patch" in e)]
    if any(isinstance(e, dict) and e.get("$patch") == "replace" for e in patch):
        return [copy.deepcopy(e) for e in patch if not (isinstance(e, dict) and "$patch" in e)]
    out = [copy.deepcopy(e) for e in (original or [])]
    for e in patch:
        if not isinstance(e, dict):
            out.append(copy.deepcopy(e))
            continue
        if e.get("$patch") == "delete":
            out = [o for o in out if not (isinstance(o, dict) and o.get(key) == e.get(key))]
            continue
        idx = next((i for i, o in enumerate(out) if isinstance(o, dict) and key in e and o.get(key) == e.get(key)), None)
        if idx is None:
            out.append(strategic_merge({}, e, keys, path))
        else:
            out[idx] = strategic_merge(out[idx], e, keys, path)
    return out


def _apply_order(items, order, key):
    if key is None:
        return items
    rank = {}
    for i, o in enumerate(order or []):
        if isinstance(o, dict) and key in o:
            rank[o[key]] = i
    indexed = list(enumerate(items))
    indexed.sort(key=lambda p: (rank.get(p[1].get(key) if isinstance(p[1], dict) else None, len(rank) + p[0])))
    return [p[1] for p in indexed]


def smp_keys_for(rt):
    keys = dict(SMP_COMMON)
    keys.update(SMP_KEYS.get(rt.key, {}))
    return keys


# --------------------------------------------------------------------------
# Tables (kubectl get)
# --------------------------------------------------------------------------

def _col(name, typ="string", fmt="", desc="", priority=0):
    return {"name": name, "type": typ, "format": fmt, "description": desc or name, "priority": priority}


def _since(stamp):
    t = parse_time(stamp or "")
    return "<unknown>" if t is None else human_duration(time.time() - t)


def _age(obj):
    return _since((obj.get("metadata") or {}).get("creationTimestamp"))


def _event_row(e):
    """A core/v1 event as `kubectl get events` shows it."""
    involved = e.get("involvedObject") or {}
    series = e.get("series") or {}
    source = e.get("source") or {}
    first = e.get("firstTimestamp") or e.get("eventTime")
    last = series.get("lastObservedTime") or e.get("lastTimestamp") or first
    origin = ", ".join(filter(None, [source.get("component"), source.get("host")])) or e.get("reportingComponent", "")
    return [_since(last), e.get("type", ""), e.get("reason", ""),
            "%s/%s" % ((involved.get("kind") or "").lower(), involved.get("name", "")),
            involved.get("fieldPath", ""), origin, (e.get("message") or "").strip(), _since(first),
            int(series.get("count") or e.get("count") or 1), e["metadata"]["name"]]


def _node_row(o):
    st = o.get("status") or {}
    ready = next((c for c in st.get("conditions") or [] if c.get("type") == "Ready"), None)
    status = "Unknown" if ready is None else ("Ready" if ready.get("status") == "True" else "NotReady")
    if (o.get("spec") or {}).get("unschedulable"):
        status += ",SchedulingDisabled"
    labels = (o.get("metadata") or {}).get("labels") or {}
    roles = sorted(k.split("/", 1)[1] for k in labels if k.startswith("node-role.kubernetes.io/") and "/" in k)
    if labels.get("kubernetes.io/role"):
        roles.append(labels["kubernetes.io/role"])
    info = st.get("nodeInfo") or {}

    def addr(kind):
        return next((a.get("address") for a in st.get("addresses") or [] if a.get("type") == kind), None) or "<none>"
    return [o["metadata"]["name"], status, ",".join(roles) or "<none>", _age(o),
            info.get("kubeletVersion", ""), addr("InternalIP"), addr("ExternalIP"),
            info.get("osImage") or "<unknown>", info.get("kernelVersion") or "<unknown>",
            info.get("containerRuntimeVersion") or "<unknown>"]


def _pod_row(o):
    spec = o.get("spec") or {}
    st = o.get("status") or {}
    total = len(spec.get("containers") or [])
    ready = restarts = 0
    reason = st.get("reason") or st.get("phase") or ""
    has_running = False
    for cs in reversed(st.get("containerStatuses") or []):
        restarts += int(cs.get("restartCount") or 0)
        state = cs.get("state") or {}
        if (state.get("waiting") or {}).get("reason"):
            reason = state["waiting"]["reason"]
        elif state.get("terminated") is not None and state["terminated"].get("reason"):
            reason = state["terminated"]["reason"]
        elif state.get("terminated") is not None:
            t = state["terminated"]
            reason = ("Signal:%d" % t["signal"]) if t.get("signal") else "ExitCode:%d" % int(t.get("exitCode") or 0)
        elif state.get("running") is not None and cs.get("ready"):
            has_running = True
            ready += 1
    if reason == "Completed" and has_running:
        reason = "Running"
    if (o.get("metadata") or {}).get("deletionTimestamp"):
        reason = "Unknown" if st.get("reason") == "NodeLost" else "Terminating"
    return [o["metadata"]["name"], "%d/%d" % (ready, total), reason, str(restarts), _age(o),
            st.get("podIP") or "<none>", spec.get("nodeName") or "<none>",
            st.get("nominatedNodeName") or "<none>", "<none>"]


TABLES = {
    "/nodes": ([_col("Name", fmt="name"), _col("Status"), _col("Roles"), _col("Age"), _col("Version"),
                _col("Internal-IP", priority=1), _col("External-IP", priority=1), _col("OS-Image", priority=1),
                _col("Kernel-Version", priority=1), _col("Container-Runtime", priority=1)], _node_row),
    "/pods": ([_col("Name", fmt="name"), _col("Ready"), _col("Status"), _col("Restarts"), _col("Age"),
               _col("IP", priority=1), _col("Node", priority=1), _col("Nominated Node", priority=1),
               _col("Readiness Gates", priority=1)], _pod_row),
    "coordination.k8s.io/leases": ([_col("Name", fmt="name"), _col("Holder"), _col("Age")],
                                   lambda o: [o["metadata"]["name"], (o.get("spec") or {}).get("holderIdentity", ""), _age(o)]),
    "/namespaces": ([_col("Name", fmt="name"), _col("Status"), _col("Age")],
                    lambda o: [o["metadata"]["name"], (o.get("status") or {}).get("phase", ""), _age(o)]),
    "/secrets": ([_col("Name", fmt="name"), _col("Type"), _col("Data", "integer"), _col("Age")],
                 lambda o: [o["metadata"]["name"], o.get("type", ""), len(o.get("data") or {}), _age(o)]),
}
TABLES["/events"] = ([_col("Last Seen"), _col("Type"), _col("Reason"), _col("Object"),
                      _col("Subobject", priority=1), _col("Source", priority=1), _col("Message"),
                      _col("First Seen", priority=1), _col("Count", "integer", priority=1),
                      _col("Name", priority=1)], _event_row)
DEFAULT_TABLE = ([_col("Name", fmt="name"), _col("Created At", fmt="date")],
                 lambda o: [o["metadata"]["name"], o["metadata"].get("creationTimestamp", "")])


def table_for(rt, objects, rv, include_object="Metadata", headers=True):
    cols, row_fn = TABLES.get(rt.storage.key, DEFAULT_TABLE)
    rows = []
    for o in objects:
        try:
            cells = row_fn(rt.to_storage(o))
        except (AttributeError, TypeError, ValueError, KeyError, IndexError):
            # Members of a shape the columns do not expect: the name, the rest unknown.
            cells = [o["metadata"]["name"]] + ["<unknown>"] * (len(cols) - 1)
        row = {"cells": cells}
        if include_object == "Object":
            row["object"] = o
        elif include_object != "None":
            row["object"] = {"kind": "PartialObjectMetadata", "apiVersion": "meta.k8s.io/v1",
                             "metadata": copy.deepcopy(o.get("metadata") or {})}
        rows.append(row)
    t = {"kind": "Table", "apiVersion": "meta.k8s.io/v1", "metadata": {"resourceVersion": str(rv)},
         "rows": rows}
    if headers:
        t["columnDefinitions"] = cols
    return t


def wants_table(accept):
    for part in (accept or "").split(","):
        params = [p.strip() for p in part.split(";")]
        if params[0] in ("application/json", "*/*") and "as=Table" in params:
            return True
        if params[0] in ("application/json", "*/*") and not any(p.startswith("as=") for p in params[1:]):
            return False
    return False


# --------------------------------------------------------------------------
# Store
# --------------------------------------------------------------------------

class Event:
    __slots__ = ("rv", "type", "key", "ns", "old", "new")

    def __init__(self, rv, etype, key, ns, old, new):
        self.rv, self.type, self.key, self.ns, self.old, self.new = rv, etype, key, ns, old, new


class StateError(Exception):
    """A --state file that cannot be read back."""


class Store:
    def __init__(self, history_size=1000):
        self.lock = threading.RLock()
        self.cond = threading.Condition(self.lock)
        self.objects = {}          # (storage resource key, namespace, name) -> object
        self.rv = 0
        self.history = []          # Events in resourceVersion order
        self.history_rvs = []
        self.compacted_rv = 0      # events at or below this version are gone
        self.history_size = history_size
        self.state_file = None
        self.closing = False
        for ns in INITIAL_NAMESPACES:
            self.create(RESOURCE_BY_KEY["/namespaces"], None, {"metadata": {"name": ns}})

    # -- bookkeeping ---------------------------------------------------------
    def _next_rv(self):
        self.rv += 1
        return self.rv

    def _record(self, etype, rt, ns, old, new):
        ev = Event(int(new["metadata"]["resourceVersion"]), etype, rt.storage.key, ns, old, new)
        self.history.append(ev)
        self.history_rvs.append(ev.rv)
        if len(self.history) > self.history_size:
            drop = len(self.history) - self.history_size
            self.compacted_rv = self.history_rvs[drop - 1]
            del self.history[:drop]
            del self.history_rvs[:drop]
        self.cond.notify_all()
        self._save()

    def compact(self):
        with self.lock:
            self.compacted_rv = self.rv
            self.history = []
            self.history_rvs = []
            return self.compacted_rv

    def events_after(self, rv):
        i = bisect.bisect_right(self.history_rvs, rv)
        return self.history[i:]

    # -- persistence ---------------------------------------------------------
    def attach_state(self, path):
        """Serves what `path` holds when it exists (instead of the initial
        namespaces) and from then on rewrites it after every change."""
        with self.lock:
            if os.path.exists(path):
                self._load(path)
            self.state_file = path
            self._save()

    def _load(self, path):
        try:
            with open(path) as f:
                data = json.load(f)
            objects = {}
            rv = int(data["resourceVersion"])
            for entry in data["objects"]:
                if entry["resource"] not in STORED:
                    raise ValueError("unknown resource %r" % entry["resource"])
                rt = RESOURCE_BY_KEY[entry["resource"]]
                o = entry["object"]
                md = o["metadata"]
                objects[self._key(rt, md.get("namespace"), md["name"])] = o
                rv = max(rv, int(md["resourceVersion"]))
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
            raise StateError("cannot read the state file %s: %s" % (path, e))
        # The watch history is not kept: watches from older versions get 410.
        self.objects, self.rv, self.compacted_rv = objects, rv, rv
        self.history, self.history_rvs = [], []

    def _save(self):
        """Writes the state atomically: a reader (or a restart after the
        emulator was killed) sees the previous state or the new one."""
        if not self.state_file:
            return
        data = {"resourceVersion": self.rv, "objects": [
            {"resource": k[0], "object": o} for k, o in sorted(self.objects.items())]}
        tmp = "%s.%d.tmp" % (self.state_file, os.getpid())
        try:
            with open(tmp, "w") as f:
                json.dump(data, f)
            os.replace(tmp, self.state_file)
        except OSError as e:
            print("kubesim: cannot write the state file %s: %s" % (self.state_file, e), file=sys.stderr, flush=True)

    def snapshot(self):
        with self.lock:
            return {"resourceVersion": str(self.rv), "compactedResourceVersion": str(self.compacted_rv),
                    "objects": [{"resource": k[0], "object": copy.deepcopy(o)}
                                for k, o in sorted(self.objects.items())]}

    # -- object helpers ------------------------------------------------------
    def _key(self, rt, ns, name):
        return (rt.storage.key, ns if rt.namespaced else None, name)

    def _ensure_namespace(self, ns):
        if self._key(RESOURCE_BY_KEY["/namespaces"], None, ns) not in self.objects:
            raise not_found(RESOURCE_BY_KEY["/namespaces"], ns)

    def get(self, rt, ns, name):
        with self.lock:
            o = self.objects.get(self._key(rt, ns, name))
            if o is None:
                raise not_found(rt, name)
            return rt.from_storage(copy.deepcopy(o))

    def list(self, rt, ns, fsel=None, lsel=None):
        with self.lock:
            items = []
            for (k, ons, _), o in sorted(self.objects.items()):
                if k != rt.storage.key or (ns is not None and ons != ns):
                    continue
                o = rt.from_storage(copy.deepcopy(o))
                if (fsel is None or fsel.matches(o)) and (lsel is None or lsel.matches(o)):
                    items.append(o)
            return items, self.rv

    # -- create --------------------------------------------------------------
    def create(self, rt, ns, obj, dry_run=False):
        if not isinstance(obj, dict):
            raise ApiError(400, "the body of the request was in an unknown format")
        obj = copy.deepcopy(obj)
        md = obj.setdefault("metadata", {})
        if not isinstance(md, dict):
            raise ApiError(400, "metadata must be an object")
        for f in ("name", "generateName", "namespace"):
            if not isinstance(md.get(f) or "", str):
                raise ApiError(400, "metadata.%s must be a string" % f)
        obj_ns = md.get("namespace")
        if rt.namespaced:
            if obj_ns and ns and obj_ns != ns:
                raise ApiError(400, "the namespace of the provided object does not match the namespace sent on the request")
            ns = ns or obj_ns or "default"
            md["namespace"] = ns
        else:
            md.pop("namespace", None)
            ns = None
        kind, apiv = obj.get("kind"), obj.get("apiVersion")
        if (kind and kind != rt.kind) or (apiv and apiv != rt.api_version):
            raise ApiError(400, "the API version in the data (%s) does not match the expected API version (%s)"
                           % (apiv, rt.api_version) if apiv != rt.api_version else
                           "the kind in the data (%s) does not match the expected kind (%s)" % (kind, rt.kind))
        obj["kind"], obj["apiVersion"] = rt.kind, rt.api_version
        with self.lock:
            if not md.get("name") and md.get("generateName"):
                md["name"] = md["generateName"] + "".join(random.choice("bcdfghjklmnpqrstvwxz2456789") for _ in range(5))
            name = md.get("name") or ""
            if not name:
                errs = kubevalidate.FieldErrors()
                errs.required("metadata.name", "name or generateName is required")
                raise invalid(rt, "", errs)
            for f in ("resourceVersion", "deletionTimestamp", "deletionGracePeriodSeconds", "selfLink"):
                md.pop(f, None)
            md["uid"] = str(uuid.uuid4())
            md["creationTimestamp"] = rfc3339()
            self._defaults_on_create(rt, obj)
            check_valid(rt, obj)
            self._status_on_create(rt, obj)
            if rt.namespaced:
                self._ensure_namespace(ns)
            key = self._key(rt, ns, name)
            if key in self.objects:
                raise ApiError(409, '%s "%s" already exists' % (rt.qualified, name), "AlreadyExists", _details(rt, name))
            if dry_run:
                return obj
            md["resourceVersion"] = str(self._next_rv())
            stored = rt.to_storage(obj)
            self.objects[key] = stored
            self._record("ADDED", rt, ns, None, copy.deepcopy(stored))
            return copy.deepcopy(obj)

    def _defaults_on_create(self, rt, obj):
        """The members the server fills in when a client leaves them out (or,
        as Go clients do for members that are no pointers, sends them empty)."""
        md = obj["metadata"]
        if rt.key == "/pods":
            spec = obj.setdefault("spec", {})
            if not isinstance(spec, dict):
                return                      # the validation answers
            for member in ("initContainers", "containers"):
                for c in _dicts(spec.get(member)):
                    _default(c, "terminationMessagePath", "/dev/termination-log")
                    _default(c, "terminationMessagePolicy", "File")
                    c.setdefault("resources", {})
                    image = c.get("image") if isinstance(c.get("image"), str) else ""
                    tagged = ":" in image.rsplit("/", 1)[-1] or "@" in image
                    latest = image.endswith(":latest") or not tagged
                    _default(c, "imagePullPolicy", "Always" if latest else "IfNotPresent")
                    for port in _dicts(c.get("ports")):
                        _default(port, "protocol", "TCP")
            for v in _dicts(spec.get("volumes")):
                if set(v) <= {"name"}:
                    v["emptyDir"] = {}      # a volume without a source is an empty directory
            _default(spec, "restartPolicy", "Always")
            spec.setdefault("terminationGracePeriodSeconds", 30)
            _default(spec, "dnsPolicy", "ClusterFirst")
            _default(spec, "schedulerName", "default-scheduler")
            spec.setdefault("securityContext", {})
            spec.setdefault("enableServiceLinks", True)
            spec.setdefault("preemptionPolicy", "PreemptLowerPriority")
            spec.setdefault("priority", 0)
            spec.setdefault("tolerations", [
                {"key": "node.kubernetes.io/not-ready", "operator": "Exists", "effect": "NoExecute", "tolerationSeconds": 300},
                {"key": "node.kubernetes.io/unreachable", "operator": "Exists", "effect": "NoExecute", "tolerationSeconds": 300}])
            md["generation"] = 1
        elif rt.key == "/namespaces":
            spec = obj.setdefault("spec", {})
            finalizers = spec.get("finalizers") or [] if isinstance(spec, dict) else None
            if isinstance(finalizers, list) and "kubernetes" not in finalizers:
                spec["finalizers"] = finalizers + ["kubernetes"]
            labels = md.setdefault("labels", {})
            if isinstance(labels, dict):
                labels["kubernetes.io/metadata.name"] = md["name"]
        elif rt.key == "/nodes":
            obj.setdefault("spec", {})
        elif rt.key == "/secrets":
            _default(obj, "type", "Opaque")
            _secret_string_data(obj)

    def _status_on_create(self, rt, obj):
        # A new pod's or namespace's status is the server's, not the client's.
        if rt.key == "/pods":
            spec = obj["spec"]
            obj["status"] = {"phase": "Pending", "qosClass": _qos_class(spec)}
            if spec.get("nodeName"):
                obj["status"]["conditions"] = [{"type": "PodScheduled", "status": "True",
                                                "lastProbeTime": None, "lastTransitionTime": rfc3339()}]
        elif rt.key == "/namespaces":
            obj["status"] = {"phase": "Active"}

    # -- update --------------------------------------------------------------
    def update(self, rt, ns, name, new, subresource=None, dry_run=False, check_uid=True):
        if not isinstance(new, dict):
            raise ApiError(400, "the body of the request was in an unknown format")
        with self.lock:
            key = self._key(rt, ns, name)
            stored_old = self.objects.get(key)
            if stored_old is None:
                raise not_found(rt, name)
            old = rt.from_storage(copy.deepcopy(stored_old))
            new = copy.deepcopy(new)
            md = new.get("metadata")
            if not isinstance(md, dict):
                md = new["metadata"] = {}
            if md.get("name") not in (None, name):
                raise ApiError(400, "the name of the object (%s) does not match the name on the URL (%s)" % (md.get("name"), name))
            if rt.namespaced and md.get("namespace") not in (None, "", ns):
                raise ApiError(400, "the namespace of the provided object does not match the namespace sent on the request")
            omd = old["metadata"]
            if check_uid and md.get("uid") not in (None, "") and md["uid"] != omd["uid"]:
                raise conflict(rt, name, "Precondition failed: UID in precondition: %s, UID in object meta: %s"
                               % (md["uid"], omd["uid"]))
            if md.get("resourceVersion") not in (None, "") and md["resourceVersion"] != omd["resourceVersion"]:
                raise conflict(rt, name)
            if subresource == "status":
                merged = copy.deepcopy(old)
                if "status" in new:
                    merged["status"] = new["status"]
                else:
                    merged.pop("status", None)
                new = merged
            else:
                if rt.has_status:
                    if "status" in old:
                        new["status"] = copy.deepcopy(old["status"])
                    else:
                        new.pop("status", None)
                if rt.key == "/secrets":
                    _secret_string_data(new)
            nmd = new["metadata"]
            for f in ("uid", "creationTimestamp", "deletionTimestamp", "deletionGracePeriodSeconds", "generation"):
                if f in omd:
                    nmd[f] = omd[f]
                else:
                    nmd.pop(f, None)
            nmd["name"] = name
            if rt.namespaced:
                nmd["namespace"] = ns
            else:
                nmd.pop("namespace", None)
            nmd["resourceVersion"] = omd["resourceVersion"]
            new["kind"], new["apiVersion"] = rt.kind, rt.api_version
            errs = validation_errors(rt, new, old)
            if rt.key == "/pods" and subresource != "status":
                _check_pod_spec_update(errs, old.get("spec") or {}, new.get("spec") or {})
            if omd.get("deletionTimestamp") and len(nmd.get("finalizers") or []) > len(omd.get("finalizers") or []):
                errs.forbidden("metadata.finalizers", "no new finalizers can be added if the object is being deleted")
            if errs:
                raise invalid(rt, name, errs)
            if "generation" in omd and new.get("spec") != old.get("spec"):
                nmd["generation"] = omd["generation"] + 1
            if new == old:
                return old        # nothing changed: no new version, no event
            if dry_run:
                return new
            nmd["resourceVersion"] = str(self._next_rv())
            stored = rt.to_storage(new)
            self.objects[key] = stored
            self._record("MODIFIED", rt, ns, copy.deepcopy(stored_old), copy.deepcopy(stored))
            if nmd.get("deletionTimestamp") and not nmd.get("finalizers") and not nmd.get("deletionGracePeriodSeconds"):
                return rt.from_storage(self._remove(rt, ns, name))
            return copy.deepcopy(new)

    def patch(self, rt, ns, name, content_type, body, subresource=None, dry_run=False):
        try:
            patch_doc = json.loads(body or b"null")
        except ValueError as e:
            raise ApiError(400, "error decoding patch: %s" % e)
        with self.lock:
            old = self.get(rt, ns, name)
            if content_type == "application/json-patch+json":
                new = json_patch(old, patch_doc)
            elif content_type == "application/merge-patch+json":
                if not isinstance(patch_doc, dict):
                    raise ApiError(400, "merge patch must be a JSON object")
                new = json_merge_patch(old, patch_doc)
            elif content_type == "application/strategic-merge-patch+json":
                if not isinstance(patch_doc, dict):
                    raise ApiError(400, "strategic merge patch must be a JSON object")
                new = strategic_merge(old, patch_doc, smp_keys_for(rt))
            else:
                raise ApiError(415, "the body of the request was in an unknown format - accepted media types include: "
                               "application/json-patch+json, application/merge-patch+json, "
                               "application/strategic-merge-patch+json", "UnsupportedMediaType")
            if not isinstance(new, dict):
                raise ApiError(422, "patch did not produce an object")
            nmd = new.get("metadata") or {}
            if nmd.get("uid") != old["metadata"]["uid"]:
                raise conflict(rt, name, "Precondition failed: UID in precondition: %s, UID in object meta: %s"
                               % (nmd.get("uid"), old["metadata"]["uid"]))
            if isinstance(patch_doc, dict):
                prv = (patch_doc.get("metadata") or {}).get("resourceVersion") if isinstance(patch_doc.get("metadata"), dict) else None
                if prv and prv != old["metadata"]["resourceVersion"]:
                    raise conflict(rt, name)
            nmd["resourceVersion"] = old["metadata"]["resourceVersion"]
            return self.update(rt, ns, name, new, subresource, dry_run=dry_run, check_uid=False)

    # -- delete --------------------------------------------------------------
    def delete(self, rt, ns, name, options, dry_run=False):
        """Returns (the object as it is left or was last, whether it is gone)."""
        obj, removed = self._delete(rt, ns, name, options, dry_run)
        return rt.from_storage(obj), removed

    def _delete(self, rt, ns, name, options, dry_run):
        with self.lock:
            key = self._key(rt, ns, name)
            old = self.objects.get(key)
            if old is None:
                raise not_found(rt, name)
            omd = old["metadata"]
            pre = options.get("preconditions") or {}
            if pre.get("uid") not in (None, "") and pre["uid"] != omd["uid"]:
                raise conflict(rt, name, "Precondition failed: UID in precondition: %s, UID in object meta: %s"
                               % (pre["uid"], omd["uid"]))
            if pre.get("resourceVersion") not in (None, "") and pre["resourceVersion"] != omd["resourceVersion"]:
                raise conflict(rt, name, "Precondition failed: ResourceVersion in precondition: %s, ResourceVersion in object meta: %s"
                               % (pre["resourceVersion"], omd["resourceVersion"]))
            if rt.key == "/namespaces" and name in PROTECTED_NAMESPACES:
                raise ApiError(403, 'namespaces "%s" is forbidden: this namespace may not be deleted' % name,
                               "Forbidden", _details(rt, name))
            grace = options.get("gracePeriodSeconds")
            if rt.key == "/pods":
                if grace is None:
                    grace = (old.get("spec") or {}).get("terminationGracePeriodSeconds", 30)
                # Pods that never reached a node, or that finished, go at once.
                if not (old.get("spec") or {}).get("nodeName") or \
                        (old.get("status") or {}).get("phase") in ("Succeeded", "Failed"):
                    grace = 0
            else:
                grace = 0
            grace = max(0, int(grace))
            if dry_run:
                return copy.deepcopy(old), False
            finalizers = omd.get("finalizers") or []
            if omd.get("deletionTimestamp"):
                current = omd.get("deletionGracePeriodSeconds") or 0
                if grace == 0 and not finalizers:
                    return self._remove(rt, ns, name), True
                if grace < current or (finalizers and current and grace == 0):
                    new = copy.deepcopy(old)
                    new["metadata"]["deletionTimestamp"] = rfc3339(time.time() + grace)
                    new["metadata"]["deletionGracePeriodSeconds"] = grace
                    return self._store_modified(rt, ns, name, old, new), False
                return copy.deepcopy(old), False   # deletion already pending
            if grace > 0 or finalizers:
                new = copy.deepcopy(old)
                new["metadata"]["deletionTimestamp"] = rfc3339(time.time() + grace)
                new["metadata"]["deletionGracePeriodSeconds"] = grace
                if "generation" in new["metadata"]:
                    new["metadata"]["generation"] += 1
                if rt.key == "/namespaces":
                    new.setdefault("status", {})["phase"] = "Terminating"
                return self._store_modified(rt, ns, name, old, new), False
            if rt.key == "/namespaces":
                new = copy.deepcopy(old)
                new["metadata"]["deletionTimestamp"] = rfc3339()
                new.setdefault("status", {})["phase"] = "Terminating"
                self._store_modified(rt, ns, name, old, new)
                for (k, ons, oname) in [k for k in self.objects if k[1] == name]:
                    self._remove(RESOURCE_BY_KEY[k], ons, oname)
            return self._remove(rt, ns, name), True

    def _store_modified(self, rt, ns, name, old, new):
        new["metadata"]["resourceVersion"] = str(self._next_rv())
        self.objects[self._key(rt, ns, name)] = new
        self._record("MODIFIED", rt, ns, copy.deepcopy(old), copy.deepcopy(new))
        return copy.deepcopy(new)

    def _remove(self, rt, ns, name):
        key = self._key(rt, ns, name)
        old = self.objects.pop(key)
        gone = copy.deepcopy(old)
        gone["metadata"]["resourceVersion"] = str(self._next_rv())
        self._record("DELETED", rt, ns, copy.deepcopy(old), copy.deepcopy(gone))
        return gone

    def bind(self, rt, ns, name, binding):
        target = (binding.get("target") or {})
        if target.get("kind", "Node") != "Node" or not target.get("name"):
            raise ApiError(400, "binding target must be a Node with a name")
        with self.lock:
            old = self.objects.get(self._key(rt, ns, name))
            if old is None:
                raise not_found(rt, name)
            if (old.get("spec") or {}).get("nodeName"):
                raise conflict(rt, name, "pod %s is already assigned to node \"%s\"" % (name, old["spec"]["nodeName"]))
            if old["metadata"].get("deletionTimestamp"):
                raise conflict(rt, name, "pod %s is being deleted, cannot be assigned to a host" % name)
            new = copy.deepcopy(old)
            new["spec"]["nodeName"] = target["name"]
            conds = [c for c in (new.setdefault("status", {}).get("conditions") or []) if c.get("type") != "PodScheduled"]
            conds.append({"type": "PodScheduled", "status": "True", "lastProbeTime": None, "lastTransitionTime": rfc3339()})
            new["status"]["conditions"] = conds
            return self._store_modified(rt, ns, name, old, new)


def _dicts(value):
    return [v for v in value if isinstance(v, dict)] if isinstance(value, list) else []


def _default(obj, key, value):
    if obj.get(key) in (None, ""):
        obj[key] = value


def _check_pod_spec_update(errs, old, new):
    """Pod specs are immutable except container images and a few members."""
    def strip(spec):
        s = copy.deepcopy(spec)
        for f in ("activeDeadlineSeconds", "terminationGracePeriodSeconds"):
            s.pop(f, None)
        for listname in ("containers", "initContainers"):
            for c in _dicts(s.get(listname)):
                c.pop("image", None)
        s.pop("tolerations", None)
        return s
    if strip(old) != strip(new):
        errs.forbidden("spec", "pod updates may not change fields other than "
                       "`spec.containers[*].image`, `spec.initContainers[*].image`, "
                       "`spec.activeDeadlineSeconds`, `spec.tolerations` (only additions to existing tolerations) "
                       "or `spec.terminationGracePeriodSeconds` (allow it to be set to 1 if it was previously negative)")


def _qos_class(spec):
    has_any = False
    guaranteed = True
    for c in _dicts(spec.get("containers")):
        res = c.get("resources") or {}
        req, lim = res.get("requests") or {}, res.get("limits") or {}
        if req or lim:
            has_any = True
        for r in ("cpu", "memory"):
            if r not in lim or (r in req and req[r] != lim[r]):
                guaranteed = False
    if not has_any:
        return "BestEffort"
    return "Guaranteed" if guaranteed else "Burstable"


def _secret_string_data(obj):
    """stringData is written into data (base64) and never stored."""
    sd = obj.pop("stringData", None)
    if sd:
        if not isinstance(sd, dict) or not isinstance(obj.setdefault("data", {}), dict):
            raise ApiError(400, 'Secret in version "v1" cannot be handled as a Secret: data and stringData must be maps')
        for k, v in sd.items():
            obj["data"][k] = base64.b64encode(str(v).encode()).decode()


# --------------------------------------------------------------------------
# Faults and request log
# --------------------------------------------------------------------------

def rule_take(rules, method, path):
    """The first rule of `rules` whose method ("*" for any) and path regex
    match, as a copy; its `count` is spent (the rule goes once it reaches 0,
    a negative count never does). None when no rule matches. The caller holds
    the lock of `rules`."""
    for r in rules:
        if r["method"] in ("*", method) and re.fullmatch(r["path"], path):
            if r["count"] > 0:
                r["count"] -= 1
                if r["count"] == 0:
                    rules.remove(r)
            return dict(r)
    return None


class Faults:
    """Rules answered before routing: next `count` requests matching method and
    path regex get `status`, a `delay` (seconds), or a dropped connection."""

    def __init__(self):
        self.lock = threading.Lock()
        self.rules = []

    def add(self, rule):
        r = {"method": (rule.get("method") or "*").upper(), "path": rule.get("path") or ".*",
             "count": int(rule.get("count", 1)), "status": int(rule.get("status") or 0),
             "delay": float(rule.get("delay") or 0), "drop": bool(rule.get("drop")),
             "message": rule.get("message") or "", "retryAfter": rule.get("retryAfter")}
        re.compile(r["path"])
        with self.lock:
            self.rules.append(r)
        return r

    def clear(self):
        with self.lock:
            self.rules = []

    def take(self, method, path):
        with self.lock:
            return rule_take(self.rules, method, path)

    def snapshot(self):
        with self.lock:
            return [dict(r) for r in self.rules]


class RequestLog:
    def __init__(self, size=2000):
        self.lock = threading.Lock()
        self.entries = []
        self.size = size

    def add(self, entry):
        with self.lock:
            self.entries.append(entry)
            if len(self.entries) > self.size:
                del self.entries[:len(self.entries) - self.size]

    def snapshot(self, clear=False):
        with self.lock:
            out = list(self.entries)
            if clear:
                self.entries = []
            return out


# --------------------------------------------------------------------------
# Discovery documents
# --------------------------------------------------------------------------

def resource_list(group, version):
    res = []
    for r in RESOURCES:
        if r.group != group or r.version != version:
            continue
        entry = {"name": r.plural, "singularName": r.singular, "namespaced": r.namespaced, "kind": r.kind,
                 "verbs": list(VERBS), "storageVersionHash": base64.b64encode(r.key.encode()).decode()[:12]}
        if r.short_names:
            entry["shortNames"] = r.short_names
        if r.key in ("/pods", "/nodes", "/secrets", "/configmaps", "/events", "/serviceaccounts", "/namespaces"):
            entry["categories"] = ["all"] if r.key == "/pods" else []
            if not entry["categories"]:
                del entry["categories"]
        res.append(entry)
        for sub in sorted(r.subresources):
            res.append({"name": r.plural + "/" + sub, "singularName": "", "namespaced": r.namespaced,
                        "kind": "Binding" if sub == "binding" else r.kind,
                        "verbs": ["create"] if sub == "binding" else ["get", "patch", "update"]})
    return {"kind": "APIResourceList", "apiVersion": "v1",
            "groupVersion": version if not group else group + "/" + version, "resources": res}


def openapi_root():
    """The OpenAPI v3 index: one document per group version."""
    paths = {}
    for gv in ["api/v1"] + ["apis/%s/%s" % (g, v) for g in sorted(GROUPS) for v in sorted(GROUPS[g])]:
        paths[gv] = {"serverRelativeURL": "/openapi/v3/%s?hash=%s" % (gv, "0" * 16)}
    return {"paths": paths}


def openapi_gv(group, version):
    """A skeleton OpenAPI v3 document: the operations per path with their
    group-version-kind and the query parameters kubectl checks for (it then
    leaves field validation to the server).  No schemas: kubectl falls back to
    its built-in types for strategic merge patches."""
    params = [{"name": n, "in": "query", "schema": {"type": "string"}}
              for n in ("dryRun", "fieldManager", "fieldValidation", "pretty")]
    paths = {}
    for r in RESOURCES:
        if r.group != group or r.version != version:
            continue
        prefix = "/api/v1" if not group else "/apis/%s/%s" % (group, version)
        coll = prefix + ("/namespaces/{namespace}/" if r.namespaced else "/") + r.plural
        gvk = {"group": group, "version": version, "kind": r.kind}
        op = lambda verb: {"x-kubernetes-action": verb, "x-kubernetes-group-version-kind": gvk,
                           "parameters": params, "responses": {"200": {"description": "OK"}}}
        paths[coll] = {"get": op("list"), "post": op("post"), "delete": op("deletecollection")}
        paths[coll + "/{name}"] = {"get": op("get"), "put": op("put"), "patch": op("patch"), "delete": op("delete")}
        if r.has_status:
            paths[coll + "/{name}/status"] = {"get": op("get"), "put": op("put"), "patch": op("patch")}
    return {"openapi": "3.0.0", "info": {"title": "Kubernetes", "version": SERVER_VERSION["gitVersion"]},
            "paths": paths, "components": {}}


# OpenAPI v2: one document for the whole server.  kubectl before 1.27 reads
# it (as protobuf) for client-side validation, for `apply` patches and to
# find out whether a kind supports server-side dry run; a server without it
# makes `kubectl create -f` fail with NotFound.  Like the v3 documents it is a
# skeleton: the operations with their group-version-kind and query
# parameters, no definitions, so kubectl skips client-side validation (as for
# a kind published without a schema) and uses its built-in types for
# strategic merge patches.

OPENAPI_V2_PROTOBUF = ("application/com.github.proto-openapi.spec.v2@v1.0+protobuf",
                       "application/com.github.proto-openapi.spec.v2.v1.0+protobuf")


def openapi_v2():
    """The OpenAPI v2 document as JSON-ready dicts."""
    query = [{"name": n, "in": "query", "type": "string", "uniqueItems": True}
             for n in ("dryRun", "fieldManager", "fieldValidation", "pretty")]
    paths = {}
    for r in RESOURCES:
        prefix = "/api/v1" if not r.group else "/apis/%s/%s" % (r.group, r.version)
        coll = prefix + ("/namespaces/{namespace}/" if r.namespaced else "/") + r.plural
        gvk = {"group": r.group, "version": r.version, "kind": r.kind}
        tag = ("core" if not r.group else r.group.split(".")[0]) + "_" + r.version
        ident = "".join(w[:1].upper() + w[1:] for w in tag.split("_"))

        def op(verb, action, what, suffix=""):
            return {"tags": [tag], "operationId": verb + ident + ("Namespaced" if r.namespaced else "") + what + suffix,
                    "consumes": ["*/*"], "produces": ["application/json"], "schemes": ["https"],
                    "parameters": query, "responses": {"200": {"description": "OK"}},
                    "x-kubernetes-action": action, "x-kubernetes-group-version-kind": gvk}
        path_params = [{"name": n, "in": "path", "required": True, "type": "string", "uniqueItems": True}
                       for n in (["namespace"] if r.namespaced else [])]
        named = path_params + [{"name": "name", "in": "path", "required": True, "type": "string",
                                "uniqueItems": True}]
        paths[coll] = {"get": op("list", "list", r.kind), "post": op("create", "post", r.kind),
                       "delete": op("deleteCollection", "deletecollection", r.kind), "parameters": path_params}
        paths[coll + "/{name}"] = {"get": op("read", "get", r.kind), "put": op("replace", "put", r.kind),
                                   "patch": op("patch", "patch", r.kind), "delete": op("delete", "delete", r.kind),
                                   "parameters": named}
        if r.has_status:
            paths[coll + "/{name}/status"] = {"get": op("read", "get", r.kind, "Status"),
                                              "put": op("replace", "put", r.kind, "Status"),
                                              "patch": op("patch", "patch", r.kind, "Status"), "parameters": named}
        if not path_params:
            del paths[coll]["parameters"]
    return {"swagger": "2.0", "info": {"title": "Kubernetes", "version": SERVER_VERSION["gitVersion"]},
            "paths": paths, "definitions": {}}


# Protobuf encoding of the same document (message openapi.v2.Document).  Per
# message: JSON member -> (field number, type), a type ending in "*" being
# repeated, and the number of its vendor-extension field: "x-" members go
# there as (name=1, Any{yaml=2}) with the value's JSON text (JSON is YAML).
# JSON objects keyed by name (paths, responses) are repeated (name=1,
# value=2) pairs.
_PB_MESSAGES = {
    "Document": ({"swagger": (1, "string"), "info": (2, "Info"), "host": (3, "string"),
                  "basePath": (4, "string"), "schemes": (5, "string*"), "consumes": (6, "string*"),
                  "produces": (7, "string*"), "paths": (8, "Paths"), "definitions": (9, "Definitions")}, 16),
    "Info": ({"title": (1, "string"), "version": (2, "string"), "description": (3, "string")}, 7),
    "PathItem": ({"get": (2, "Operation"), "put": (3, "Operation"), "post": (4, "Operation"),
                  "delete": (5, "Operation"), "options": (6, "Operation"), "head": (7, "Operation"),
                  "patch": (8, "Operation"), "parameters": (9, "ParametersItem*")}, 10),
    "Operation": ({"tags": (1, "string*"), "summary": (2, "string"), "description": (3, "string"),
                   "operationId": (5, "string"), "produces": (6, "string*"), "consumes": (7, "string*"),
                   "parameters": (8, "ParametersItem*"), "responses": (9, "Responses"),
                   "schemes": (10, "string*"), "deprecated": (11, "bool")}, 13),
    "Response": ({"description": (1, "string")}, 5),
    # Query parameter (QueryParameterSubSchema) and path parameter
    # (PathParameterSubSchema): their "type" members have different numbers.
    "QueryParameter": ({"required": (1, "bool"), "in": (2, "string"), "description": (3, "string"),
                        "name": (4, "string"), "type": (6, "string"), "uniqueItems": (20, "bool")}, 23),
    "PathParameter": ({"required": (1, "bool"), "in": (2, "string"), "description": (3, "string"),
                       "name": (4, "string"), "type": (5, "string"), "uniqueItems": (19, "bool")}, 22),
}


def _pb_varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _pb_bytes(num, data):
    return _pb_varint(num << 3 | 2) + _pb_varint(len(data)) + data


def _pb_named(num, name, value_bytes):
    return _pb_bytes(num, _pb_bytes(1, name.encode()) + _pb_bytes(2, value_bytes))


def _pb_parameter(p):
    """ParametersItem{parameter=1: Parameter{non_body_parameter=2: NonBodyParameter{query=3 | path=4}}}."""
    kind, num = ("PathParameter", 4) if p.get("in") == "path" else ("QueryParameter", 3)
    if p.get("in") not in ("path", "query"):
        raise ValueError("parameter in %r is not encoded" % p.get("in"))
    return _pb_bytes(1, _pb_bytes(2, _pb_bytes(num, _pb_message(kind, p))))


def _pb_message(name, obj):
    fields, ext_num = _PB_MESSAGES[name]
    out = bytearray()
    for key, value in obj.items():
        if key.startswith("x-"):
            out += _pb_named(ext_num, key, _pb_bytes(2, json.dumps(value).encode()))
            continue
        num, typ = fields[key]
        values = value if typ.endswith("*") else [value]
        typ = typ.rstrip("*")
        for v in values:
            if typ == "string":
                out += _pb_bytes(num, v.encode())
            elif typ == "bool":
                out += _pb_varint(num << 3) + _pb_varint(1 if v else 0)
            elif typ == "ParametersItem":
                out += _pb_bytes(num, _pb_parameter(v))
            elif typ == "Paths":
                out += _pb_bytes(num, b"".join(_pb_named(2, k, _pb_message("PathItem", i)) for k, i in v.items()))
            elif typ == "Responses":
                out += _pb_bytes(num, b"".join(_pb_named(1, k, _pb_bytes(1, _pb_message("Response", i)))
                                               for k, i in v.items()))
            elif typ == "Definitions":
                if v:
                    raise ValueError("schema definitions are not encoded")
            else:
                out += _pb_bytes(num, _pb_message(typ, v))
    return bytes(out)


def openapi_v2_protobuf(doc):
    return _pb_message("Document", doc)


def api_group(group):
    versions = [{"groupVersion": group + "/" + v, "version": v} for v in sorted(GROUPS[group])]
    return {"kind": "APIGroup", "apiVersion": "v1", "name": group, "versions": versions,
            "preferredVersion": versions[0]}


# --------------------------------------------------------------------------
# HTTP handling
# --------------------------------------------------------------------------

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Answers go out as header and body writes; with Nagle's algorithm the
    # body waits for the client's delayed acknowledgement (about 40 ms a
    # request on a kept connection).
    disable_nagle_algorithm = True
    server_version = "kubesim"
    sim = None  # set per server class

    def log_message(self, fmt, *args):  # quiet by default; --log records requests
        pass

    def setup(self):
        super().setup()
        self.admin = getattr(self.server, "is_admin", False)

    # -- plumbing ------------------------------------------------------------
    def send_response(self, code, message=None):
        # The request goes into the log before its answer leaves, so a client
        # that has its answer finds the request in the log.
        self._record(code)
        super().send_response(code, message)

    def _record(self, status):
        entry = getattr(self, "_entry", None)
        if entry is not None:
            self._entry = None
            entry["status"] = status
            self.server.sim.requests.add(entry)
            self.server.sim.log_request(entry)

    def _send_json(self, code, obj, extra_headers=None):
        body = json.dumps(obj).encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Cache-Control", "no-cache, private")
        self.send_header("Content-Length", str(len(body)))
        for k, v in (extra_headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self._status = code

    def _send_error(self, err, extra_headers=None):
        self._send_json(err.code, err.status(), extra_headers)

    def _read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            return self.rfile.read(length)
        if (self.headers.get("Transfer-Encoding") or "").lower() == "chunked":
            out = b""
            while True:
                size = int(self.rfile.readline().strip().split(b";")[0] or b"0", 16)
                if size == 0:
                    self.rfile.readline()
                    return out
                out += self.rfile.read(size)
                self.rfile.readline()
        return b""

    def _user(self):
        if self.admin:
            return "kubesim-admin"
        try:
            cert = self.connection.getpeercert()
        except (AttributeError, ValueError):
            cert = None
        if not cert:
            return None
        for rdn in cert.get("subject", ()):
            for k, v in rdn:
                if k == "commonName":
                    return v
        return "unknown"

    def do_GET(self):
        self._handle()

    def do_POST(self):
        self._handle()

    def do_PUT(self):
        self._handle()

    def do_PATCH(self):
        self._handle()

    def do_DELETE(self):
        self._handle()

    def _handle(self):
        sim = self.server.sim
        url = urllib.parse.urlsplit(self.path)
        path = url.path.rstrip("/") or "/"
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query, keep_blank_values=True).items()}
        self._status = 0
        body = self._read_body() if self.command in ("POST", "PUT", "PATCH", "DELETE") else b""
        entry = {"time": time.time(), "method": self.command, "path": path, "query": query,
                 "contentType": self.headers.get("Content-Type", ""), "accept": self.headers.get("Accept", ""),
                 "body": self._body_text(body), "admin": self.admin}
        self._entry = entry
        try:
            if path.startswith("/_kubesim"):
                if not self.admin and not sim.allow_admin_on_api_port:
                    raise ApiError(404, "the server could not find the requested resource")
                return self._admin(path, query, body)
            user = self._user()
            entry["user"] = user
            if not self.admin:
                fault = sim.faults.take(self.command, path)
                if fault:
                    entry["fault"] = fault
                    if fault["delay"]:
                        time.sleep(fault["delay"])
                    if fault["drop"]:
                        self.close_connection = True
                        try:
                            self.connection.shutdown(socket.SHUT_RDWR)
                        except OSError:
                            pass
                        self._status = -1
                        return
                    if fault["status"]:
                        hdrs = {}
                        if fault["retryAfter"] is not None:
                            hdrs["Retry-After"] = str(fault["retryAfter"])
                        return self._send_json(fault["status"], status_object(
                            fault["status"], fault["message"] or "injected fault", REASONS.get(fault["status"], "")), hdrs)
            if user is None:
                return self._send_json(401, status_object(401, "Unauthorized", "Unauthorized"))
            self._route(path, query, body)
        except ApiError as e:
            self._send_error(e)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
        except Exception as e:  # a bug of ours: answer like the server would
            traceback.print_exc()
            self._send_json(500, status_object(500, "internal error: %s" % e, "InternalError"))
        finally:
            self._record(self._status)   # no answer went out (a dropped connection)

    # -- routing -------------------------------------------------------------
    def _protobuf_body(self):
        ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        return ctype == kubeproto.MEDIA_TYPE

    def _body_text(self, body):
        """The body for the request log: protobuf bodies as the JSON they decode to."""
        if body and self._protobuf_body():
            try:
                return json.dumps(kubeproto.decode(body))
            except kubeproto.DecodeError:
                return base64.b64encode(body).decode()
        return body.decode("utf-8", "replace")

    def _object(self, body):
        """The object a POST, PUT or DELETE carries: JSON, or protobuf as kubectl
        and other client-go programs send built-in kinds."""
        if not self._protobuf_body():
            return self._json(body)
        try:
            return kubeproto.decode(body)
        except kubeproto.UnknownField as e:
            raise ApiError(415, "the body of the request could not be decoded: %s (this server reads it as "
                           "application/json)" % e, "UnsupportedMediaType")
        except kubeproto.DecodeError as e:
            raise ApiError(400, "the body of the request could not be decoded: %s" % e, "BadRequest")

    def _check_accept(self):
        """Answers are JSON: a client that accepts nothing but protobuf gets 406."""
        types = [t.split(";")[0].strip().lower() for t in (self.headers.get("Accept") or "").split(",") if t.strip()]
        if types and all(t.startswith(kubeproto.MEDIA_TYPE) for t in types):
            raise ApiError(406, "only the following media types are accepted: application/json", "NotAcceptable")

    def _route(self, path, query, body):
        m = self.command
        parts = [p for p in path.split("/") if p]
        if path in ("/healthz", "/livez", "/readyz"):
            return self._send_text(200, "ok")
        if path == "/version":
            return self._send_json(200, SERVER_VERSION)
        if path == "/api":
            return self._send_json(200, {"kind": "APIVersions", "versions": ["v1"],
                                         "serverAddressByClientCIDRs": [{"clientCIDR": "0.0.0.0/0",
                                                                         "serverAddress": "127.0.0.1:%d" % self.server.sim.port}]})
        if path == "/apis":
            return self._send_json(200, {"kind": "APIGroupList", "apiVersion": "v1",
                                         "groups": [api_group(g) for g in sorted(GROUPS)]})
        if path == "/api/v1":
            return self._send_json(200, resource_list("", "v1"))
        if path == "/openapi/v2":
            return self._send_openapi_v2()
        if path == "/openapi/v3":
            return self._send_json(200, openapi_root())
        if path == "/openapi/v3/api/v1":
            return self._send_json(200, openapi_gv("", "v1"))
        if len(parts) == 5 and parts[:2] == ["openapi", "v3"] and parts[2] == "apis" and parts[3] in GROUPS \
                and parts[4] in GROUPS[parts[3]]:
            return self._send_json(200, openapi_gv(parts[3], parts[4]))
        if len(parts) == 2 and parts[0] == "apis" and parts[1] in GROUPS:
            return self._send_json(200, api_group(parts[1]))
        if len(parts) == 3 and parts[0] == "apis" and parts[1] in GROUPS and parts[2] in GROUPS[parts[1]]:
            return self._send_json(200, resource_list(parts[1], parts[2]))
        if parts[:2] == ["api", "v1"]:
            group, version, rest = "", "v1", parts[2:]
        elif len(parts) >= 3 and parts[0] == "apis" and parts[1] in GROUPS and parts[2] in GROUPS[parts[1]]:
            group, version, rest = parts[1], parts[2], parts[3:]
        else:
            raise ApiError(404, "the server could not find the requested resource", "NotFound")
        watch_path = False
        if rest and rest[0] == "watch":
            watch_path, rest = True, rest[1:]
        ns = None
        if len(rest) >= 3 and rest[0] == "namespaces" and (group, version, rest[2]) in RESOURCE_BY_GV_PLURAL \
                and RESOURCE_BY_GV_PLURAL[(group, version, rest[2])].namespaced:
            ns, rest = rest[1], rest[2:]
        if not rest or (group, version, rest[0]) not in RESOURCE_BY_GV_PLURAL or len(rest) > 3:
            raise ApiError(404, "the server could not find the requested resource", "NotFound")
        rt = RESOURCE_BY_GV_PLURAL[(group, version, rest[0])]
        self._check_accept()
        name = rest[1] if len(rest) > 1 else None
        sub = rest[2] if len(rest) > 2 else None
        if sub is not None and sub not in rt.subresources:
            raise ApiError(404, "the server could not find the requested resource", "NotFound")
        if rt.namespaced and ns is None and name is not None:
            raise ApiError(404, "the server could not find the requested resource", "NotFound")
        if ns is not None and rt.namespaced and m in ("GET",) and name is None:
            pass
        store = self.server.sim.store
        dry = query.get("dryRun") == "All"
        if m == "GET":
            if watch_path or query_bool(query.get("watch")):
                if name is not None:
                    query["fieldSelector"] = ",".join(filter(None, [query.get("fieldSelector"), "metadata.name=" + name]))
                return self._watch(rt, ns, query)
            if name is None:
                return self._list(rt, ns, query)
            obj = store.get(rt, ns, name)
            return self._send_object(rt, obj, query)
        if m == "POST":
            if sub == "binding":
                obj = self._object(body)
                store.bind(rt, ns, name, obj)
                return self._send_json(201, {"kind": "Status", "apiVersion": "v1", "metadata": {}, "status": "Success", "code": 201})
            if name is not None:
                raise ApiError(405, "the server does not allow this method on the requested resource", "MethodNotAllowed")
            if rt.namespaced and ns is None:
                raise ApiError(404, "the server could not find the requested resource", "NotFound")
            obj = store.create(rt, ns, self._object(body), dry_run=dry)
            return self._send_object(rt, obj, query, 201)
        if m == "PUT":
            if name is None:
                raise ApiError(405, "the server does not allow this method on the requested resource", "MethodNotAllowed")
            obj = store.update(rt, ns, name, self._object(body), sub, dry_run=dry)
            return self._send_object(rt, obj, query)
        if m == "PATCH":
            if name is None:
                raise ApiError(405, "the server does not allow this method on the requested resource", "MethodNotAllowed")
            ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip()
            obj = store.patch(rt, ns, name, ctype, body, sub, dry_run=dry)
            return self._send_object(rt, obj, query)
        if m == "DELETE":
            options = self._object(body) if body.strip() else {}
            if not isinstance(options, dict):
                raise ApiError(400, "DeleteOptions must be an object")
            if "gracePeriodSeconds" in query:
                try:
                    options["gracePeriodSeconds"] = int(query["gracePeriodSeconds"])
                except ValueError:
                    raise ApiError(400, "invalid gracePeriodSeconds")
            if "propagationPolicy" in query:
                options["propagationPolicy"] = query["propagationPolicy"]
            if options.get("dryRun") == ["All"]:
                dry = True
            if name is None:
                items, _ = store.list(rt, ns, FieldSelector(query.get("fieldSelector")), LabelSelector(query.get("labelSelector")))
                for it in items:
                    try:
                        store.delete(rt, it["metadata"].get("namespace"), it["metadata"]["name"], options, dry)
                    except ApiError:
                        pass
                items, rv = store.list(rt, ns)
                return self._send_json(200, {"kind": rt.kind + "List", "apiVersion": rt.api_version,
                                             "metadata": {"resourceVersion": str(rv)}, "items": items})
            obj, removed = store.delete(rt, ns, name, options, dry)
            if rt.key == "/pods" or not removed:
                code = 202 if (not removed and options.get("orphanDependents") is False) else 200
                return self._send_json(code, obj)
            return self._send_json(200, {"kind": "Status", "apiVersion": "v1", "metadata": {}, "status": "Success",
                                         "details": _details(rt, name, obj["metadata"].get("uid"))})
        raise ApiError(405, "the server does not allow this method on the requested resource", "MethodNotAllowed")

    def _send_openapi_v2(self):
        """JSON or protobuf, the first of the Accept header's types that is
        one of them; 406 when none is."""
        accept = [p.split(";")[0].strip().lower() for p in (self.headers.get("Accept") or "*/*").split(",")]
        for mime in accept:
            if mime in ("application/json", "application/*", "*/*", ""):
                return self._send_json(200, openapi_v2())
            if mime in OPENAPI_V2_PROTOBUF:
                break
        else:
            raise ApiError(406, "only the following media types are accepted: application/json, " +
                           ", ".join(OPENAPI_V2_PROTOBUF), "NotAcceptable")
        body = openapi_v2_protobuf(openapi_v2())
        self.send_response(200)
        # The spelling with "@" is asked for but is no valid media type:
        # the answer names the one clients can parse.
        self.send_header("Content-Type", OPENAPI_V2_PROTOBUF[1])
        self.send_header("Cache-Control", "no-cache, private")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self._status = 200

    def _send_text(self, code, text):
        body = text.encode()
        self.send_response(code)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self._status = code

    @staticmethod
    def _json(body):
        try:
            return json.loads(body or b"null")
        except ValueError as e:
            raise ApiError(400, "the body of the request could not be decoded: %s" % e, "BadRequest")

    def _send_object(self, rt, obj, query, code=200):
        if wants_table(self.headers.get("Accept")):
            return self._send_json(code, table_for(rt, [obj], obj["metadata"].get("resourceVersion", ""),
                                                   query.get("includeObject", "Metadata")))
        return self._send_json(code, obj)

    def _list(self, rt, ns, query):
        store = self.server.sim.store
        items, rv = store.list(rt, ns, FieldSelector(query.get("fieldSelector")), LabelSelector(query.get("labelSelector")))
        meta = {"resourceVersion": str(rv)}
        cont = query.get("continue")
        if cont:
            try:
                tok = json.loads(base64.urlsafe_b64decode(cont.encode()).decode())
                start = tok["start"]
            except (ValueError, KeyError, TypeError):
                raise ApiError(400, "continue key is not valid", "BadRequest")
            items = [i for i in items if (i["metadata"].get("namespace") or "", i["metadata"]["name"]) > tuple(start)]
        limit = int(query.get("limit") or 0)
        if limit > 0 and len(items) > limit:
            last = items[limit - 1]["metadata"]
            meta["continue"] = base64.urlsafe_b64encode(json.dumps(
                {"rv": rv, "start": [last.get("namespace") or "", last["name"]]}).encode()).decode()
            meta["remainingItemCount"] = len(items) - limit
            items = items[:limit]
        if wants_table(self.headers.get("Accept")):
            t = table_for(rt, items, rv, query.get("includeObject", "Metadata"))
            t["metadata"].update(meta)
            return self._send_json(200, t)
        for i in items:   # list items carry no kind/apiVersion, as from the real server
            i.pop("kind", None)
            i.pop("apiVersion", None)
        return self._send_json(200, {"kind": rt.kind + "List", "apiVersion": rt.api_version, "metadata": meta, "items": items})

    # -- watch ---------------------------------------------------------------
    def _watch(self, rt, ns, query):
        sim = self.server.sim
        store = sim.store
        fsel = FieldSelector(query.get("fieldSelector"))
        lsel = LabelSelector(query.get("labelSelector"))
        bookmarks = query_bool(query.get("allowWatchBookmarks"))
        table = wants_table(self.headers.get("Accept"))
        include = query.get("includeObject", "Metadata")
        try:
            timeout = float(query["timeoutSeconds"]) if query.get("timeoutSeconds") else sim.watch_timeout
        except ValueError:
            raise ApiError(400, "invalid timeoutSeconds")
        rv_text = query.get("resourceVersion") or ""
        if rv_text not in ("", "0"):
            try:
                start_rv = int(rv_text)
            except ValueError:
                raise ApiError(400, 'invalid resource version: "%s"' % rv_text, "BadRequest")
        else:
            start_rv = None
        deadline = time.time() + timeout
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Cache-Control", "no-cache, private")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        self._status = 200
        self.close_connection = True
        headers_sent = [False]

        def wrap(obj):
            if not table or obj.get("kind") == "Status":
                return obj
            t = table_for(rt, [obj], obj["metadata"].get("resourceVersion", ""), include, headers=not headers_sent[0])
            headers_sent[0] = True
            return t

        def emit(etype, obj):
            line = json.dumps({"type": etype, "object": obj}).encode() + b"\n"
            self.wfile.write(b"%x\r\n%s\r\n" % (len(line), line))
            self.wfile.flush()

        def end():
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()

        def bookmark(rv):
            emit("BOOKMARK", {"kind": rt.kind, "apiVersion": rt.api_version, "metadata": {"resourceVersion": str(rv)}})

        def visible(o):
            if o is None:
                return False
            if ns is not None and o["metadata"].get("namespace") != ns:
                return False
            return fsel.matches(o) and lsel.matches(o)

        try:
            with store.lock:
                if start_rv is None:
                    items, pos = store.list(rt, ns, fsel, lsel)
                    initial = items
                elif start_rv < store.compacted_rv:
                    err = status_object(410, "too old resource version: %d (%d)" % (start_rv, store.compacted_rv + 1), "Expired")
                    initial, pos = None, None
                else:
                    initial, pos = [], start_rv
            if initial is None:
                emit("ERROR", err)
                return end()
            for o in initial:
                emit("ADDED", wrap(o))
            last_bookmark = time.time()
            while True:
                with store.lock:
                    while True:
                        now = time.time()
                        pending = store.events_after(pos)
                        if pending or now >= deadline or sim.stopping:
                            break
                        if bookmarks and now - last_bookmark >= sim.bookmark_interval:
                            break
                        wait = deadline - now
                        if bookmarks:
                            wait = min(wait, sim.bookmark_interval - (now - last_bookmark))
                        store.cond.wait(max(0.01, wait))
                    if pos < store.compacted_rv and not pending:
                        pending = []
                    current_rv = store.rv
                out = []
                for ev in pending:
                    pos = ev.rv
                    if ev.key != rt.storage.key:
                        continue
                    old, new = (rt.from_storage(o) if o is not None else None for o in (ev.old, ev.new))
                    was, now_vis = visible(old), visible(new)
                    if ev.type == "ADDED" and now_vis:
                        out.append(("ADDED", new))
                    elif ev.type == "DELETED" and was:
                        out.append(("DELETED", new))
                    elif ev.type == "MODIFIED":
                        if was and now_vis:
                            out.append(("MODIFIED", new))
                        elif now_vis:
                            out.append(("ADDED", new))
                        elif was:
                            out.append(("DELETED", new))
                for etype, o in out:
                    emit(etype, wrap(copy.deepcopy(o)))
                now = time.time()
                if sim.stopping:
                    return end()
                if now >= deadline:
                    if bookmarks:
                        bookmark(max(pos, current_rv) if not pending else pos)
                    return end()
                if bookmarks and now - last_bookmark >= sim.bookmark_interval:
                    pos = max(pos, current_rv) if not pending else pos
                    bookmark(pos)
                    last_bookmark = now
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            self.close_connection = True

    # -- admin ---------------------------------------------------------------
    def _admin(self, path, query, body):
        sim = self.server.sim
        m = self.command
        if path == "/_kubesim/faults":
            if m == "POST":
                doc = self._json(body)
                rules = doc if isinstance(doc, list) else [doc]
                try:
                    added = [sim.faults.add(r) for r in rules]
                except (re.error, ValueError, TypeError) as e:
                    raise ApiError(400, "bad fault rule: %s" % e)
                return self._send_json(200, {"faults": added})
            if m == "DELETE":
                sim.faults.clear()
                return self._send_json(200, {"faults": []})
            return self._send_json(200, {"faults": sim.faults.snapshot()})
        if path == "/_kubesim/requests":
            clear = m == "DELETE" or query.get("clear") in ("1", "true")
            return self._send_json(200, {"requests": sim.requests.snapshot(clear)})
        if path == "/_kubesim/compact" and m == "POST":
            return self._send_json(200, {"compactedResourceVersion": str(sim.store.compact())})
        if path == "/_kubesim/scheduler" and m == "POST":
            doc = self._json(body) or {}
            sim.scheduler = bool(doc.get("enabled", True))
            return self._send_json(200, {"enabled": sim.scheduler})
        if path == "/_kubesim/state" and m == "GET":
            return self._send_json(200, sim.store.snapshot())
        raise ApiError(404, "no such control: %s %s" % (m, path))


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


class TLSServer(ThreadingServer):
    def __init__(self, addr, handler, ctx):
        self.ctx = ctx
        super().__init__(addr, handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        return sock, addr

    def finish_request(self, request, client_address):
        # TLS handshake in the request thread so one slow client cannot stall others.
        try:
            request.settimeout(10)
            tls = self.ctx.wrap_socket(request, server_side=True)
            tls.settimeout(None)
        except (ssl.SSLError, OSError):
            try:
                request.close()
            except OSError:
                pass
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass


# --------------------------------------------------------------------------
# The simulator: store, servers, scheduler
# --------------------------------------------------------------------------

class Sim:
    def __init__(self, args):
        self.args = args
        self.store = Store(history_size=args.history)
        if args.state:
            self.store.attach_state(args.state)
        self.faults = Faults()
        self.requests = RequestLog()
        self.watch_timeout = args.watch_timeout
        self.bookmark_interval = args.bookmark_interval
        self.scheduler = args.scheduler
        self.stopping = False
        self.allow_admin_on_api_port = True
        self.port = 0
        self.log_file = open(args.log, "a", buffering=1) if args.log else None
        self.log_lock = threading.Lock()
        if args.seed:
            self.seed(args.seed)

    def seed(self, path):
        with open(path) as f:
            doc = json.load(f)
        items = doc if isinstance(doc, list) else doc.get("items", [doc]) if doc.get("kind", "").endswith("List") else [doc]
        for o in items:
            rt = RESOURCE_BY_KIND.get((o.get("apiVersion"), o.get("kind")))
            if rt is None:
                raise SystemExit("seed: unsupported object %s/%s" % (o.get("apiVersion"), o.get("kind")))
            md = o.get("metadata") or {}
            ns = (md.get("namespace") or "default") if rt.namespaced else None
            if self.store._key(rt, ns, md.get("name")) in self.store.objects:
                continue            # an initial namespace, or kept in the --state file
            try:
                created = self.store.create(rt, ns, o)
                if rt.has_status and "status" in o and rt.key != "/namespaces":
                    self.store.update(rt, ns, created["metadata"]["name"], dict(created, status=o["status"]), "status")
            except ApiError as e:
                raise SystemExit("seed: %s" % e.message)

    def log_request(self, e):
        if not self.log_file:
            return
        with self.log_lock:
            self.log_file.write("%s %s %s %s%s -> %s\n" % (
                rfc3339(e["time"]), e.get("user") or "-", e["method"], e["path"],
                ("?" + urllib.parse.urlencode(e["query"])) if e["query"] else "", e.get("status")))

    def schedule_loop(self):
        pods, nodes = RESOURCE_BY_KEY["/pods"], RESOURCE_BY_KEY["/nodes"]
        turn = 0
        while not self.stopping:
            time.sleep(0.2)
            if not self.scheduler:
                continue
            ready = [n["metadata"]["name"] for n in self.store.list(nodes, None)[0]
                     if any(c.get("type") == "Ready" and c.get("status") == "True"
                            for c in (n.get("status") or {}).get("conditions") or [])
                     and not (n.get("spec") or {}).get("unschedulable")]
            if not ready:
                continue
            for p in self.store.list(pods, None)[0]:
                if (p.get("spec") or {}).get("nodeName") or p["metadata"].get("deletionTimestamp"):
                    continue
                target = ready[turn % len(ready)]
                turn += 1
                try:
                    self.store.bind(pods, p["metadata"]["namespace"], p["metadata"]["name"],
                                    {"target": {"kind": "Node", "name": target}})
                except ApiError:
                    pass


def make_context(certs):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(os.path.join(certs, "server.crt"), os.path.join(certs, "server.key"))
    ctx.load_verify_locations(os.path.join(certs, "ca.crt"))
    # Optional: a client without a certificate still reaches HTTP and gets 401;
    # a certificate that does not chain to the CA fails the handshake.
    ctx.verify_mode = ssl.CERT_OPTIONAL
    return ctx


def serve(args):
    certs = os.path.abspath(args.certs)
    if not os.path.exists(os.path.join(certs, "server.crt")):
        mkcerts(certs, args.node)
    try:
        sim = Sim(args)
    except StateError as e:
        print("kubesim: %s" % e, file=sys.stderr, flush=True)
        return 2
    try:
        srv = TLSServer((args.host, args.port), Handler, make_context(certs))
        admin = ThreadingServer((args.host, args.admin_port), Handler) if args.admin_port is not None else None
    except OSError as e:
        # Exit status 3: the port is taken (a restart on the same ports may retry).
        print("kubesim: cannot listen on %s: %s" % (args.host, e), file=sys.stderr, flush=True)
        return 3
    srv.sim = sim
    sim.port = srv.server_address[1]
    if admin:
        admin.is_admin = True
        admin.sim = sim
    threads = [threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True),
               threading.Thread(target=sim.schedule_loop, daemon=True)]
    if admin:
        threads.append(threading.Thread(target=admin.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True))
    for t in threads:
        t.start()
    url = "https://%s:%d" % (args.host, sim.port)
    info = {"url": url, "port": sim.port, "adminPort": admin.server_address[1] if admin else None,
            "certs": certs, "ca": os.path.join(certs, "ca.crt"),
            "clientCert": os.path.join(certs, "client.crt"), "clientKey": os.path.join(certs, "client.key"),
            "kubeconfig": os.path.join(certs, "kubeconfig"), "pid": os.getpid()}
    write_kubeconfig(certs, url)
    if args.ready_file:
        tmp = args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            json.dump(info, f)
            f.write("\n")
        os.replace(tmp, args.ready_file)
    print("kubesim ready %s" % json.dumps(info), flush=True)
    done = threading.Event()

    def stop(*_):
        done.set()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    while not done.wait(0.1):
        if args.parent_pid and not _alive(args.parent_pid):
            break
    sim.stopping = True
    with sim.store.lock:
        sim.store.cond.notify_all()
    srv.shutdown()
    if admin:
        admin.shutdown()
    return 0


def _alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


# --------------------------------------------------------------------------
# TLS material
# --------------------------------------------------------------------------

def _openssl(*argv):
    subprocess.run(["openssl"] + list(argv), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _cert(d, name, subject, ca=True, ext=None):
    key, csr, crt = (os.path.join(d, name + s) for s in (".key", ".csr", ".crt"))
    _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out", key)
    _openssl("req", "-new", "-key", key, "-subj", subject, "-out", csr)
    extfile = os.path.join(d, name + ".ext")
    with open(extfile, "w") as f:
        f.write(ext or "")
    _openssl("x509", "-req", "-in", csr, "-CA", os.path.join(d, "ca.crt"), "-CAkey", os.path.join(d, "ca.key"),
             "-CAcreateserial", "-days", "3650", "-sha256", "-extfile", extfile, "-out", crt)
    os.remove(csr)
    os.remove(extfile)
    os.chmod(key, 0o600)


def mkcerts(d, node="ozk-node"):
    """CA, server certificate for 127.0.0.1/localhost/::1, the node's client
    certificate (CN=system:node:<node>, O=system:nodes), an administrator
    certificate for kubectl (O=system:masters), and a kubeconfig."""
    os.makedirs(d, exist_ok=True)
    ca_key, ca_crt = os.path.join(d, "ca.key"), os.path.join(d, "ca.crt")
    _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out", ca_key)
    _openssl("req", "-x509", "-new", "-key", ca_key, "-subj", "/CN=kubesim-ca", "-days", "3650", "-sha256",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-out", ca_crt)
    os.chmod(ca_key, 0o600)
    _cert(d, "server", "/CN=kube-apiserver",
          ext="basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost,DNS:kubernetes\n")
    client_ext = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=clientAuth\n"
    _cert(d, "client", "/O=system:nodes/CN=system:node:%s" % node, ext=client_ext)
    _cert(d, "admin", "/O=system:masters/CN=kubernetes-admin", ext=client_ext)
    write_kubeconfig(d, None)
    return d


def write_kubeconfig(d, url):
    """kubeconfig for kubectl with the administrator certificate (rewritten
    with the real URL once the server knows its port)."""
    url = url or "https://127.0.0.1:6443"
    text = """apiVersion: v1
kind: Config
clusters:
- cluster:
    certificate-authority: {d}/ca.crt
    server: {url}
  name: kubesim
users:
- name: kubesim-admin
  user:
    client-certificate: {d}/admin.crt
    client-key: {d}/admin.key
- name: kubesim-node
  user:
    client-certificate: {d}/client.crt
    client-key: {d}/client.key
contexts:
- context:
    cluster: kubesim
    user: kubesim-admin
  name: kubesim
- context:
    cluster: kubesim
    user: kubesim-node
  name: kubesim-node
current-context: kubesim
""".format(d=os.path.abspath(d), url=url)
    tmp = os.path.join(d, "kubeconfig.tmp")
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, os.path.join(d, "kubeconfig"))


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------

def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "mkcerts":
        p = argparse.ArgumentParser(prog="kubesim.py mkcerts", description="generate TLS material and a kubeconfig")
        p.add_argument("dir")
        p.add_argument("--node", default="ozk-node", help="node name in the client certificate (CN=system:node:NAME)")
        a = p.parse_args(argv[1:])
        mkcerts(a.dir, a.node)
        print(os.path.abspath(a.dir))
        return 0
    if argv and argv[0] == "serve":
        argv = argv[1:]
    p = argparse.ArgumentParser(prog="kubesim.py", description="Kubernetes API server emulator")
    p.add_argument("--host", default="127.0.0.1", help="listen address (loopback only)")
    p.add_argument("--port", type=int, default=6443, help="HTTPS port; 0 picks a free one")
    p.add_argument("--admin-port", type=int, default=None, help="plain-HTTP admin port on the same host; 0 picks a free one")
    p.add_argument("--certs", required=True, help="directory with ca.crt, server.crt/key, client.crt/key (generated when missing)")
    p.add_argument("--node", default="ozk-node", help="node name for generated client certificates")
    p.add_argument("--ready-file", help="written (atomically) with URL, ports and paths once the server listens")
    p.add_argument("--seed", help="JSON file with objects (a list, a List or one object) created at start")
    p.add_argument("--state", help="JSON file with every object and the resourceVersion: served at start when "
                   "present, rewritten (atomically) after every change")
    p.add_argument("--log", help="append one line per request to this file")
    p.add_argument("--history", type=int, default=1000, help="watch events kept; older versions answer 410")
    p.add_argument("--watch-timeout", type=float, default=1800, help="watch length when the client gives no timeoutSeconds")
    p.add_argument("--bookmark-interval", type=float, default=60, help="seconds between BOOKMARK events (one is also sent when a watch times out)")
    p.add_argument("--scheduler", action="store_true", help="bind unbound pods to Ready nodes")
    p.add_argument("--parent-pid", type=int, default=0, help="exit when this process is gone")
    a = p.parse_args(argv)
    if a.host not in ("127.0.0.1", "::1", "localhost") and not a.host.startswith("127."):
        p.error("--host must be a loopback address")
    return serve(a)


if __name__ == "__main__":
    sys.exit(main())
