/*
 * ozcDigest.h - content digests of the runtime library (private to its
 * units): the "sha256" and "sha512" algorithms of image digests through
 * OpenSSL (which uses the CPU's SHA instructions where it has them), and
 * the "alg:hex" digest texts of image layouts.
 */
#ifndef OZC_DIGEST_H
#define OZC_DIGEST_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <openssl/evp.h>

namespace ozc {

constexpr size_t kDigestMax = 64; /* bytes of the longest digest (SHA-512) */

struct DigestAlg {
    const char *name; /* as in digest texts */
    size_t bytes;
    const EVP_MD *(*md)(void);
};

inline const DigestAlg *digestAlgFind(const char *name, size_t len)
{
    static const DigestAlg kAlgs[] = {{"sha256", 32, EVP_sha256}, {"sha512", 64, EVP_sha512}};
    for (const DigestAlg &a : kAlgs)
        if (strlen(a.name) == len && strncmp(a.name, name, len) == 0)
            return &a;
    return nullptr;
}

/* A running digest; valid() is false when it could not be set up. */
class Digest {
public:
    explicit Digest(const DigestAlg *alg) : alg_(alg), ctx_(EVP_MD_CTX_new())
    {
        if (ctx_ != nullptr && (alg == nullptr || EVP_DigestInit_ex(ctx_, alg->md(), nullptr) != 1)) {
            EVP_MD_CTX_free(ctx_);
            ctx_ = nullptr;
        }
    }
    ~Digest() { EVP_MD_CTX_free(ctx_); }
    Digest(const Digest &) = delete;
    Digest &operator=(const Digest &) = delete;

    bool valid() const { return ctx_ != nullptr; }
    const DigestAlg *alg() const { return alg_; }
    void update(const void *data, size_t len)
    {
        if (ctx_ != nullptr && len > 0)
            EVP_DigestUpdate(ctx_, data, len);
    }
    /* Writes alg()->bytes bytes; false when the digest is not valid. */
    bool finish(uint8_t *out)
    {
        unsigned n = 0;
        return ctx_ != nullptr && EVP_DigestFinal_ex(ctx_, out, &n) == 1 && n == alg_->bytes;
    }

private:
    const DigestAlg *alg_;
    EVP_MD_CTX *ctx_;
};

inline int hexNibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Splits a digest text "alg:hex" whose hex part holds at least the
 * algorithm's length: the algorithm and the first alg->bytes bytes.
 * false for an unknown algorithm or a short or malformed hex part. */
inline bool digestTextParse(const char *text, const DigestAlg **alg, uint8_t *bytes)
{
    const char *colon = text != nullptr ? strchr(text, ':') : nullptr;
    if (colon == nullptr)
        return false;
    const DigestAlg *a = digestAlgFind(text, (size_t)(colon - text));
    if (a == nullptr)
        return false;
    const char *hex = colon + 1;
    if (strnlen(hex, a->bytes * 2) < a->bytes * 2)
        return false;
    for (size_t i = 0; i < a->bytes; i++) {
        int hi = hexNibble(hex[2 * i]), lo = hexNibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes[i] = (uint8_t)(hi << 4 | lo);
    }
    *alg = a;
    return true;
}

} // namespace ozc

#endif /* OZC_DIGEST_H */
