// The built-in functions for secrets: random tokens, hashes, password hashes, comparison in
// constant time and Base64.
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/secrets.h"

namespace sr::zr {
namespace {

// Enough for any session key or token; more is a mistake in the page.
constexpr int64_t kMostRandomBytes = 1024;

size_t random_count(MachineState& m, const char* message) {
  const int64_t n = m.pop_int();
  if (n < 1 || n > kMostRandomBytes) fail_run(message);
  return static_cast<size_t>(n);
}

}  // namespace

void call_random_token(MachineState& m) {
  m.push_text(random_token(random_count(m, "RandomToken$ needs a count from 1 to 1024")));
}

void call_random_hex(MachineState& m) {
  m.push_text(random_hex(random_count(m, "RandomHex$ needs a count from 1 to 1024")));
}

void call_sha256(MachineState& m) {
  Text s = m.pop_text();
  m.push_text(sha256_hex(s.view()));
}

void call_hmac_sha256(MachineState& m) {
  Text message = m.pop_text(), key = m.pop_text();
  m.push_text(hmac_sha256_hex(key.view(), message.view()));
}

void call_password_hash(MachineState& m) {
  Text password = m.pop_text();
  m.push_text(password_hash(password.view()));
}

void call_password_verify(MachineState& m) {
  Text hash = m.pop_text(), password = m.pop_text();
  m.push_int(password_verify(password.view(), hash.view()) ? 1 : 0);
}

void call_safe_equal(MachineState& m) {
  Text b = m.pop_text(), a = m.pop_text();
  m.push_int(safe_equal(a.view(), b.view()) ? 1 : 0);
}

void call_base64(MachineState& m) {
  Text s = m.pop_text();
  m.push_text(base64_encode(s.view()));
}

void call_unbase64(MachineState& m) {
  Text s = m.pop_text(), bytes;
  if (!base64_decode(s.view(), bytes)) fail_run("UnBase64$ needs standard Base64 text");
  m.push_text(moved(bytes));
}

}  // namespace sr::zr
