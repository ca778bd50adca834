"""The validation the API server applies to objects on create, update and
patch, for the kinds the emulator serves.

`validate(kind, obj, old)` returns the field errors as the server reports
them: each one a StatusCause (reason, field path, message), with the
messages' wording of the server.  The caller turns a non-empty list into a
422 Invalid Status.  A member of the wrong JSON type (a list where a map
belongs, a quantity that is no quantity) is not a field error but a body the
server cannot decode: BadType, answered 400.
"""

import base64
import binascii
import ipaddress
import json
import re

_DNS1123_LABEL = r"[a-z0-9]([-a-z0-9]*[a-z0-9])?"
_DNS1123_SUBDOMAIN = _DNS1123_LABEL + r"(\." + _DNS1123_LABEL + r")*"
_QUALIFIED_NAME = r"([A-Za-z0-9][-A-Za-z0-9_.]*)?[A-Za-z0-9]"
_LABEL_VALUE = r"(" + _QUALIFIED_NAME + r")?"
_CONFIG_KEY = r"[-._a-zA-Z0-9]+"
QUANTITY = r"([+-]?[0-9.]+)([eEinumkKMGTP]*[-+]?[0-9]*)"

MSG_SUBDOMAIN = ("a lowercase RFC 1123 subdomain must consist of lower case alphanumeric characters, '-' or '.', "
                 "and must start and end with an alphanumeric character (e.g. 'example.com', regex used for "
                 "validation is '%s')" % _DNS1123_SUBDOMAIN)
MSG_LABEL = ("a lowercase RFC 1123 label must consist of lower case alphanumeric characters or '-', and must "
             "start and end with an alphanumeric character (e.g. 'my-name',  or '123-abc', regex used for "
             "validation is '%s')" % _DNS1123_LABEL)
MSG_NAME_PART = ("name part must consist of alphanumeric characters, '-', '_' or '.', and must start and end "
                 "with an alphanumeric character (e.g. 'MyName',  or 'my.name',  or '123-abc', regex used for "
                 "validation is '%s')" % _QUALIFIED_NAME)
MSG_QUALIFIED = ("a qualified name must consist of alphanumeric characters, '-', '_' or '.', and must start and "
                 "end with an alphanumeric character (e.g. 'MyName',  or 'my.name',  or '123-abc', regex used "
                 "for validation is '%s') with an optional DNS subdomain prefix and '/' (e.g. "
                 "'example.com/MyName')" % _QUALIFIED_NAME)
MSG_LABEL_VALUE = ("a valid label must be an empty string or consist of alphanumeric characters, '-', '_' or "
                   "'.', and must start and end with an alphanumeric character (e.g. 'MyValue',  or "
                   "'my_value',  or '12345', regex used for validation is '%s')" % _LABEL_VALUE)
MSG_CONFIG_KEY = ("a valid config key must consist of alphanumeric characters, '-', '_' or '.' (e.g. "
                  "'key.name',  or 'KEY_NAME',  or 'key-name', regex used for validation is '%s')" % _CONFIG_KEY)
MSG_QUANTITY = "quantities must match the regular expression '^%s$'" % QUANTITY

ANNOTATIONS_MAX = 256 * 1024
DATA_MAX = 1024 * 1024
STANDARD_FINALIZERS = {"kubernetes", "orphan", "foregroundDeletion"}


class BadType(ValueError):
    """A member whose JSON type or syntax does not decode into the API type."""


