// The few libsodium functions the stub calls, declared here because the musl build cannot see
// the system's headers. Where those headers are visible (the tests' build) they are included
// too, so that a declaration that differs from the library's fails to compile.
#pragma once

#include <stddef.h>

#if __has_include(<sodium.h>)
#include <sodium.h>
#endif

extern "C" {
int sodium_init(void);
void randombytes_buf(void* const buf, const size_t size);
int crypto_hash_sha256(unsigned char* out, const unsigned char* in, unsigned long long inlen);
size_t crypto_pwhash_opslimit_interactive(void);
size_t crypto_pwhash_memlimit_interactive(void);
int crypto_pwhash_str(char* out, const char* const passwd, unsigned long long passwdlen,
                      unsigned long long opslimit, size_t memlimit);
int crypto_pwhash_str_verify(const char* str, const char* const passwd,
                             unsigned long long passwdlen);
int sodium_memcmp(const void* const b1_, const void* const b2_, size_t len);
char* sodium_bin2base64(char* const b64, const size_t b64_maxlen, const unsigned char* const bin,
                        const size_t bin_len, const int variant);
int sodium_base642bin(unsigned char* const bin, const size_t bin_maxlen, const char* const b64,
                      const size_t b64_len, const char* const ignore, size_t* const bin_len,
                      const char** const b64_end, const int variant);
}

namespace sr::zr {

inline constexpr int kBase64Standard = 1;          // sodium_base64_VARIANT_ORIGINAL
inline constexpr int kBase64UrlNoPadding = 7;      // sodium_base64_VARIANT_URLSAFE_NO_PADDING
inline constexpr size_t kPasswordHashBytes = 128;  // crypto_pwhash_STRBYTES

}  // namespace sr::zr
