/* ozcMgr.h - the image manager library libozcMgr: pulls images from OCI and
 * Docker registries (Amazon ECR included) into local OCI image layouts with
 * verified digests. Umbrella header of the library's public interfaces.
 */
#ifndef OZC_MGR_H
#define OZC_MGR_H

#include "ozcMgrUtil.h"
#include "ozcMgrHttpLib.h"
#include "ozcMgrCurlLib.h"
#include "ozcMgrLib.h"
#include "ozcMgrCred.h"
#include "ozcMgrAwsEcrLib.h"

#endif /* OZC_MGR_H */