class FieldErrors:
    """Field errors in the server's words: `field: body`, one StatusCause each."""

    def __init__(self):
        self.causes = []

    def __bool__(self):
        return bool(self.causes)

    def _add(self, reason, field, body):
        cause = {"reason": reason, "message": body, "field": field}
        if cause not in self.causes:
            self.causes.append(cause)

    def invalid(self, field, value, detail):
        self._add("FieldValueInvalid", field, "Invalid value: %s: %s" % (show(value), detail))

    def required(self, field, detail=""):
        self._add("FieldValueRequired", field, "Required value" + (": " + detail if detail else ""))

    def not_supported(self, field, value, supported):
        self._add("FieldValueNotSupported", field, "Unsupported value: %s: supported values: %s"
                  % (show(value), ", ".join('"%s"' % s for s in supported)))

    def duplicate(self, field, value):
        self._add("FieldValueDuplicate", field, "Duplicate value: %s" % show(value))

    def forbidden(self, field, detail):
        self._add("FieldValueForbidden", field, "Forbidden: " + detail)

    def too_long(self, field, limit):
        self._add("FieldValueTooLong", field, "Too long: must have at most %d bytes" % limit)

    def not_found(self, field, value):
        self._add("FieldValueNotFound", field, "Not found: %s" % show(value))

    def summary(self):
        """The message after `<Kind> "<name>" is invalid: `."""
        parts = ["%s: %s" % (c["field"], c["message"]) if c["field"] else c["message"] for c in self.causes]
        return parts[0] if len(parts) == 1 else "[" + ", ".join(parts) + "]"


