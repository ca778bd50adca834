/* ozcMgrCred.h - credential prompt of the image manager. */
#ifndef OZC_MGR_CRED_H
#define OZC_MGR_CRED_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Prints the prompt, reads one line from standard input with the console
 * echo off, strips one trailing newline. 0 when a line was read, else -1. */
int ozcMgrCredGetFromStdin(char *buf, size_t size, const char *prompt);

#ifdef __cplusplus
}
#endif

#endif /* OZC_MGR_CRED_H */
