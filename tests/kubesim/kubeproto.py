"""Protobuf request bodies of the Kubernetes API, read into the JSON the
emulator stores.

Clients built on client-go (kubectl 1.26 and later for `create secret`,
`create configmap`, `create namespace`; controllers; kubelets) send built-in
objects as `application/vnd.kubernetes.protobuf`: the four bytes "k8s\\0",
then a runtime.Unknown message

    Unknown { TypeMeta typeMeta = 1 {apiVersion = 1, kind = 2};
              bytes raw = 2; string contentEncoding = 3; string contentType = 4 }

whose `raw` is the object's own message.  The messages and their field
numbers below are those of the published API definitions (the generated.proto
files of the core, meta, coordination and events API groups).

What decoding produces is what the same client would have sent as JSON:
fields a Go client always writes but its JSON encoding leaves out when empty
("omitempty" members of value type, marked "?" below) are dropped when they
hold their zero value; members that are pointers in the Go types (an explicit
`runAsUser: 0`, `automountServiceAccountToken: false`) keep their zero values.
Timestamps become RFC 3339 text (null for the zero time), quantities and
int-or-string values their JSON forms, bytes base64 text.

Nothing is guessed: a field number this table does not know is refused
(UnknownField), so a body is never stored with a member silently lost.
"""

import base64
import datetime
import json

MAGIC = b"k8s\x00"
MEDIA_TYPE = "application/vnd.kubernetes.protobuf"


class DecodeError(ValueError):
    """The body is not a well-formed protobuf message of the expected kind."""


class UnknownField(DecodeError):
    """A well-formed body with a field this emulator has no name for."""


