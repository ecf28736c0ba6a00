# The digest that scripts/post.zr computes over its input: sum = (sum * 31 + byte) mod 1000000007,
# over every byte of the file (which holds no line feed).
BEGIN { for (i = 1; i < 256; i++) code[sprintf("%c", i)] = i }
{ for (i = 1; i <= length($0); i++) sum = (sum * 31 + code[substr($0, i, 1)]) % 1000000007 }
END { printf "%d\n", sum }
