// kubeInt.h - what every unit of the Kubernetes API client shares inside
// the library: its one way to fail and the owners of what a unit holds
// (internal to the library).
#ifndef KUBE_INT_H
#define KUBE_INT_H

#include "ozOwners.h"

#include <cerrno>
#include <cstddef>

namespace kube {

// A failure: errno set to err (a system code), then null.
inline std::nullptr_t failNull(int err)
{
    errno = err;
    return nullptr;
}

} // namespace kube

#endif // KUBE_INT_H