# One message per line (continuation lines are indented): `Name field=NUMBER:TYPE ...`.
# TYPE: s string, b bool, i32/i64 integers, y bytes, a message name, or one
# of Time, MicroTime, Quantity, IntOrString, FieldsV1; "[]T" repeated, "{T}"
# map<string, T>; a trailing "?" drops the zero value; a leading "^" on the
# field name inlines the message's members into the parent (Go embedding).
SCHEMA = """
AWSElasticBlockStoreVolumeSource volumeID=1:s fsType=2:s? partition=3:i32? readOnly=4:b?
Affinity nodeAffinity=1:NodeAffinity podAffinity=2:PodAffinity podAntiAffinity=3:PodAntiAffinity
AppArmorProfile type=1:s localhostProfile=2:s
AttachedVolume name=1:s devicePath=2:s
AzureDiskVolumeSource diskName=1:s diskURI=2:s cachingMode=3:s fsType=4:s readOnly=5:b kind=6:s
AzureFileVolumeSource secretName=1:s shareName=2:s readOnly=3:b?
Binding metadata=1:ObjectMeta target=2:ObjectReference
CSIVolumeSource driver=1:s readOnly=2:b fsType=3:s volumeAttributes=4:{s}
  nodePublishSecretRef=5:LocalObjectReference
Capabilities add=1:[]s drop=2:[]s
CephFSVolumeSource monitors=1:[]s path=2:s? user=3:s? secretFile=4:s? secretRef=5:LocalObjectReference
  readOnly=6:b?
CinderVolumeSource volumeID=1:s fsType=2:s? readOnly=3:b? secretRef=4:LocalObjectReference
ClusterTrustBundleProjection name=1:s signerName=2:s labelSelector=3:LabelSelector optional=5:b path=4:s
ConfigMap metadata=1:ObjectMeta immutable=4:b data=2:{s} binaryData=3:{y}
ConfigMapEnvSource ^localObjectReference=1:LocalObjectReference optional=2:b
ConfigMapKeySelector ^localObjectReference=1:LocalObjectReference key=2:s optional=3:b
ConfigMapNodeConfigSource namespace=1:s name=2:s uid=3:s? resourceVersion=4:s? kubeletConfigKey=5:s
ConfigMapProjection ^localObjectReference=1:LocalObjectReference items=2:[]KeyToPath optional=4:b
ConfigMapVolumeSource ^localObjectReference=1:LocalObjectReference items=2:[]KeyToPath defaultMode=3:i32
  optional=4:b
Container name=1:s image=2:s? command=3:[]s args=4:[]s workingDir=5:s? ports=6:[]ContainerPort
  envFrom=19:[]EnvFromSource env=7:[]EnvVar resources=8:ResourceRequirements
  resizePolicy=23:[]ContainerResizePolicy restartPolicy=24:s restartPolicyRules=25:[]ContainerRestartRule
  volumeMounts=9:[]VolumeMount volumeDevices=21:[]VolumeDevice livenessProbe=10:Probe
  readinessProbe=11:Probe startupProbe=22:Probe lifecycle=12:Lifecycle terminationMessagePath=13:s?
  terminationMessagePolicy=20:s? imagePullPolicy=14:s? securityContext=15:SecurityContext stdin=16:b?
  stdinOnce=17:b? tty=18:b?
ContainerExtendedResourceRequest containerName=1:s resourceName=2:s requestName=3:s
ContainerImage names=1:[]s sizeBytes=2:i64?
ContainerPort name=1:s? hostPort=2:i32? containerPort=3:i32 protocol=4:s? hostIP=5:s?
ContainerResizePolicy resourceName=1:s restartPolicy=2:s
ContainerRestartRule action=1:s exitCodes=2:ContainerRestartRuleOnExitCodes
ContainerRestartRuleOnExitCodes operator=1:s values=2:[]i32
ContainerState waiting=1:ContainerStateWaiting running=2:ContainerStateRunning
  terminated=3:ContainerStateTerminated
ContainerStateRunning startedAt=1:Time
ContainerStateTerminated exitCode=1:i32 signal=2:i32? reason=3:s? message=4:s? startedAt=5:Time
  finishedAt=6:Time containerID=7:s?
ContainerStateWaiting reason=1:s? message=2:s?
ContainerStatus name=1:s state=2:ContainerState lastState=3:ContainerState ready=4:b restartCount=5:i32
  image=6:s imageID=7:s containerID=8:s? started=9:b allocatedResources=10:{Quantity}
  resources=11:ResourceRequirements volumeMounts=12:[]VolumeMountStatus user=13:ContainerUser
  allocatedResourcesStatus=14:[]ResourceStatus stopSignal=15:s
ContainerUser linux=1:LinuxContainerUser
DaemonEndpoint Port=1:i32
DownwardAPIProjection items=1:[]DownwardAPIVolumeFile
DownwardAPIVolumeFile path=1:s fieldRef=2:ObjectFieldSelector resourceFieldRef=3:ResourceFieldSelector
  mode=4:i32
DownwardAPIVolumeSource items=1:[]DownwardAPIVolumeFile defaultMode=2:i32
EmptyDirVolumeSource medium=1:s? sizeLimit=2:Quantity
EnvFromSource prefix=1:s? configMapRef=2:ConfigMapEnvSource secretRef=3:SecretEnvSource
EnvVar name=1:s value=2:s? valueFrom=3:EnvVarSource
EnvVarSource fieldRef=1:ObjectFieldSelector resourceFieldRef=2:ResourceFieldSelector
  configMapKeyRef=3:ConfigMapKeySelector secretKeyRef=4:SecretKeySelector fileKeyRef=5:FileKeySelector
EphemeralContainer ^ephemeralContainerCommon=1:Container targetContainerName=2:s?
EphemeralVolumeSource volumeClaimTemplate=1:PersistentVolumeClaimTemplate
Event metadata=1:ObjectMeta involvedObject=2:ObjectReference reason=3:s? message=4:s? source=5:EventSource
  firstTimestamp=6:Time lastTimestamp=7:Time count=8:i32? type=9:s? eventTime=10:MicroTime
  series=11:EventSeries action=12:s? related=13:ObjectReference reportingComponent=14:s
  reportingInstance=15:s
EventSeries count=1:i32? lastObservedTime=2:MicroTime
EventSource component=1:s? host=2:s?
ExecAction command=1:[]s
FCVolumeSource targetWWNs=1:[]s lun=2:i32 fsType=3:s? readOnly=4:b? wwids=5:[]s
FileKeySelector volumeName=1:s path=2:s key=3:s optional=4:b
FlexVolumeSource driver=1:s fsType=2:s? secretRef=3:LocalObjectReference readOnly=4:b? options=5:{s}
FlockerVolumeSource datasetName=1:s? datasetUUID=2:s?
GCEPersistentDiskVolumeSource pdName=1:s fsType=2:s? partition=3:i32? readOnly=4:b?
GRPCAction port=1:i32 service=2:s
GitRepoVolumeSource repository=1:s revision=2:s? directory=3:s?
GlusterfsVolumeSource endpoints=1:s path=2:s readOnly=3:b?
HTTPGetAction path=1:s? port=2:IntOrString host=3:s? scheme=4:s? httpHeaders=5:[]HTTPHeader
HTTPHeader name=1:s value=2:s
HostAlias ip=1:s hostnames=2:[]s
HostIP ip=1:s
HostPathVolumeSource path=1:s type=2:s
ISCSIVolumeSource targetPortal=1:s iqn=2:s lun=3:i32 iscsiInterface=4:s? fsType=5:s? readOnly=6:b?
  portals=7:[]s chapAuthDiscovery=8:b? chapAuthSession=11:b? secretRef=10:LocalObjectReference
  initiatorName=12:s
ImageVolumeSource reference=1:s? pullPolicy=2:s?
KeyToPath key=1:s path=2:s mode=3:i32
Lifecycle postStart=1:LifecycleHandler preStop=2:LifecycleHandler stopSignal=3:s
LifecycleHandler exec=1:ExecAction httpGet=2:HTTPGetAction tcpSocket=3:TCPSocketAction sleep=4:SleepAction
LinuxContainerUser uid=1:i64 gid=2:i64 supplementalGroups=3:[]i64
LocalObjectReference name=1:s?
NFSVolumeSource server=1:s path=2:s readOnly=3:b?
Namespace metadata=1:ObjectMeta spec=2:NamespaceSpec status=3:NamespaceStatus
NamespaceCondition type=1:s status=2:s lastTransitionTime=4:Time reason=5:s? message=6:s?
NamespaceSpec finalizers=1:[]s
NamespaceStatus phase=1:s? conditions=2:[]NamespaceCondition
Node metadata=1:ObjectMeta spec=2:NodeSpec status=3:NodeStatus
NodeAddress type=1:s address=2:s
NodeAffinity requiredDuringSchedulingIgnoredDuringExecution=1:NodeSelector
  preferredDuringSchedulingIgnoredDuringExecution=2:[]PreferredSchedulingTerm
NodeCondition type=1:s status=2:s lastHeartbeatTime=3:Time lastTransitionTime=4:Time reason=5:s? message=6:s?
NodeConfigSource configMap=2:ConfigMapNodeConfigSource
NodeConfigStatus assigned=1:NodeConfigSource active=2:NodeConfigSource lastKnownGood=3:NodeConfigSource
  error=4:s?
NodeDaemonEndpoints kubeletEndpoint=1:DaemonEndpoint
NodeFeatures supplementalGroupsPolicy=1:b containerUlimits=2:b
NodeRuntimeHandler name=1:s features=2:NodeRuntimeHandlerFeatures
NodeRuntimeHandlerFeatures recursiveReadOnlyMounts=1:b userNamespaces=2:b
NodeSelector nodeSelectorTerms=1:[]NodeSelectorTerm
NodeSelectorRequirement key=1:s operator=2:s values=3:[]s
NodeSelectorTerm matchExpressions=1:[]NodeSelectorRequirement matchFields=2:[]NodeSelectorRequirement
NodeSpec podCIDR=1:s? podCIDRs=7:[]s providerID=3:s? unschedulable=4:b? taints=5:[]Taint
  configSource=6:NodeConfigSource externalID=2:s?
NodeStatus capacity=1:{Quantity} allocatable=2:{Quantity} phase=3:s? conditions=4:[]NodeCondition
  addresses=5:[]NodeAddress daemonEndpoints=6:NodeDaemonEndpoints nodeInfo=7:NodeSystemInfo
  images=8:[]ContainerImage volumesInUse=9:[]s volumesAttached=10:[]AttachedVolume config=11:NodeConfigStatus
  runtimeHandlers=12:[]NodeRuntimeHandler features=13:NodeFeatures declaredFeatures=14:[]s
NodeSwapStatus capacity=1:i64
NodeSystemInfo machineID=1:s systemUUID=2:s bootID=3:s kernelVersion=4:s osImage=5:s
  containerRuntimeVersion=6:s kubeletVersion=7:s kubeProxyVersion=8:s operatingSystem=9:s architecture=10:s
  swap=11:NodeSwapStatus
ObjectFieldSelector apiVersion=1:s? fieldPath=2:s
ObjectReference kind=1:s? namespace=2:s? name=3:s? uid=4:s? apiVersion=5:s? resourceVersion=6:s?
  fieldPath=7:s?
PersistentVolumeClaimSpec accessModes=1:[]s selector=4:LabelSelector resources=2:VolumeResourceRequirements
  volumeName=3:s? storageClassName=5:s volumeMode=6:s dataSource=7:TypedLocalObjectReference
  dataSourceRef=8:TypedObjectReference volumeAttributesClassName=9:s
PersistentVolumeClaimTemplate metadata=1:ObjectMeta spec=2:PersistentVolumeClaimSpec
PersistentVolumeClaimVolumeSource claimName=1:s readOnly=2:b?
PhotonPersistentDiskVolumeSource pdID=1:s fsType=2:s?
Pod metadata=1:ObjectMeta spec=2:PodSpec status=3:PodStatus
PodAffinity requiredDuringSchedulingIgnoredDuringExecution=1:[]PodAffinityTerm
  preferredDuringSchedulingIgnoredDuringExecution=2:[]WeightedPodAffinityTerm
PodAffinityTerm labelSelector=1:LabelSelector namespaces=2:[]s topologyKey=3:s namespaceSelector=4:LabelSelector
  matchLabelKeys=5:[]s mismatchLabelKeys=6:[]s
PodAntiAffinity requiredDuringSchedulingIgnoredDuringExecution=1:[]PodAffinityTerm
  preferredDuringSchedulingIgnoredDuringExecution=2:[]WeightedPodAffinityTerm
PodCertificateProjection signerName=1:s keyType=2:s maxExpirationSeconds=3:i32 credentialBundlePath=4:s?
  keyPath=5:s? certificateChainPath=6:s? userAnnotations=7:{s}
PodCondition type=1:s observedGeneration=7:i64? status=2:s lastProbeTime=3:Time lastTransitionTime=4:Time
  reason=5:s? message=6:s?
PodDNSConfig nameservers=1:[]s searches=2:[]s options=3:[]PodDNSConfigOption
PodDNSConfigOption name=1:s? value=2:s
PodExtendedResourceClaimStatus requestMappings=1:[]ContainerExtendedResourceRequest resourceClaimName=2:s
PodIP ip=1:s
PodOS name=1:s
PodReadinessGate conditionType=1:s
PodResourceClaim name=1:s resourceClaimName=3:s resourceClaimTemplateName=4:s
PodResourceClaimStatus name=1:s resourceClaimName=2:s
PodSchedulingGate name=1:s
PodSecurityContext seLinuxOptions=1:SELinuxOptions windowsOptions=8:WindowsSecurityContextOptions
  runAsUser=2:i64 runAsGroup=6:i64 runAsNonRoot=3:b supplementalGroups=4:[]i64 supplementalGroupsPolicy=12:s
  fsGroup=5:i64 sysctls=7:[]Sysctl fsGroupChangePolicy=9:s seccompProfile=10:SeccompProfile
  appArmorProfile=11:AppArmorProfile seLinuxChangePolicy=13:s
PodSpec volumes=1:[]Volume initContainers=20:[]Container containers=2:[]Container
  ephemeralContainers=34:[]EphemeralContainer restartPolicy=3:s? terminationGracePeriodSeconds=4:i64
  activeDeadlineSeconds=5:i64 dnsPolicy=6:s? nodeSelector=7:{s} serviceAccountName=8:s? serviceAccount=9:s?
  automountServiceAccountToken=21:b nodeName=10:s? hostNetwork=11:b? hostPID=12:b? hostIPC=13:b?
  shareProcessNamespace=27:b securityContext=14:PodSecurityContext imagePullSecrets=15:[]LocalObjectReference
  hostname=16:s? subdomain=17:s? affinity=18:Affinity schedulerName=19:s? tolerations=22:[]Toleration
  hostAliases=23:[]HostAlias priorityClassName=24:s? priority=25:i32 dnsConfig=26:PodDNSConfig
  readinessGates=28:[]PodReadinessGate runtimeClassName=29:s enableServiceLinks=30:b preemptionPolicy=31:s
  overhead=32:{Quantity} topologySpreadConstraints=33:[]TopologySpreadConstraint setHostnameAsFQDN=35:b
  os=36:PodOS hostUsers=37:b schedulingGates=38:[]PodSchedulingGate resourceClaims=39:[]PodResourceClaim
  resources=40:ResourceRequirements hostnameOverride=41:s workloadRef=42:WorkloadReference
PodStatus observedGeneration=17:i64? phase=1:s? conditions=2:[]PodCondition message=3:s? reason=4:s?
  nominatedNodeName=11:s? hostIP=5:s? hostIPs=16:[]HostIP podIP=6:s? podIPs=12:[]PodIP startTime=7:Time
  initContainerStatuses=10:[]ContainerStatus containerStatuses=8:[]ContainerStatus qosClass=9:s?
  ephemeralContainerStatuses=13:[]ContainerStatus resize=14:s? resourceClaimStatuses=15:[]PodResourceClaimStatus
  extendedResourceClaimStatus=18:PodExtendedResourceClaimStatus allocatedResources=19:{Quantity}
  resources=20:ResourceRequirements
PortworxVolumeSource volumeID=1:s fsType=2:s? readOnly=3:b?
PreferredSchedulingTerm weight=1:i32 preference=2:NodeSelectorTerm
Probe ^handler=1:ProbeHandler initialDelaySeconds=2:i32? timeoutSeconds=3:i32? periodSeconds=4:i32?
  successThreshold=5:i32? failureThreshold=6:i32? terminationGracePeriodSeconds=7:i64
ProbeHandler exec=1:ExecAction httpGet=2:HTTPGetAction tcpSocket=3:TCPSocketAction grpc=4:GRPCAction
ProjectedVolumeSource sources=1:[]VolumeProjection defaultMode=2:i32
QuobyteVolumeSource registry=1:s volume=2:s readOnly=3:b? user=4:s? group=5:s? tenant=6:s?
RBDVolumeSource monitors=1:[]s image=2:s fsType=3:s? pool=4:s? user=5:s? keyring=6:s?
  secretRef=7:LocalObjectReference readOnly=8:b?
ResourceClaim name=1:s request=2:s?
ResourceFieldSelector containerName=1:s? resource=2:s divisor=3:Quantity
ResourceHealth resourceID=1:s health=2:s? message=6:s
ResourceRequirements limits=1:{Quantity} requests=2:{Quantity} claims=3:[]ResourceClaim
ResourceStatus name=1:s resources=2:[]ResourceHealth
SELinuxOptions user=1:s? role=2:s? type=3:s? level=4:s?
ScaleIOVolumeSource gateway=1:s system=2:s secretRef=3:LocalObjectReference sslEnabled=4:b?
  protectionDomain=5:s? storagePool=6:s? storageMode=7:s? volumeName=8:s? fsType=9:s? readOnly=10:b?
SeccompProfile type=1:s localhostProfile=2:s
Secret metadata=1:ObjectMeta immutable=5:b data=2:{y} stringData=4:{s} type=3:s?
SecretEnvSource ^localObjectReference=1:LocalObjectReference optional=2:b
SecretKeySelector ^localObjectReference=1:LocalObjectReference key=2:s optional=3:b
SecretProjection ^localObjectReference=1:LocalObjectReference items=2:[]KeyToPath optional=4:b
SecretVolumeSource secretName=1:s? items=2:[]KeyToPath defaultMode=3:i32 optional=4:b
SecurityContext capabilities=1:Capabilities privileged=2:b seLinuxOptions=3:SELinuxOptions
  windowsOptions=10:WindowsSecurityContextOptions runAsUser=4:i64 runAsGroup=8:i64 runAsNonRoot=5:b
  readOnlyRootFilesystem=6:b allowPrivilegeEscalation=7:b procMount=9:s seccompProfile=11:SeccompProfile
  appArmorProfile=12:AppArmorProfile ulimits=13:[]Ulimit
ServiceAccount metadata=1:ObjectMeta secrets=2:[]ObjectReference imagePullSecrets=3:[]LocalObjectReference
  automountServiceAccountToken=4:b
ServiceAccountTokenProjection audience=1:s? expirationSeconds=2:i64 path=3:s
SleepAction seconds=1:i64
StorageOSVolumeSource volumeName=1:s? volumeNamespace=2:s? fsType=3:s? readOnly=4:b?
  secretRef=5:LocalObjectReference
Sysctl name=1:s value=2:s
TCPSocketAction port=1:IntOrString host=2:s?
Taint key=1:s value=2:s? effect=3:s timeAdded=4:Time
Toleration key=1:s? operator=2:s? value=3:s? effect=4:s? tolerationSeconds=5:i64
TopologySpreadConstraint maxSkew=1:i32 topologyKey=2:s whenUnsatisfiable=3:s labelSelector=4:LabelSelector
  minDomains=5:i32 nodeAffinityPolicy=6:s nodeTaintsPolicy=7:s matchLabelKeys=8:[]s
TypedLocalObjectReference apiGroup=1:s kind=2:s name=3:s
TypedObjectReference apiGroup=1:s kind=2:s name=3:s namespace=4:s
Ulimit name=1:s hard=2:i64 soft=3:i64
Volume name=1:s ^volumeSource=2:VolumeSource
VolumeDevice name=1:s devicePath=2:s
VolumeMount name=1:s readOnly=2:b? recursiveReadOnly=7:s mountPath=3:s subPath=4:s? mountPropagation=5:s
  subPathExpr=6:s?
VolumeMountStatus name=1:s mountPath=2:s readOnly=3:b? recursiveReadOnly=4:s ^volumeStatus=5:VolumeStatus
VolumeProjection secret=1:SecretProjection downwardAPI=2:DownwardAPIProjection configMap=3:ConfigMapProjection
  serviceAccountToken=4:ServiceAccountTokenProjection clusterTrustBundle=5:ClusterTrustBundleProjection
  podCertificate=6:PodCertificateProjection
VolumeResourceRequirements limits=1:{Quantity} requests=2:{Quantity}
VolumeSource hostPath=1:HostPathVolumeSource emptyDir=2:EmptyDirVolumeSource
  gcePersistentDisk=3:GCEPersistentDiskVolumeSource awsElasticBlockStore=4:AWSElasticBlockStoreVolumeSource
  gitRepo=5:GitRepoVolumeSource secret=6:SecretVolumeSource nfs=7:NFSVolumeSource iscsi=8:ISCSIVolumeSource
  glusterfs=9:GlusterfsVolumeSource persistentVolumeClaim=10:PersistentVolumeClaimVolumeSource
  rbd=11:RBDVolumeSource flexVolume=12:FlexVolumeSource cinder=13:CinderVolumeSource
  cephfs=14:CephFSVolumeSource flocker=15:FlockerVolumeSource downwardAPI=16:DownwardAPIVolumeSource
  fc=17:FCVolumeSource azureFile=18:AzureFileVolumeSource configMap=19:ConfigMapVolumeSource
  vsphereVolume=20:VsphereVirtualDiskVolumeSource quobyte=21:QuobyteVolumeSource
  azureDisk=22:AzureDiskVolumeSource photonPersistentDisk=23:PhotonPersistentDiskVolumeSource
  projected=26:ProjectedVolumeSource portworxVolume=24:PortworxVolumeSource scaleIO=25:ScaleIOVolumeSource
  storageos=27:StorageOSVolumeSource csi=28:CSIVolumeSource ephemeral=29:EphemeralVolumeSource
  image=30:ImageVolumeSource
VolumeStatus image=1:ImageVolumeStatus
ImageVolumeStatus imageRef=1:s
VsphereVirtualDiskVolumeSource volumePath=1:s fsType=2:s? storagePolicyName=3:s? storagePolicyID=4:s?
WeightedPodAffinityTerm weight=1:i32 podAffinityTerm=2:PodAffinityTerm
WindowsSecurityContextOptions gmsaCredentialSpecName=1:s gmsaCredentialSpec=2:s runAsUserName=3:s
  hostProcess=4:b
WorkloadReference name=1:s podGroup=2:s podGroupReplicaKey=3:s?
ObjectMeta name=1:s? generateName=2:s? namespace=3:s? selfLink=4:s? uid=5:s? resourceVersion=6:s?
  generation=7:i64? creationTimestamp=8:Time deletionTimestamp=9:Time deletionGracePeriodSeconds=10:i64
  labels=11:{s} annotations=12:{s} ownerReferences=13:[]OwnerReference finalizers=14:[]s
  managedFields=17:[]ManagedFieldsEntry
OwnerReference apiVersion=5:s kind=1:s name=3:s uid=4:s controller=6:b blockOwnerDeletion=7:b
ManagedFieldsEntry manager=1:s? operation=2:s? apiVersion=3:s? time=4:Time fieldsType=6:s?
  fieldsV1=7:FieldsV1 subresource=8:s?
LabelSelector matchLabels=1:{s} matchExpressions=2:[]LabelSelectorRequirement
LabelSelectorRequirement key=1:s operator=2:s values=3:[]s
DeleteOptions gracePeriodSeconds=1:i64 preconditions=2:Preconditions orphanDependents=3:b
  propagationPolicy=4:s dryRun=5:[]s ignoreStoreReadErrorWithClusterBreakingPotential=6:b
Preconditions uid=1:s resourceVersion=2:s
Lease metadata=1:ObjectMeta spec=2:LeaseSpec
LeaseSpec holderIdentity=1:s leaseDurationSeconds=2:i32 acquireTime=3:MicroTime renewTime=4:MicroTime
  leaseTransitions=5:i32 strategy=6:s preferredHolder=7:s
events.Event metadata=1:ObjectMeta eventTime=2:MicroTime series=3:events.EventSeries reportingController=4:s?
  reportingInstance=5:s? action=6:s? reason=7:s? regarding=8:ObjectReference related=9:ObjectReference
  note=10:s? type=11:s? deprecatedSource=12:EventSource deprecatedFirstTimestamp=13:Time
  deprecatedLastTimestamp=14:Time deprecatedCount=15:i32?
events.EventSeries count=1:i32 lastObservedTime=2:MicroTime
"""

