// The instructions and the built-in functions of the program form, one row each. A row's
// position is its code in every executable written so far (cached executables are not rebuilt
// when the compiler changes), so rows are only ever added at the end of a list.
// Expanded wherever a list is needed: the enums (compiler/program_codes.h), the compiler's
// signatures (compiler/builtin_table.cc) and the stub's dispatch (compiler/stub/builtin_calls.h).
// C preprocessor only: the stub includes it without the C++ library.
#pragma once

// X(name, operands): operands is 1 for an instruction serialized with arg alone (which it may
// leave unused) and 3 for one serialized with arg, arg2 and arg3.
#define SR_ZR_OPCODES(X)                                                                      \
  X(push_int, 1)    /* arg: the value */                                                      \
  X(push_string, 1) /* arg: index into strings */                                             \
  X(load_int, 1)    /* arg: integer slot */                                                   \
  X(store_int, 1)                                                                             \
  X(load_string, 1) /* arg: string slot */                                                    \
  X(store_string, 1)                                                                          \
  X(add, 1)                                                                                   \
  X(sub, 1)                                                                                   \
  X(mul, 1)                                                                                   \
  X(div, 1)                                                                                   \
  X(mod, 1)                                                                                   \
  X(negate, 1)                                                                                \
  X(concat, 1)                                                                                \
  X(int_compare, 1)    /* arg: Compare */                                                     \
  X(string_compare, 1) /* arg: Compare */                                                     \
  X(logical_not, 1)                                                                           \
  X(jump, 1)          /* arg: target instruction */                                           \
  X(jump_if_false, 1) /* pops an integer; arg: target */                                      \
  X(jump_if_true, 1)                                                                          \
  /* arg: jump target; arg2: the loop variable's slot; arg3: the bound's slot, the step's     \
     follows. for_enter jumps past the loop when the start is already beyond the bound;       \
     for_next steps the variable and jumps back to the body while within the bound. */        \
  X(for_enter, 3)                                                                             \
  X(for_next, 3)                                                                              \
  X(write_int, 1)    /* arg: Channel */                                                       \
  X(write_string, 1) /* arg: Channel */                                                       \
  X(write_newline, 1)                                                                         \
  X(flush, 1)                                                                                 \
  X(call, 1) /* arg: Builtin */                                                               \
  X(end, 1)  /* pops the exit code */                                                         \
  /* Plain loads and stores reach the variables of the running procedure (or of the top level \
     outside any); these reach the top level's from inside a procedure that declared them     \
     Global. */                                                                               \
  X(load_global_int, 1)                                                                       \
  X(store_global_int, 1)                                                                      \
  X(load_global_string, 1)                                                                    \
  X(store_global_string, 1)                                                                   \
  X(for_enter_global, 3) /* as for_enter / for_next with a top-level loop variable in arg2 */ \
  X(for_next_global, 3)                                                                       \
  X(call_procedure, 1) /* arg: index into the procedure table; arguments on the stacks */     \
  X(return_procedure, 1)                                                                      \
  X(drop_int, 1) /* the value of a function called as a statement */                          \
  X(drop_string, 1)                                                                           \
  /* Arrays. arg: array slot; arg2: ArrayScope; arg3: ArrayFlags. */                          \
  X(array_dim, 3)      /* pops the highest index */                                           \
  X(array_load, 3)     /* pops the index, pushes the element */                               \
  X(array_store, 3)    /* pops the value, then the index */                                   \
  X(array_ubound, 3)   /* pushes the highest index, -1 while the array has no elements */     \
  X(array_push_ref, 3) /* pushes a reference for an array argument */                         \
  X(array_bind, 3)     /* pops a reference into an array slot of the running procedure */     \
  X(lock_take, 1)      /* pops the lock file's path; Lock */                                  \
  X(lock_release, 1)   /* arg: how many Lock blocks end here (EndLock, Break, Return) */      \
  /* Maps, in array slots with kArrayIsMap among the flags; as the array instructions. */     \
  X(map_load, 3)  /* pops the key, pushes the value, 0 or "" for a missing key */             \
  X(map_store, 3) /* pops the value, then the key */                                          \
  /* As load_string / load_global_string, but the text is moved onto the stack and the        \
     variable left empty: written only where the variable is stored again before anything     \
     else can read it, as in `s$ = s$ + ...`, so that a text built piece by piece is not      \
     copied whole for every piece. */                                                         \
  X(take_string, 1)                                                                           \
  X(take_global_string, 1)                                                                    \
  /* As call, with a text variable's text as the first argument, read where it lies instead   \
     of copied onto the stack (reads_first_text_in_place), so that a loop over a long text's  \
     characters does not copy the whole text on every pass. arg: Builtin; arg2: string slot;  \
     arg3: ArrayScope of that slot. */                                                        \
  X(call_on_string, 3)

