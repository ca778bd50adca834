/*
 * ozcImageLib.h - OCI image layouts: validation, manifest selection, image
 * inspection, and generation of OCI bundles (root file system and
 * config.json). Runs in the caller's process.
 */
#ifndef OZC_IMAGE_LIB_H
#define OZC_IMAGE_LIB_H

#include <stdint.h>

#include <cjson/cJSON.h>

#include "ozPlatform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OZC_IMAGE_PATH_LEN   1024
#define OZC_UNPACK_FLATTEN   0x1 /* ozcImageUnpack option: flattened root */
#define OZC_RTP_LABEL_PREFIX "com.tidemark.orrery.rtp"

typedef enum { OCILAYOUTJSON = 0, INDEXJSON = 1, LAYERJSON = 2, MANIFESTJSON = 3, CONFIGJSON = 4 } JSON_FILE_TYPE;

typedef enum ozcRootfsType { RAW_ROOTFS = 0, FLATTENDED_ROOTFS = 1, LAYERED_ROOTFS = 2 } OZC_ROOTFS_TYPE;

typedef struct ozcBundleAttr {
    const char *platform; /* OS name, NULL: "orrery" */
    const char *arch;     /* architecture, NULL: "amd64" */
} OZC_BUNDLE_ATTR;

typedef struct ozcImageCfgRootfs {
    char type[257]; /* reserved */
    char **diffId;  /* hexadecimal part of each diff id */
    uint32_t diffIdCount;
    uint8_t chainId[32];
} OZC_IMAGE_CFG_ROOTFS;

typedef struct ozcImageConfig {
    cJSON *imageConfigJson; /* owned */
    cJSON *user;            /* reserved */
    cJSON *architecture;
    cJSON *os;
    OZC_IMAGE_CFG_ROOTFS imageCfgRootfs;
    cJSON *imageCfgHistory[10]; /* reserved */
} OZC_IMAGE_CONFIG;

typedef struct ozcImageManifestConfig {
    cJSON *mediaType;
    cJSON *digest;
    cJSON *size;
    char configFileName[OZC_IMAGE_PATH_LEN];
    OZC_IMAGE_CONFIG imageConfig;
} OZC_IMAGE_MANIFEST_CONFIG;

typedef struct ozcImageManifestLayer {
    cJSON *mediaType;
    cJSON *digest;
    cJSON *size;
    char layerFileName[OZC_IMAGE_PATH_LEN];
} OZC_IMAGE_MANIFEST_LAYER;

typedef struct ozcImageManifest {
    cJSON *mediaType;
    cJSON *digest;
    cJSON *size;
    cJSON *architecture;
    cJSON *os;
    cJSON *annotations;
    char manifestFileName[OZC_IMAGE_PATH_LEN];
    cJSON *manifestJson; /* owned */
    cJSON *schemaVersion;
    int manifestLayersCount;
    OZC_IMAGE_MANIFEST_CONFIG manifestConfig;
    OZC_IMAGE_MANIFEST_LAYER *manifestLayers; /* owned */
} OZC_IMAGE_MANIFEST;

typedef struct ozcImageIndex {
    char indexFileName[OZC_IMAGE_PATH_LEN];
    const char *ociPath;  /* borrowed */
    cJSON *rootIndexJson; /* owned */
    cJSON *schemaVersion;
    int manifestsCount;
    int manifestsIndex;            /* selected entry, -1 until selected */
    OZC_IMAGE_MANIFEST *manifests; /* owned */
} OCI_IMAGE;

STATUS ozcImageUnpack(const char *bundlePath, const char *ociPath, const char *tag, unsigned int option,
                      const OZC_BUNDLE_ATTR *pAttr);
int ozcImageRootfsTypeVerify(unsigned int rootfsArg);
STATUS ozcImageBundleDelete(const char *pBundlePath);
int ozcImageInspect(const char *ociPath, cJSON *array);
const char *ozcDefaultOs(void);
const char *ozcDefaultArchitecture(void);
const char *ozcDefaultTag(void);

#ifdef __cplusplus
}
#endif

#endif /* OZC_IMAGE_LIB_H */