# The objects a body may carry: (apiVersion, kind) -> message.
KINDS = {
    ("v1", "Namespace"): "Namespace", ("v1", "Node"): "Node", ("v1", "Pod"): "Pod",
    ("v1", "Secret"): "Secret", ("v1", "ConfigMap"): "ConfigMap", ("v1", "Event"): "Event",
    ("v1", "ServiceAccount"): "ServiceAccount", ("v1", "Binding"): "Binding",
    ("coordination.k8s.io/v1", "Lease"): "Lease",
    ("events.k8s.io/v1", "Event"): "events.Event",
}
# DeleteOptions travel with the version of the resource they delete.
OPTIONS = {"DeleteOptions"}


class _Field:
    __slots__ = ("name", "type", "repeated", "map", "omit_zero", "inline")

    def __init__(self, spec):
        name, _, typ = spec.partition(":")
        self.inline = name.startswith("^")
        self.name = name.lstrip("^")
        self.omit_zero = typ.endswith("?")
        typ = typ.rstrip("?")
        self.repeated = typ.startswith("[]")
        self.map = typ.startswith("{")
        self.type = typ.strip("[]{}")


def _parse_schema(text):
    messages = {}
    current = None
    for line in text.splitlines():
        if not line.strip():
            continue
        words = line.split()
        if not line[0].isspace():
            current = messages.setdefault(words.pop(0), {})
        for word in words:
            name, _, rest = word.partition("=")
            number, _, typ = rest.partition(":")
            current[int(number)] = _Field(name + ":" + typ)
    return messages


