/*
 * spec_fuzz.cpp - libFuzzer harness of the config.json loader: every
 * input is loaded as a bundle's config.json and, when it loads, every text
 * and array of the model is read to its end (the sanitizers catch a
 * pointer that leads nowhere), then the model is freed.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "ozcRuntimeSpec.h"

namespace {

std::string gPath;
std::atomic<size_t> gSink{0}; /* keeps the reads from being optimised away */

void touch(const char *s)
{
    if (s != nullptr)
        gSink += strlen(s);
}

void touchArray(char **a, int count)
{
    if (a == nullptr)
        return;
    for (int i = 0; i < count; i++)
        touch(a[i]);
    if (a[count] != nullptr) /* closed by NULL */
        abort();
}

void walk(const runtimeSpecConfig *c)
{
    touch(c->version);
    touch(c->hostName);
    if (c->process == nullptr || c->orrery == nullptr)
        abort(); /* always present after a load */
    touchArray(c->process->args, c->process->argCount);
    touchArray(c->process->env, c->process->envCount);
    touch(c->process->cwd);
    gSink += (size_t)c->orrery->priority + (size_t)c->orrery->stackSize;
    if (c->annotations != nullptr) {
        for (int i = 0; i < c->annotations->count; i++) {
            touch(c->annotations->k[i]);
            touch(c->annotations->v[i]);
        }
    }
    if (c->mounts != nullptr) {
        for (int i = 0; i < c->mounts->count; i++) {
            const runtimeSpecConfigMount *m = c->mounts->mount[i];
            if (m == nullptr)
                abort(); /* every entry up to count is readable */
            touch(m->src);
            touch(m->dst);
            touch(m->type);
            for (char **o = m->opt; o != nullptr && *o != nullptr; o++)
                touch(*o);
        }
    }
    for (const runtimeSpecConfigHook *h : c->hooks) {
        if (h == nullptr)
            continue;
        for (int i = 0; i < h->nodeCnt; i++) {
            const runtimeHookNode *n = h->hookNode[i];
            if (n == nullptr)
                continue;
            touch(n->rtpPath);
            touchArray(n->args, n->argsCnt);
            touchArray(n->env, n->envCnt);
        }
    }
    if (c->root != nullptr)
        touch(c->root->path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *parent = getenv("OZ_FUZZ_DIR");
    gPath = std::string(parent != nullptr ? parent : "/tmp") + "/oz-fuzz-spec-" + std::to_string(getpid()) + ".json";
    atexit([] { unlink(gPath.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(gPath.c_str(), "wb");
    if (f == nullptr)
        return 0;
    bool ok = size == 0 || fwrite(data, 1, size, f) == size;
    if (fclose(f) != 0 || !ok)
        return 0;
    runtimeSpecConfig *c = ozcInitializeRuntimeSpec(gPath.c_str());
    if (c != nullptr)
        walk(c);
    ozcDestroyRuntimeSpec(c);
    return 0;
}
