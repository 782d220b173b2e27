#!/usr/bin/env bash
# Packs a staged release folder into its archive so that the same files give
# the same bytes on any machine, whatever its umask, clock or time zone.
#
#   package.sh <staging folder> <name of the folder inside it> <epoch> <zip>
#
# Entries in name order, every time stamp the commit's (epoch), no owners or
# extra fields, and fixed modes: the umask of the build decides the modes of
# what it writes and zip stores them, so they are set here from what a file
# is, never kept: 0755 for folders, programs and scripts, 0644 for the rest.
set -euo pipefail

stage=$1
name=$2
epoch=$3
zip_path=$(realpath -m "$4")

[[ $epoch =~ ^[0-9]+$ ]] || {
  echo "package.sh: the time stamp must be seconds since 1970, not '$epoch'" >&2
  exit 2
}

is_program() {
  case $1 in
    *.exe | *.dll | *.node | */linux-x64/*) return 0 ;;
  esac
  [[ $(head -c 2 "$1") == '#!' ]]
}

find "$stage/$name" -type d -exec chmod 0755 {} +
while IFS= read -r -d '' file; do
  if is_program "$file"; then chmod 0755 "$file"; else chmod 0644 "$file"; fi
done < <(find "$stage/$name" -type f -print0)
find "$stage/$name" -exec touch -h -d "@$epoch" {} +

rm -f "$zip_path"
(cd "$stage" && find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "$zip_path")