MESSAGES = _parse_schema(SCHEMA)
SCALARS = {"s", "b", "i32", "i64", "y"}
SPECIAL = {"Time", "MicroTime", "Quantity", "IntOrString", "FieldsV1"}


def _check_schema():
    for mname, fields in MESSAGES.items():
        for num, f in fields.items():
            known = f.type in SCALARS or f.type in SPECIAL or f.type in MESSAGES
            if not known or (f.inline and f.type not in MESSAGES):
                raise AssertionError("%s.%s (%d): unknown type %s" % (mname, f.name, num, f.type))


_check_schema()


# --------------------------------------------------------------------------
# Wire format
# --------------------------------------------------------------------------

def _varint(data, i):
    n = shift = 0
    while True:
        if i >= len(data):
            raise DecodeError("truncated varint")
        b = data[i]
        i += 1
        n |= (b & 0x7F) << shift
        if not b & 0x80:
            return n, i
        shift += 7
        if shift >= 70:
            raise DecodeError("varint longer than 10 bytes")


def fields(data):
    """The (number, wire type, value) triples of one message: varints as
    ints, length-delimited values as bytes, fixed-width values as bytes."""
    out, i = [], 0
    while i < len(data):
        key, i = _varint(data, i)
        num, wire = key >> 3, key & 7
        if num == 0:
            raise DecodeError("field number 0")
        if wire == 0:
            value, i = _varint(data, i)
        elif wire == 2:
            n, i = _varint(data, i)
            if i + n > len(data):
                raise DecodeError("field %d runs past the end of its message" % num)
            value, i = data[i:i + n], i + n
        elif wire in (1, 5):
            n = 8 if wire == 1 else 4
            if i + n > len(data):
                raise DecodeError("field %d runs past the end of its message" % num)
            value, i = data[i:i + n], i + n
        else:
            raise DecodeError("field %d has wire type %d (groups are not used by this API)" % (num, wire))
        out.append((num, wire, value))
    return out


