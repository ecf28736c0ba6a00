#include "compiler/stub/value_map.h"

#include <string.h>
#include <sys/random.h>
#include <time.h>

#include "compiler/stub/allocation.h"
#include "compiler/stub/block_cache.h"
#include "compiler/stub/run_failure.h"

namespace sr::zr {

struct MapIndex {
  TextStorage* keys;   // the key of each value, `capacity` of them
  uint8_t* json;       // per value: set as JSON text
  size_t capacity;     // values the blocks have room for
  uint32_t* table;     // a value's position + 1, or 0 for a free place
  size_t table_size;   // a power of two, at least twice the capacity
  uint64_t secret[2];  // the hash's key
};

namespace {

uint64_t rotate(uint64_t x, int bits) {
  return (x << bits) | (x >> (64 - bits));
}

void sip_round(uint64_t v[4]) {
  v[0] += v[1], v[1] = rotate(v[1], 13), v[1] ^= v[0], v[0] = rotate(v[0], 32);
  v[2] += v[3], v[3] = rotate(v[3], 16), v[3] ^= v[2];
  v[0] += v[3], v[3] = rotate(v[3], 21), v[3] ^= v[0];
  v[2] += v[1], v[1] = rotate(v[1], 17), v[1] ^= v[2], v[2] = rotate(v[2], 32);
}

// SipHash-1-3 of `key` under `secret`.
uint64_t hash(const uint64_t secret[2], Bytes key) {
  uint64_t v[4] = {secret[0] ^ 0x736f6d6570736575ULL, secret[1] ^ 0x646f72616e646f6dULL,
                   secret[0] ^ 0x6c7967656e657261ULL, secret[1] ^ 0x7465646279746573ULL};
  size_t at = 0;
  for (; at + 8 <= key.size; at += 8) {
    uint64_t word;
    memcpy(&word, key.data + at, 8);
    v[3] ^= word, sip_round(v), v[0] ^= word;
  }
  uint64_t last = static_cast<uint64_t>(key.size) << 56;
  for (size_t i = 0; at + i < key.size; ++i) {
    last |= static_cast<uint64_t>(static_cast<unsigned char>(key[at + i])) << (8 * i);
  }
  v[3] ^= last, sip_round(v), v[0] ^= last;
  v[2] ^= 0xff;
  for (int i = 0; i < 3; ++i) sip_round(v);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

void draw_secret(uint64_t secret[2]) {
  if (getrandom(secret, 2 * sizeof(uint64_t), GRND_NONBLOCK) == 2 * sizeof(uint64_t)) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  secret[0] ^= static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ULL;
  secret[1] ^= reinterpret_cast<uintptr_t>(secret);
}

Bytes key_bytes(const TextStorage& key) {
  return key.data ? Bytes{key.data, key.size} : Bytes{};
}

// The table place where `key` is or would go.
size_t place_of(const MapIndex& index, Bytes key) {
  const size_t mask = index.table_size - 1;
  for (size_t at = hash(index.secret, key) & mask;; at = (at + 1) & mask) {
    const uint32_t entry = index.table[at];
    if (entry == 0 || compare_bytes(key_bytes(index.keys[entry - 1]), key) == 0) return at;
  }
}

void rebuild_table(MapIndex& index, size_t count) {
  memset(index.table, 0, index.table_size * sizeof(uint32_t));
  for (size_t i = 0; i < count; ++i) {
    index.table[place_of(index, key_bytes(index.keys[i]))] = static_cast<uint32_t>(i + 1);
  }
}

void* grown(void* block, size_t old_count, size_t count, size_t item_size) {
  void* bigger = resize_block(block, count, item_size);
  memset(static_cast<char*>(bigger) + old_count * item_size, 0, (count - old_count) * item_size);
  return bigger;
}

// Room for one more value.
void make_room(ValueArray& map) {
  if (map.index == nullptr) {
    map.index = static_cast<MapIndex*>(zeroed_block(1, sizeof(MapIndex)));
    draw_secret(map.index->secret);
  }
  MapIndex& index = *map.index;
  if (map.size < index.capacity) return;
  if (map.size >= kMapMostKeys) fail_run("Too many keys in a map");
  const size_t capacity = grown_capacity(index.capacity, map.size + 1);
  if (map.strings) {
    map.texts =
        static_cast<TextStorage*>(grown(map.texts, index.capacity, capacity, sizeof(TextStorage)));
  } else {
    map.ints = static_cast<int64_t*>(grown(map.ints, index.capacity, capacity, sizeof(int64_t)));
  }
  index.keys =
      static_cast<TextStorage*>(grown(index.keys, index.capacity, capacity, sizeof(TextStorage)));
  index.json = static_cast<uint8_t*>(grown(index.json, index.capacity, capacity, 1));
  index.capacity = capacity;
  free_block(index.table);
  index.table = nullptr;
  index.table_size = 2 * capacity;
  index.table = static_cast<uint32_t*>(zeroed_block(index.table_size, sizeof(uint32_t)));
  rebuild_table(index, map.size);
}

void release_value(ValueArray& map, size_t at) {
  if (map.strings) release_text_block(map.texts[at].data, map.texts[at].capacity);
}

}  // namespace

bool map_value_is_json(const ValueArray& map, size_t at) {
  return map.index != nullptr && at < map.size && map.index->json[at] != 0;
}

size_t map_find(const ValueArray& map, Bytes key) {
  if (map.index == nullptr || map.size == 0) return kNotFound;
  const uint32_t entry = map.index->table[place_of(*map.index, key)];
  return entry == 0 ? kNotFound : entry - 1;
}

size_t map_entry(ValueArray& map, Bytes key) {
  const size_t found = map_find(map, key);
  if (found != kNotFound) return found;
  make_room(map);
  const size_t at = map.size;
  map.index->keys[at] = Text(key).release();
  map.index->json[at] = 0;
  map.index->table[place_of(*map.index, key)] = static_cast<uint32_t>(at + 1);
  map.size = at + 1;  // the value is already 0 or "": grown blocks are zeroed, removed ones too
  return at;
}

Bytes map_key(const ValueArray& map, size_t at) {
  return key_bytes(map.index->keys[at]);
}

void set_map_int(ValueArray& map, Bytes key, int64_t value) {
  const size_t at = map_entry(map, key);  // first: it may move the values
  map.ints[at] = value;
}

void set_map_text(ValueArray& map, Bytes key, Text value, bool json) {
  const size_t at = map_entry(map, key);
  release_value(map, at);
  map.texts[at] = value.release();
  map.index->json[at] = json ? 1 : 0;
}

bool remove_map_key(ValueArray& map, Bytes key) {
  const size_t at = map_find(map, key);
  if (at == kNotFound) return false;
  MapIndex& index = *map.index;
  release_value(map, at);
  release_text_block(index.keys[at].data, index.keys[at].capacity);
  const size_t after = map.size - at - 1;
  if (map.strings) {
    memmove(map.texts + at, map.texts + at + 1, after * sizeof(TextStorage));
    map.texts[map.size - 1] = TextStorage{};
  } else {
    memmove(map.ints + at, map.ints + at + 1, after * sizeof(int64_t));
    map.ints[map.size - 1] = 0;
  }
  memmove(index.keys + at, index.keys + at + 1, after * sizeof(TextStorage));
  index.keys[map.size - 1] = TextStorage{};
  memmove(index.json + at, index.json + at + 1, after);
  index.json[map.size - 1] = 0;
  --map.size;
  rebuild_table(index, map.size);
  return true;
}

void clear_map(ValueArray& map) {
  if (map.index == nullptr) return;
  for (size_t i = 0; i < map.size; ++i) {
    release_value(map, i);
    release_text_block(map.index->keys[i].data, map.index->keys[i].capacity);
    if (map.strings)
      map.texts[i] = TextStorage{};
    else
      map.ints[i] = 0;
    map.index->keys[i] = TextStorage{};
    map.index->json[i] = 0;
  }
  map.size = 0;
  memset(map.index->table, 0, map.index->table_size * sizeof(uint32_t));
}

void free_map_index(ValueArray& map) {
  if (map.index == nullptr) return;
  for (size_t i = 0; i < map.size; ++i) {
    release_text_block(map.index->keys[i].data, map.index->keys[i].capacity);
  }
  free_block(map.index->keys);
  free_block(map.index->json);
  free_block(map.index->table);
  free_block(map.index);
  map.index = nullptr;
}

}  // namespace sr::zr
