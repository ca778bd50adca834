/* kube.h - the Kubernetes API client: connection, records and operations. */
#ifndef KUBE_H
#define KUBE_H

#include "list.h"
#include "keyValuePair.h"
#include "object.h"
#include "apiClient.h"
#include "kubeModels.h"
#include "CoreV1API.h"
#include "CoordinationV1API.h"

#endif /* KUBE_H */
