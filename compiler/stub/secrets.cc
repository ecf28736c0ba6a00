// Secrets for pages over libsodium; see secrets.h.
#include "compiler/stub/secrets.h"

#include <string.h>

#include "compiler/stub/run_failure.h"
#include "compiler/stub/sodium_api.h"

namespace sr::zr {
namespace {

constexpr size_t kSha256Bytes = 32;
constexpr size_t kHmacBlockBytes = 64;

// Started once per process, on the first call that needs the library.
void start_sodium() {
  static bool started = false;
  if (started) return;
  if (sodium_init() < 0) fail_run("Cannot start the cryptography library");
  started = true;
}

const unsigned char* unsigned_bytes(Bytes b) {
  return reinterpret_cast<const unsigned char*>(b.data);
}

Text hex_of(const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  Text hex;
  char* out = hex.extend(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 15];
  }
  return hex;
}

void sha256(Bytes message, unsigned char* digest) {
  crypto_hash_sha256(digest, unsigned_bytes(message), message.size);
}

Text random_bytes(size_t count) {
  start_sodium();
  Text bytes;
  if (count > 0) randombytes_buf(bytes.extend(count), count);
  return bytes;
}

Text base64_with(Bytes bytes, int variant) {
  Text text;
  if (bytes.empty()) return text;
  const size_t room = (bytes.size + 2) / 3 * 4 + 1;  // with padding and the closing zero
  char* out = text.extend(room);
  sodium_bin2base64(out, room, unsigned_bytes(bytes), bytes.size, variant);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

}  // namespace

Text random_token(size_t count) {
  Text bytes = random_bytes(count);
  return base64_with(bytes.view(), kBase64UrlNoPadding);
}

Text random_hex(size_t count) {
  Text bytes = random_bytes(count);
  return hex_of(unsigned_bytes(bytes.view()), bytes.size());
}

Text sha256_hex(Bytes message) {
  unsigned char digest[kSha256Bytes];
  sha256(message, digest);
  return hex_of(digest, sizeof digest);
}

// HMAC over SHA-256 as its definition composes it: the key padded to a block (or hashed first
// when longer), an inner hash of the message under one pad and an outer hash under the other.
Text hmac_sha256_hex(Bytes key, Bytes message) {
  unsigned char block[kHmacBlockBytes] = {};
  if (key.size > kHmacBlockBytes) {
    sha256(key, block);
  } else if (!key.empty()) {
    memcpy(block, key.data, key.size);
  }
  Text inner;
  char* pad = inner.extend(kHmacBlockBytes);
  for (size_t i = 0; i < kHmacBlockBytes; ++i) pad[i] = static_cast<char>(block[i] ^ 0x36);
  inner.append(message);
  unsigned char digest[kSha256Bytes];
  sha256(inner.view(), digest);
  char outer[kHmacBlockBytes + kSha256Bytes];
  for (size_t i = 0; i < kHmacBlockBytes; ++i) outer[i] = static_cast<char>(block[i] ^ 0x5c);
  memcpy(outer + kHmacBlockBytes, digest, kSha256Bytes);
  sha256(Bytes{outer, sizeof outer}, digest);
  return hex_of(digest, sizeof digest);
}

Text password_hash(Bytes password) {
  start_sodium();
  char hash[kPasswordHashBytes] = {};
  if (crypto_pwhash_str(hash, password.data, password.size, crypto_pwhash_opslimit_interactive(),
                        crypto_pwhash_memlimit_interactive()) != 0) {
    fail_run("Out of memory");
  }
  return Text(bytes_of(hash));
}

bool password_verify(Bytes password, Bytes hash) {
  // The library reads the hash as a C string within its fixed size.
  if (hash.size >= kPasswordHashBytes || memchr(hash.data, 0, hash.size)) return false;
  start_sodium();
  char text[kPasswordHashBytes] = {};
  memcpy(text, hash.data, hash.size);
  return crypto_pwhash_str_verify(text, password.data, password.size) == 0;
}

bool safe_equal(Bytes a, Bytes b) {
  return a.size == b.size && sodium_memcmp(a.data, b.data, a.size) == 0;
}

Text base64_encode(Bytes bytes) {
  return base64_with(bytes, kBase64Standard);
}

bool base64_decode(Bytes text, Text& out) {
  out.clear();
  if (text.empty()) return true;
  const size_t room = text.size / 4 * 3 + 3;
  size_t size = 0;
  char* bytes = out.extend(room);
  const int status = sodium_base642bin(reinterpret_cast<unsigned char*>(bytes), room, text.data,
                                       text.size, nullptr, &size, nullptr, kBase64Standard);
  out.clear();
  if (status != 0) return false;
  out.extend(size);  // the decoded bytes are already in place
  return true;
}

}  // namespace sr::zr