def _signed(n, bits):
    n &= (1 << 64) - 1
    if n >= 1 << 63:
        n -= 1 << 64
    if not -(1 << (bits - 1)) <= n < 1 << (bits - 1):
        raise DecodeError("value %d does not fit int%d" % (n, bits))
    return n


def _text(raw, where):
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise DecodeError("%s is not valid UTF-8" % where)


# --------------------------------------------------------------------------
# Messages
# --------------------------------------------------------------------------

def _time(raw, micro, where):
    seconds = nanos = 0
    for num, wire, value in fields(raw):
        if num == 1 and wire == 0:
            seconds = _signed(value, 64)
        elif num == 2 and wire == 0:
            nanos = _signed(value, 32)
        else:
            raise UnknownField("%s: field %d of a timestamp" % (where, num))
    if seconds == 0 and nanos == 0:
        return None
    if not 0 <= nanos < 1000000000:
        raise DecodeError("%s: nanoseconds out of range" % where)
    try:
        t = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=seconds)
    except OverflowError:
        raise DecodeError("%s: timestamp out of range" % where)
    if micro:
        return t.strftime("%Y-%m-%dT%H:%M:%S") + ".%06dZ" % (nanos // 1000)
    return t.strftime("%Y-%m-%dT%H:%M:%SZ")


def _special(typ, raw, where):
    if typ in ("Time", "MicroTime"):
        return _time(raw, typ == "MicroTime", where)
    parts = {}
    for num, wire, value in fields(raw):
        parts[num] = (wire, value)
    if typ == "Quantity":
        if set(parts) - {1} or parts.get(1, (2,))[0] != 2:
            raise UnknownField("%s: unexpected field in a quantity" % where)
        return _text(parts[1][1], where) if 1 in parts else "0"
    if typ == "IntOrString":
        if set(parts) - {1, 2, 3}:
            raise UnknownField("%s: unexpected field in an int-or-string" % where)
        kind = parts.get(1, (0, 0))[1]
        if kind == 1:
            return _text(parts.get(3, (2, b""))[1], where)
        if kind != 0:
            raise DecodeError("%s: int-or-string of type %d" % (where, kind))
        return _signed(parts.get(2, (0, 0))[1], 32)
    # FieldsV1: raw JSON in field 1.
    if set(parts) - {1}:
        raise UnknownField("%s: unexpected field in fieldsV1" % where)
    try:
        return json.loads(parts.get(1, (2, b"{}"))[1] or b"{}")
    except ValueError:
        raise DecodeError("%s: fieldsV1 is not JSON" % where)


def _scalar(f, wire, value, where):
    if f.type in ("s", "y"):
        if wire != 2:
            raise DecodeError("%s: wire type %d for a string" % (where, wire))
        return _text(value, where) if f.type == "s" else base64.b64encode(value).decode()
    if wire != 0:
        raise DecodeError("%s: wire type %d for a number" % (where, wire))
    if f.type == "b":
        return value != 0
    return _signed(value, 32 if f.type == "i32" else 64)


def _value(f, wire, value, where):
    if f.type in SCALARS:
        return _scalar(f, wire, value, where)
    if wire != 2:
        raise DecodeError("%s: wire type %d for a message" % (where, wire))
    if f.type in SPECIAL:
        return _special(f.type, value, where)
    return decode_message(f.type, value, where)


def _map_entry(f, raw, where):
    key, value = "", None
    for num, wire, v in fields(raw):
        if num == 1 and wire == 2:
            key = _text(v, where + " key")
        elif num == 2:
            value = _value(f, wire, v, "%s[%s]" % (where, key))
        else:
            raise UnknownField("%s: field %d of a map entry" % (where, num))
    if value is None:
        value = "" if f.type in ("s", "y") else _value(f, 2, b"", where)
    return key, value


def _is_zero(v):
    return isinstance(v, (str, int)) and not v      # "", 0 and False (bool is an int)


def decode_message(name, data, where=None):
    """One message of the table as a JSON-ready dict."""
    schema = MESSAGES[name]
    where = where or name
    out = {}
    pending = {}      # number -> message bytes, merged as protobuf merges repeated occurrences
    for num, wire, value in fields(data):
        f = schema.get(num)
        if f is None:
            raise UnknownField("%s: field %d is not known to this server" % (where, num))
        path = "%s.%s" % (where, f.name)
        if f.map:
            if wire != 2:
                raise DecodeError("%s: wire type %d for a map entry" % (path, wire))
            k, v = _map_entry(f, value, path)
            out.setdefault(f.name, {})[k] = v
        elif f.repeated:
            items = out.setdefault(f.name, [])
            if wire == 2 and f.type in ("b", "i32", "i64"):      # packed numbers
                i = 0
                while i < len(value):
                    n, i = _varint(value, i)
                    items.append(_scalar(f, 0, n, path))
            else:
                items.append(_value(f, wire, value, "%s[%d]" % (path, len(items))))
        elif f.type in MESSAGES and not f.inline:
            if wire != 2:
                raise DecodeError("%s: wire type %d for a message" % (path, wire))
            pending[num] = pending.get(num, b"") + value
        elif f.inline:
            if wire != 2:
                raise DecodeError("%s: wire type %d for a message" % (path, wire))
            out.update(decode_message(f.type, value, where))
        else:
            out[f.name] = _value(f, wire, value, path)
    for num, raw in pending.items():
        f = schema[num]
        out[f.name] = decode_message(f.type, raw, "%s.%s" % (where, f.name))
    for num, f in schema.items():
        if f.omit_zero and f.name in out and _is_zero(out[f.name]):
            del out[f.name]
    return out


def unwrap(body):
    """The envelope: (apiVersion, kind, raw object bytes)."""
    if not body.startswith(MAGIC):
        raise DecodeError("missing the protobuf envelope prefix")
    api_version = kind = ""
    raw = b""
    for num, wire, value in fields(body[len(MAGIC):]):
        if num == 1 and wire == 2:
            for n, w, v in fields(value):
                if n == 1 and w == 2:
                    api_version = _text(v, "typeMeta.apiVersion")
                elif n == 2 and w == 2:
                    kind = _text(v, "typeMeta.kind")
                else:
                    raise UnknownField("typeMeta: field %d is not known to this server" % n)
        elif num == 2 and wire == 2:
            raw = value
        elif num in (3, 4) and wire == 2:
            if value:
                what = "content encoding" if num == 3 else "content type"
                raise UnknownField("the envelope's %s %r is not supported" % (what, _text(value, what)))
        else:
            raise UnknownField("envelope: field %d is not known to this server" % num)
    return api_version, kind, raw


def decode(body):
    """A whole request body: the object as JSON, with apiVersion and kind."""
    api_version, kind, raw = unwrap(body)
    name = "DeleteOptions" if kind in OPTIONS else KINDS.get((api_version, kind))
    if name is None:
        raise UnknownField("objects of kind %s/%s are not read from protobuf" % (api_version or "?", kind or "?"))
    obj = {"apiVersion": api_version, "kind": kind}
    obj.update(decode_message(name, raw, kind))
    return obj
