// Secrets for pages, from libsodium: random tokens, SHA-256 and HMAC, password hashes,
// comparison in constant time and Base64. The library is started on the first use only, so a
// program that uses none of them pays nothing at start; a failure to start it, or to get the
// memory a password hash needs, ends the run with a run-time error.
#pragma once

#include "compiler/stub/text.h"

namespace sr::zr {

// `count` random bytes from the kernel, as URL-safe Base64 without padding / as hex.
Text random_token(size_t count);
Text random_hex(size_t count);
Text sha256_hex(Bytes message);
Text hmac_sha256_hex(Bytes key, Bytes message);
// Argon2id with a fresh salt and the library's interactive limits, in the library's string
// form ("$argon2id$v=19$m=...").
Text password_hash(Bytes password);
// Whether `hash` is password_hash's form of `password`; false for any other text.
bool password_verify(Bytes password, Bytes hash);
// Equal texts, compared in time that depends on their lengths only.
bool safe_equal(Bytes a, Bytes b);
Text base64_encode(Bytes bytes);
// The bytes of standard Base64 (padding required); false, with `out` empty, for any other text.
bool base64_decode(Bytes text, Text& out);

}  // namespace sr::zr
