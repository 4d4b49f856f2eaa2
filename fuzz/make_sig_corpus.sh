#!/bin/bash
# Makes the seed files of the signature formats' fuzzer: every file of the deep-scan
# fixture (tests/fixtures/make_raw_scan.sh), cut out of its image by the manifest, and the
# text, RTF, compound, class and camera RAW files of tests/fixtures/make_deep_types.sh.
#   make_sig_corpus.sh <output folder>
set -u
out=${1:?usage: make_sig_corpus.sh <output folder>}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! bash "$here/../tests/fixtures/make_raw_scan.sh" "$work" >/dev/null 2>&1; then
    echo "make_sig_corpus.sh: the fixture could not be made; the corpus stays empty" >&2
    touch "$out/.made"
    exit 0
fi
while read -r offset size _ type name; do
    # Files over 64 KiB are cut to their first 64 KiB: the fuzzer works on structure.
    n=$((size < 65536 ? size : 65536))
    tail -c +$((offset + 1)) "$work/raw.img" | head -c "$n" >"$out/$type-$name"
done <"$work/raw.manifest"
if bash "$here/../tests/fixtures/make_deep_types.sh" "$work/types" >/dev/null 2>&1; then
    for f in "$work"/types/files/*; do
        head -c 65536 "$f" >"$out/types-$(basename "$f")"
    done
fi
touch "$out/.made"
