#!/bin/sh
# readme-shows.sh README FILE: the first cpp block of README's embedding section is FILE.
awk '/^## Embedding/ { section = 1 } section && /^```cpp$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$1" |
  diff -u - "$2"
