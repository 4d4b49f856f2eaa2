#!/bin/bash
# Makes the seed volumes of the FAT reader's fuzzer with mkfs.fat and mtools:
#   make_corpus.sh <output folder>
# Small FAT12 volumes with long names, folders, deleted files and a deleted folder, and
# the first sectors of FAT16 and FAT32 volumes (the fuzzer only needs what they hold).
set -u
out=${1:?usage: make_corpus.sh <output folder>}
mkdir -p "$out"
mkfs=$(command -v mkfs.fat || command -v /usr/sbin/mkfs.fat || command -v /sbin/mkfs.fat || true)
if [ -z "$mkfs" ] || ! command -v mcopy >/dev/null; then
    echo "make_corpus.sh: mkfs.fat or mtools missing; the corpus stays empty" >&2
    touch "$out/.made"
    exit 0
fi
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
set -e

printf 'hello\n' > "$work/small"
head -c 3000 /dev/zero | tr '\0' 'a' > "$work/medium"
head -c 9000 /dev/zero | tr '\0' 'b' > "$work/large"

# FAT12, 1 sector per cluster: names, a folder tree, deleted entries.
img=$work/fat12_names.img
"$mkfs" -C -F 12 -s 1 -S 512 -f 1 -r 16 -n SEED --invariant "$img" 64 >/dev/null
mmd -i "$img" ::DIR ::DIR/INNER ::GONE
mcopy -i "$img" "$work/small" "::A long file name.txt"
mcopy -i "$img" "$work/medium" ::DIR/FILE.TXT
mcopy -i "$img" "$work/small" "::DIR/INNER/lower.txt"
mcopy -i "$img" "$work/large" "::deleted file.bin"
mcopy -i "$img" "$work/small" ::GONE/X.TXT
mdel -i "$img" "::deleted file.bin"
mdeltree -i "$img" ::GONE
cp "$img" "$out/fat12_names"

# FAT12, 2 sectors per cluster: a fragmented file around a live one.
img=$work/fat12_fragments.img
"$mkfs" -C -F 12 -s 2 -S 512 -f 2 -r 32 --invariant "$img" 48 >/dev/null
mcopy -i "$img" "$work/medium" ::HOLE
mcopy -i "$img" "$work/small" ::KEEP
mdel -i "$img" ::HOLE
mcopy -i "$img" "$work/large" ::FRAG
cp "$img" "$out/fat12_fragments"

# FAT16: a few files, cut after the first data clusters.
img=$work/fat16.img
"$mkfs" -C -F 16 -s 1 -S 512 -f 1 -r 16 --invariant "$img" 2100 >/dev/null
mmd -i "$img" ::SUB
mcopy -i "$img" "$work/medium" ::SUB/DATA.BIN
mcopy -i "$img" "$work/small" "::Second name.txt"
head -c $((64 * 1024)) "$img" > "$out/fat16_head"

# FAT32: the same, cut after the root and the first files.
img=$work/fat32.img
"$mkfs" -C -F 32 -s 1 -S 512 -f 1 -R 2 --invariant "$img" 34000 >/dev/null
mmd -i "$img" ::SUB
mcopy -i "$img" "$work/medium" ::SUB/DATA.BIN
mcopy -i "$img" "$work/large" "::deleted.bin"
mdel -i "$img" "::deleted.bin"
head -c $((300 * 1024)) "$img" > "$out/fat32_head"

touch "$out/.made"
