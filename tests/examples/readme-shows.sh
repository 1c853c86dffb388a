#!/bin/sh
# readme-shows.sh README: every cpp block of README is, exactly, the file that
# the line "<!-- file: PATH -->" right above it names (PATH from README's folder).
set -u
readme=$1 root=$(dirname "$1") work=$(mktemp -d) status=0
trap 'rm -rf "$work"' EXIT
awk -v work="$work" '
  /^<!-- file: [^ ]+ -->$/ { file = $3; next }
  /^```cpp$/ { n++; print n, (file ? file : "-"); out = work "/" n; printf "" >out; inside = 1; next }
  inside && /^```$/ { inside = 0; close(out); next }
  inside { print >out; next }
  { file = "" }' "$readme" >"$work/list"
[ -s "$work/list" ] || { echo "no cpp block in $readme"; exit 1; }
while read -r n file; do
  if [ "$file" = - ]; then
    echo "cpp block $n of $readme has no \"<!-- file: PATH -->\" line right above it"; status=1
  elif diff -u "$root/$file" "$work/$n"; then
    echo "ok: $file"
  else
    status=1
  fi
done <"$work/list"
exit $status
