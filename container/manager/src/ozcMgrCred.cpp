/* ozcMgrCred.cpp - credential prompt of the image manager: one line from
 * standard input with the console echo off. */
#include "ozcMgrCred.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "ozPlatform.h"

extern "C" int ozcMgrCredGetFromStdin(char *buf, size_t size, const char *prompt)
{
    if (buf == nullptr || size < 2 || size > static_cast<size_t>(INT32_MAX))
        return -1;
    if (prompt != nullptr)
        fputs(prompt, stdout);
    fflush(stdout);

    BOOL echoOn = FALSE;
    if (ozConsoleEchoGet(STDIN_FILENO, &echoOn) != OK)
        return -1;
    if (ozConsoleEchoSet(STDIN_FILENO, FALSE) != OK)
        return -1;
    bool got = fgets(buf, static_cast<int>(size), stdin) != nullptr;
    if (got) {
        size_t len = strlen(buf);
        if (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r'))
            buf[len - 1] = '\0';
    } else {
        buf[0] = '\0';
    }
    fputs("\n", stdout);
    fflush(stdout);
    ozConsoleEchoSet(STDIN_FILENO, echoOn);
    return got ? 0 : -1;
}