// X(code, "name", result, parameters...): the name as written in lower case, "$" for a string
// result; I an integer, S a string, A a string array (`list$()`, an argument only), M a map of
// either kind, T a map of strings and N an integer array (`name{}`, `name${}`, arguments only). A
// name on two rows takes either argument list. The stub's function for a row is call_<code>
// (compiler/stub/builtin_calls.h); it takes the arguments off the stacks, the last first.
#define SR_ZR_BUILTINS(X)                       \
  X(env, "env$", S, S)                          \
  X(arg, "arg$", S, I)                          \
  X(arg_count, "argcount", I)                   \
  X(read_all, "readall$", S)                    \
  X(read_line, "readline$", S)                  \
  X(len, "len", I, S)                           \
  X(asc, "asc", I, S)                           \
  X(chr, "chr$", S, I)                          \
  X(str, "str$", S, I)                          \
  X(val, "val", I, S)                           \
  X(left, "left$", S, S, I)                     \
  X(right, "right$", S, S, I)                   \
  X(mid2, "mid$", S, S, I)                      \
  X(mid3, "mid$", S, S, I, I)                   \
  X(find2, "find", I, S, S)                     \
  X(find3, "find", I, S, S, I)                  \
  X(replace, "replace$", S, S, S, S)            \
  X(trim, "trim$", S, S)                        \
  X(upper, "upper$", S, S)                      \
  X(lower, "lower$", S, S)                      \
  X(field, "field$", S, S, I, S)                \
  X(url_decode, "urldecode$", S, S)             \
  X(html_escape, "htmlescape$", S, S)           \
  X(time, "time", I)                            \
  X(abs, "abs", I, I)                           \
  X(min, "min", I, I, I)                        \
  X(max, "max", I, I, I)                        \
  X(url_encode, "urlencode$", S, S)             \
  X(json_escape, "jsonescape$", S, S)           \
  X(form_value, "formvalue$", S, S, S)          \
  X(format_date, "formatdate$", S, S, I)        \
  X(random, "random", I, I)                     \
  X(read_file, "readfile$", S, S)               \
  X(write_file, "writefile", I, S, S)           \
  X(append_file, "appendfile", I, S, S)         \
  X(file_exists, "fileexists", I, S)            \
  X(file_size, "filesize", I, S)                \
  X(delete_file, "deletefile", I, S)            \
  X(split, "split", I, A, S, S)                 \
  X(join, "join$", S, A, S)                     \
  X(random_token, "randomtoken$", S, I)         \
  X(random_hex, "randomhex$", S, I)             \
  X(sha256, "sha256$", S, S)                    \
  X(hmac_sha256, "hmacsha256$", S, S, S)        \
  X(password_hash, "passwordhash$", S, S)       \
  X(password_verify, "passwordverify", I, S, S) \
  X(safe_equal, "safeequal", I, S, S)           \
  X(base64, "base64$", S, S)                    \
  X(unbase64, "unbase64$", S, S)                \
  X(cookie, "cookie$", S, S)                    \
  X(header, "header$", S, S)                    \
  X(method, "method$", S)                       \
  X(set_cookie, "setcookie", I, S, S, S)        \
  X(status, "status", I, I)                     \
  X(redirect, "redirect", I, S)                 \
  X(json_value, "jsonvalue$", S, S, S)          \
  X(json_type, "jsontype$", S, S, S)            \
  X(json_keys, "jsonkeys", I, A, S, S)          \
  X(json_error, "jsonerror$", S, S)             \
  X(make_folder, "makefolder", I, S)            \
  X(list_folder, "listfolder", I, A, S)         \
  X(keys, "keys", I, A, M)                      \
  X(has_key, "haskey", I, M, S)                 \
  X(remove_key, "removekey", I, M, S)           \
  X(key_count, "keycount", I, M)                \
  X(json_parse_map, "jsonparse", I, S, M)       \
  X(json_parse_list, "jsonparse", I, S, A)      \
  X(json_map, "json$", S, M)                    \
  X(json_list, "json$", S, A)                   \
  X(json_array, "jsonarray$", S, A)             \
  X(json_set, "jsonset", I, T, S, S)            \
  X(form_error, "formerror$", S, S)             \
  X(upload_count, "formfilecount", I, S, S)     \
  X(upload_name, "formfilename$", S, S, S, I)   \
  X(upload_type, "formfiletype$", S, S, S, I)   \
  X(upload_size, "formfilesize", I, S, S, I)    \
  X(upload, "formfile$", S, S, S, I)            \
  X(safe_file_name, "safefilename$", S, S)      \
  X(env_names, "envnames", I, A)                \
  X(json_parse_ints, "jsonparse", I, S, N)      \
  X(json_ints, "json$", S, N)
