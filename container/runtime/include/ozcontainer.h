/*
 * ozcontainer.h - everything a user of libozcontainer needs: the runtime
 * API (containers through the runtime daemon, image operations in the
 * caller), the daemon's entry and protocol, error codes and utilities.
 */
#ifndef OZCONTAINER_H
#define OZCONTAINER_H

#include "ozPlatform.h"
#include "ozcImageLib.h"
#include "ozcRuntimeApi.h"
#include "ozcRuntimeCSLib.h"
#include "ozcRuntimeClient.h"
#include "ozcRuntimeService.h"
#include "ozcUtil.h"

#endif /* OZCONTAINER_H */
