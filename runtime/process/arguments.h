// The split of one argument string into the arguments of a program.
#pragma once

namespace sr {

// Room in an argument vector: the program name, the arguments and the null entry.
inline constexpr int kMaxArguments = 510;
inline constexpr int kArgumentSlots = kMaxArguments + 2;

// Cuts `text` in place and points `arguments` at the pieces; pieces past `capacity` are
// dropped. Allocates nothing, so it may run where allocation is not safe. Returns the count.
int split_arguments_in_place(char* text, char** arguments, int capacity);

}  // namespace sr