def show(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return str(value)
    if value is None:
        return "null"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    return json.dumps(json.dumps(value, separators=(",", ":")), ensure_ascii=False)


# --------------------------------------------------------------------------
# Names and keys
# --------------------------------------------------------------------------

def _syntax(value, limit, pattern, message):
    """The messages for a value longer than `limit` and for one not of `pattern`."""
    out = ["must be no more than %d characters" % limit] if len(value) > limit else []
    if not re.fullmatch(pattern, value):
        out.append(message)
    return out


def dns_subdomain(value):
    return _syntax(value, 253, _DNS1123_SUBDOMAIN, MSG_SUBDOMAIN)


def dns_label(value):
    return _syntax(value, 63, _DNS1123_LABEL, MSG_LABEL)


def path_segment(value):
    if value in (".", ".."):
        return ["may not be '%s'" % value]
    return ["may not contain '%s'" % c for c in "/%" if c in value]


def qualified_name(value):
    parts = value.split("/")
    if len(parts) == 1:
        name = parts[0]
        out = []
    elif len(parts) == 2:
        prefix, name = parts
        out = ["prefix part must be non-empty"] if not prefix else ["prefix part " + m for m in dns_subdomain(prefix)]
    else:
        return [MSG_QUALIFIED]
    if not name:
        out.append("name part must be non-empty")
    elif len(name) > 63:
        out.append("name part must be no more than 63 characters")
    if name and not re.fullmatch(_QUALIFIED_NAME, name):
        out.append(MSG_NAME_PART)
    return out


def label_value(value):
    return _syntax(value, 63, _LABEL_VALUE, MSG_LABEL_VALUE)


def iana_service_name(value):
    out = []
    if len(value) > 15:
        out.append("must be no more than 15 characters")
    if not re.fullmatch(r"[-a-z0-9]*", value):
        out.append("must contain only alpha-numeric characters (a-z, 0-9), and hyphens (-)")
    if "--" in value:
        out.append("must not contain consecutive hyphens")
    if not re.search(r"[a-z]", value):
        out.append("must contain at least one letter (a-z)")
    if value.startswith("-") or value.endswith("-"):
        out.append("must not begin or end with a hyphen")
    return out


def _apply(errs, field, value, messages):
    for m in messages:
        errs.invalid(field, value, m)


def _map(obj, key, path):
    v = obj.get(key)
    if v is None:
        return {}
    if not isinstance(v, dict) or not all(isinstance(x, str) for x in v.values()):
        raise BadType("%s: expected a map of strings" % path)
    return v


def _list(obj, key, path):
    v = obj.get(key)
    if v is None:
        return []
    if not isinstance(v, list):
        raise BadType("%s: expected a list" % path)
    if not all(isinstance(x, dict) for x in v):
        raise BadType("%s: expected a list of objects" % path)
    return v


def _obj(obj, key, path):
    v = obj.get(key)
    if v is None:
        return {}
    if not isinstance(v, dict):
        raise BadType("%s: expected an object" % path)
    return v


def _str(obj, key, path):
    v = obj.get(key)
    if v is None:
        return ""
    if not isinstance(v, str):
        raise BadType("%s: expected a string" % path)
    return v


def _int(obj, key, path):
    v = obj.get(key)
    if v is not None and (isinstance(v, bool) or not isinstance(v, int)):
        raise BadType("%s: expected an integer" % path)
    return v


def quantities(errs, obj, key, path):
    """A map of resource names to quantities (requests, limits, capacity)."""
    for name, q in _map(obj, key, path).items():
        if not re.fullmatch(QUANTITY, q):
            raise BadType(MSG_QUANTITY)
        field = "%s.%s[%s]" % (path, key, name)
        _apply(errs, field, name, qualified_name(name))
        if q.startswith("-"):
            errs.invalid(field, q, "must be greater than or equal to 0")


# --------------------------------------------------------------------------
# Object metadata
# --------------------------------------------------------------------------

# How each kind's names are checked.
NAME_RULES = {"Namespace": dns_label, "Event": path_segment}


def metadata(errs, kind, obj, name_rule=None):
    md = obj.get("metadata")
    if not isinstance(md, dict):
        raise BadType("metadata: expected an object")
    rule = name_rule or NAME_RULES.get(kind, dns_subdomain)
    name = _str(md, "name", "metadata.name")
    gen = _str(md, "generateName", "metadata.generateName")
    if gen:
        # A prefix: a trailing "-" is fine, the server appends to it.
        _apply(errs, "metadata.generateName", gen, rule(gen[:-1] + "a" if gen.endswith("-") else gen))
    if not name and not gen:
        errs.required("metadata.name", "name or generateName is required")
    elif name:
        _apply(errs, "metadata.name", name, rule(name))
    for k, v in _map(md, "labels", "metadata.labels").items():
        _apply(errs, "metadata.labels", k, qualified_name(k))
        _apply(errs, "metadata.labels", v, label_value(v))
    annotations = _map(md, "annotations", "metadata.annotations")
    for k in annotations:
        _apply(errs, "metadata.annotations", k, qualified_name(k.lower()))
    if sum(len(k.encode()) + len(v.encode()) for k, v in annotations.items()) > ANNOTATIONS_MAX:
        errs.too_long("metadata.annotations", ANNOTATIONS_MAX)
    finalizers = md.get("finalizers") or []
    if not isinstance(finalizers, list) or not all(isinstance(f, str) for f in finalizers):
        raise BadType("metadata.finalizers: expected a list of strings")
    for f in finalizers:
        _apply(errs, "metadata.finalizers", f, qualified_name(f))
    for i, ref in enumerate(_list(md, "ownerReferences", "metadata.ownerReferences")):
        for member, what in (("apiVersion", "version"), ("kind", "kind"), ("name", "name"), ("uid", "uid")):
            if not _str(ref, member, "metadata.ownerReferences[%d].%s" % (i, member)):
                errs.invalid("metadata.ownerReferences.%s" % member, "", "%s must not be empty" % what)


# --------------------------------------------------------------------------
# Pods
# --------------------------------------------------------------------------

RESTART_POLICIES = ["Always", "OnFailure", "Never"]
DNS_POLICIES = ["ClusterFirstWithHostNet", "ClusterFirst", "Default", "None"]
PULL_POLICIES = ["Always", "IfNotPresent", "Never"]
MESSAGE_POLICIES = ["File", "FallbackToLogsOnError"]
PROTOCOLS = ["SCTP", "TCP", "UDP"]
TAINT_EFFECTS = ["NoSchedule", "PreferNoSchedule", "NoExecute"]
TOLERATION_OPERATORS = ["Equal", "Exists"]


def _port_number(errs, field, value):
    if not 1 <= value <= 65535:
        errs.invalid(field, value, "must be between 1 and 65535, inclusive")


def _unique_label(errs, obj, path, seen):
    """A required DNS-label name, unique among `seen` (which it joins)."""
    name = _str(obj, "name", path + ".name")
    if not name:
        errs.required(path + ".name")
        return
    _apply(errs, path + ".name", name, dns_label(name))
    if name in seen:
        errs.duplicate(path + ".name", name)
    seen.add(name)


def _container(errs, c, path, volumes, names, port_names):
    _unique_label(errs, c, path, names)
    if not _str(c, "image", path + ".image").strip():
        errs.required(path + ".image")
    policy = _str(c, "imagePullPolicy", path + ".imagePullPolicy")
    if policy not in PULL_POLICIES:
        errs.not_supported(path + ".imagePullPolicy", policy, PULL_POLICIES)
    tmp = _str(c, "terminationMessagePolicy", path + ".terminationMessagePolicy")
    if tmp not in MESSAGE_POLICIES:
        errs.not_supported(path + ".terminationMessagePolicy", tmp, MESSAGE_POLICIES)
    for i, p in enumerate(_list(c, "ports", path + ".ports")):
        pp = "%s.ports[%d]" % (path, i)
        _port_number(errs, pp + ".containerPort", _int(p, "containerPort", pp + ".containerPort") or 0)
        if _int(p, "hostPort", pp + ".hostPort"):
            _port_number(errs, pp + ".hostPort", p["hostPort"])
        proto = _str(p, "protocol", pp + ".protocol")
        if proto not in PROTOCOLS:
            errs.not_supported(pp + ".protocol", proto, PROTOCOLS)
        pname = _str(p, "name", pp + ".name")
        if pname:
            _apply(errs, pp + ".name", pname, iana_service_name(pname))
            if pname in port_names:
                errs.duplicate(pp + ".name", pname)
            port_names.add(pname)
    for i, e in enumerate(_list(c, "env", path + ".env")):
        if not _str(e, "name", "%s.env[%d].name" % (path, i)):
            errs.required("%s.env[%d].name" % (path, i))
    mounts = set()
    for i, m in enumerate(_list(c, "volumeMounts", path + ".volumeMounts")):
        mp = "%s.volumeMounts[%d]" % (path, i)
        vol = _str(m, "name", mp + ".name")
        if not vol:
            errs.required(mp + ".name")
        elif vol not in volumes:
            errs.not_found(mp + ".name", vol)
        target = _str(m, "mountPath", mp + ".mountPath")
        if not target:
            errs.required(mp + ".mountPath")
        elif target in mounts:
            errs.invalid(mp + ".mountPath", target, "must be unique")
        mounts.add(target)
    resources = _obj(c, "resources", path + ".resources")
    for key in ("limits", "requests"):
        quantities(errs, resources, key, path + ".resources")


def _tolerations(errs, spec):
    for i, t in enumerate(_list(spec, "tolerations", "spec.tolerations")):
        p = "spec.tolerations[%d]" % i
        key, op = _str(t, "key", p + ".key"), _str(t, "operator", p + ".operator")
        if key:
            _apply(errs, p + ".key", key, qualified_name(key))
        elif op != "Exists":
            errs.invalid(p + ".operator", op, "operator must be Exists when `key` is empty, which means "
                         "\"match all values and all keys\"")
        if op and op not in TOLERATION_OPERATORS:
            errs.not_supported(p + ".operator", op, TOLERATION_OPERATORS)
        if op == "Exists" and _str(t, "value", p + ".value"):
            errs.invalid(p + ".operator", t["value"], "value must be empty when `operator` is 'Exists'")
        effect = _str(t, "effect", p + ".effect")
        if effect and effect not in TAINT_EFFECTS:
            errs.not_supported(p + ".effect", effect, TAINT_EFFECTS)
        if _int(t, "tolerationSeconds", p + ".tolerationSeconds") is not None and effect != "NoExecute":
            errs.invalid(p + ".effect", effect, "effect must be 'NoExecute' when `tolerationSeconds` is set")


def pod_spec(errs, spec):
    volumes = set()
    for i, v in enumerate(_list(spec, "volumes", "spec.volumes")):
        p = "spec.volumes[%d]" % i
        _unique_label(errs, v, p, volumes)
        if len([k for k in v if k != "name"]) > 1:
            errs.forbidden(p, "may not specify more than 1 volume type")
    names, port_names = set(), set()
    if not _list(spec, "containers", "spec.containers"):
        errs.required("spec.containers")
    for member in ("initContainers", "containers"):
        for i, c in enumerate(_list(spec, member, "spec." + member)):
            _container(errs, c, "spec.%s[%d]" % (member, i), volumes, names, port_names)
    restart = _str(spec, "restartPolicy", "spec.restartPolicy")
    if restart not in RESTART_POLICIES:
        errs.not_supported("spec.restartPolicy", restart, RESTART_POLICIES)
    dns = _str(spec, "dnsPolicy", "spec.dnsPolicy")
    if dns not in DNS_POLICIES:
        errs.not_supported("spec.dnsPolicy", dns, DNS_POLICIES)
    node = _str(spec, "nodeName", "spec.nodeName")
    if node:
        _apply(errs, "spec.nodeName", node, dns_subdomain(node))
    deadline = _int(spec, "activeDeadlineSeconds", "spec.activeDeadlineSeconds")
    if deadline is not None and not 1 <= deadline <= 2147483647:
        errs.invalid("spec.activeDeadlineSeconds", deadline, "must be between 1 and 2147483647, inclusive")
    _map(spec, "nodeSelector", "spec.nodeSelector")
    _tolerations(errs, spec)


def _ip(errs, field, value):
    try:
        ipaddress.ip_address(value)
    except ValueError:
        errs.invalid(field, value, "must be a valid IP address, (e.g. 10.9.8.7 or 2001:db8::ffff)")


def pod_status(errs, status):
    for member in ("podIP", "hostIP"):
        if _str(status, member, "status." + member):
            _ip(errs, "status." + member, status[member])
    for member in ("podIPs", "hostIPs"):
        for i, entry in enumerate(_list(status, member, "status." + member)):
            _ip(errs, "status.%s[%d].ip" % (member, i), _str(entry, "ip", "status.%s[%d].ip" % (member, i)))


def pod(errs, obj, old):
    pod_spec(errs, _obj(obj, "spec", "spec"))
    pod_status(errs, _obj(obj, "status", "status"))


# --------------------------------------------------------------------------
# Nodes, namespaces, leases
# --------------------------------------------------------------------------

def _cidr(errs, field, value):
    try:
        ipaddress.ip_network(value, strict=False)
        if "/" not in value:
            raise ValueError(value)
    except ValueError:
        errs.invalid(field, value, "must be a valid CIDR value, (e.g. 10.9.8.0/24 or 2001:db8::/64)")


def node(errs, obj, old):
    spec = _obj(obj, "spec", "spec")
    seen = set()
    for i, t in enumerate(_list(spec, "taints", "spec.taints")):
        p = "spec.taints[%d]" % i
        key, effect = _str(t, "key", p + ".key"), _str(t, "effect", p + ".effect")
        if not key:
            errs.required(p + ".key")
        else:
            _apply(errs, p + ".key", key, qualified_name(key))
        _apply(errs, p + ".value", _str(t, "value", p + ".value"), label_value(t.get("value") or ""))
        if not effect:
            errs.required(p + ".effect")
        elif effect not in TAINT_EFFECTS:
            errs.not_supported(p + ".effect", effect, TAINT_EFFECTS)
        if (key, effect) in seen:
            errs.duplicate(p, "%s:%s" % (key, effect))
        seen.add((key, effect))
    if _str(spec, "podCIDR", "spec.podCIDR"):
        _cidr(errs, "spec.podCIDR", spec["podCIDR"])
    cidrs = spec.get("podCIDRs") or []
    if not isinstance(cidrs, list) or not all(isinstance(c, str) for c in cidrs):
        raise BadType("spec.podCIDRs: expected a list of strings")
    for i, c in enumerate(cidrs):
        _cidr(errs, "spec.podCIDRs[%d]" % i, c)
    status = _obj(obj, "status", "status")
    for key in ("capacity", "allocatable"):
        quantities(errs, status, key, "status")
    if old is not None:
        ospec = old.get("spec") or {}
        for member, what in (("podCIDR", "podCIDR"), ("providerID", "providerID")):
            if ospec.get(member) and ospec.get(member) != spec.get(member):
                errs.forbidden("spec.%s" % ("podCIDRs" if member == "podCIDR" else member),
                               'node updates may not change %s except from "" to valid' % what)


def namespace(errs, obj, old):
    finalizers = _obj(obj, "spec", "spec").get("finalizers") or []
    if not isinstance(finalizers, list) or not all(isinstance(f, str) for f in finalizers):
        raise BadType("spec.finalizers: expected a list of strings")
    for f in finalizers:
        msgs = qualified_name(f)
        if not msgs and "/" not in f and f not in STANDARD_FINALIZERS:
            msgs = ["name is neither a standard finalizer name nor is it fully qualified"]
        _apply(errs, "spec.finalizers", f, msgs)


def lease(errs, obj, old):
    spec = _obj(obj, "spec", "spec")
    duration = _int(spec, "leaseDurationSeconds", "spec.leaseDurationSeconds")
    if duration is not None and duration <= 0:
        errs.invalid("spec.leaseDurationSeconds", duration, "must be greater than 0")
    transitions = _int(spec, "leaseTransitions", "spec.leaseTransitions")
    if transitions is not None and transitions < 0:
        errs.invalid("spec.leaseTransitions", transitions, "must be greater than or equal to 0")
    _str(spec, "holderIdentity", "spec.holderIdentity")


# --------------------------------------------------------------------------
# Secrets and config maps
# --------------------------------------------------------------------------

# Secret types whose data must hold certain keys.
SECRET_KEYS = {
    "kubernetes.io/dockercfg": [".dockercfg"],
    "kubernetes.io/dockerconfigjson": [".dockerconfigjson"],
    "kubernetes.io/ssh-auth": ["ssh-privatekey"],
    "kubernetes.io/tls": ["tls.crt", "tls.key"],
}
SECRET_JSON = {"kubernetes.io/dockercfg": ".dockercfg", "kubernetes.io/dockerconfigjson": ".dockerconfigjson"}


def _data_keys(errs, data, member):
    for k in data:
        _apply(errs, "%s[%s]" % (member, k), k, _syntax(k, 253, _CONFIG_KEY, MSG_CONFIG_KEY))


def _immutable(errs, obj, old, members):
    if old is None or not old.get("immutable"):
        return
    if not obj.get("immutable"):
        errs.forbidden("immutable", "field is immutable when `immutable` is set")
    for m in members:
        if (obj.get(m) or {}) != (old.get(m) or {}):
            errs.forbidden(m, "field is immutable when `immutable` is set")


def secret(errs, obj, old):
    data = _map(obj, "data", "data")
    raw = {}
    for k, v in data.items():
        try:
            raw[k] = base64.b64decode(v, validate=True)
        except (binascii.Error, ValueError):
            raise BadType("data[%s]: illegal base64 data" % k)
    _data_keys(errs, data, "data")
    if sum(len(v) for v in raw.values()) > DATA_MAX:
        errs.too_long("data", DATA_MAX)
    typ = _str(obj, "type", "type")
    if typ == "kubernetes.io/service-account-token":
        key = "kubernetes.io/service-account.name"
        if not (obj["metadata"].get("annotations") or {}).get(key):
            errs.required("metadata.annotations[%s]" % key)
    if typ == "kubernetes.io/basic-auth" and not raw.get("username") and not raw.get("password"):
        errs.required("data[username]")
        errs.required("data[password]")
    for key in SECRET_KEYS.get(typ, []):
        if key not in raw:
            errs.required("data[%s]" % key)
    key = SECRET_JSON.get(typ)
    if key in raw:
        try:
            json.loads(raw[key])
        except ValueError as e:
            errs.invalid("data[%s]" % key, "<secret contents redacted>", str(e))
    if old is not None:
        if typ != (old.get("type") or ""):
            errs.invalid("type", typ, "field is immutable")
        _immutable(errs, obj, old, ("data",))


def config_map(errs, obj, old):
    data = _map(obj, "data", "data")
    binary = _map(obj, "binaryData", "binaryData")
    _data_keys(errs, data, "data")
    _data_keys(errs, binary, "binaryData")
    size = 0
    for k, v in binary.items():
        try:
            size += len(base64.b64decode(v, validate=True))
        except (binascii.Error, ValueError):
            raise BadType("binaryData[%s]: illegal base64 data" % k)
        if k in data:
            errs.invalid("data[%s]" % k, k, "duplicate of key present in binaryData")
    if size + sum(len(v.encode()) for v in data.values()) > DATA_MAX:
        errs.too_long("data", DATA_MAX)
    _immutable(errs, obj, old, ("data", "binaryData"))


# --------------------------------------------------------------------------
# Events
# --------------------------------------------------------------------------

LIMIT_128 = 128
NOTE_MAX = 1024


def _event_members(obj, objects, strings, ints):
    for m in objects:
        _obj(obj, m, m)
    for m in strings:
        _str(obj, m, m)
    for m in ints:
        _int(obj, m, m)


def core_event(errs, obj, old):
    """Events written through core/v1, the form old clients use."""
    _event_members(obj, ("source", "series", "related"), ("reason", "message", "type", "action"), ("count",))
    ns = obj["metadata"].get("namespace") or ""
    involved = _obj(obj, "involvedObject", "involvedObject")
    ins = _str(involved, "namespace", "involvedObject.namespace")
    if not obj.get("eventTime"):
        if (ins and ins != ns) or (not ins and ns not in ("", "default")):
            errs.invalid("involvedObject.namespace", ins, "does not match event.namespace")
        return
    if not ins and ns not in ("default", "kube-system"):
        errs.invalid("involvedObject.namespace", ins, "does not match event.namespace")
    controller = _str(obj, "reportingComponent", "reportingComponent")
    if not controller:
        errs.required("reportingComponent")
    _apply(errs, "reportingComponent", controller, qualified_name(controller) if controller else [])
    _event_sizes(errs, obj, "reportingInstance", "action", "reason", "message")


def _event_sizes(errs, obj, instance, action, reason, note):
    if not _str(obj, instance, instance):
        errs.required(instance)
    for member, limit in ((instance, LIMIT_128), (action, LIMIT_128), (reason, LIMIT_128), (note, NOTE_MAX)):
        if len(_str(obj, member, member)) > limit:
            errs.invalid(member, "", "can have at most %d characters" % limit)


def event(errs, obj, old):
    """Events written through events.k8s.io/v1: the fields of new events are required."""
    _event_members(obj, ("regarding", "related"), ("note",), ())
    if not obj.get("eventTime"):
        errs.required("eventTime")
    typ = _str(obj, "type", "type")
    if typ not in ("Normal", "Warning"):
        errs.invalid("type", "", "has invalid value: %s" % typ)
    for member in ("deprecatedFirstTimestamp", "deprecatedLastTimestamp"):
        if obj.get(member):
            errs.invalid(member, "", "needs to be unset")
    if _int(obj, "deprecatedCount", "deprecatedCount"):
        errs.invalid("deprecatedCount", "", "needs to be unset")
    if _obj(obj, "deprecatedSource", "deprecatedSource"):
        errs.invalid("deprecatedSource", "", "needs to be unset")
    series = _obj(obj, "series", "series")
    if series:
        if (_int(series, "count", "series.count") or 0) < 2:
            errs.invalid("series.count", "", "should be at least 2")
        if not series.get("lastObservedTime"):
            errs.required("series.lastObservedTime")
    controller = _str(obj, "reportingController", "reportingController")
    if not controller:
        errs.required("reportingController")
    else:
        _apply(errs, "reportingController", controller, qualified_name(controller))
    if not _str(obj, "action", "action"):
        errs.required("action")
    if not _str(obj, "reason", "reason"):
        errs.required("reason")
    _event_sizes(errs, obj, "reportingInstance", "action", "reason", "note")


# --------------------------------------------------------------------------
# Entry point
# --------------------------------------------------------------------------

VALIDATORS = {
    ("v1", "Pod"): pod, ("v1", "Node"): node, ("v1", "Namespace"): namespace,
    ("v1", "Secret"): secret, ("v1", "ConfigMap"): config_map, ("v1", "Event"): core_event,
    ("events.k8s.io/v1", "Event"): event, ("coordination.k8s.io/v1", "Lease"): lease,
}
# Kinds whose names follow the DNS subdomain rule in events.k8s.io but not in core/v1.
VERSION_NAME_RULES = {("events.k8s.io/v1", "Event"): dns_subdomain}


def validate(api_version, kind, obj, old=None):
    """The field errors of `obj` (create: old is None; update: the stored object)."""
    errs = FieldErrors()
    metadata(errs, kind, obj, VERSION_NAME_RULES.get((api_version, kind)))
    check = VALIDATORS.get((api_version, kind))
    if check is not None:
        check(errs, obj, old)
    return errs
